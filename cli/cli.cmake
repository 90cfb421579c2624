# The lumeno command-line tool: a static library with everything but main()
# (the tests link it too) and the executable.
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
find_package(TIFF REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(WEBP REQUIRED IMPORTED_TARGET libwebp libwebpmux libwebpdemux)

file(GLOB LUMENO_CLI_LIBRARY_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cli/*.cpp)
list(REMOVE_ITEM LUMENO_CLI_LIBRARY_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cli/main.cpp)
add_library(lumenocli STATIC ${LUMENO_CLI_LIBRARY_SOURCES})
target_include_directories(lumenocli PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(lumenocli PRIVATE ${LUMENO_WARNINGS})
target_compile_definitions(lumenocli PRIVATE LUMENO_VERSION="${PROJECT_VERSION}")
target_link_libraries(lumenocli PUBLIC lumenohost PNG::PNG JPEG::JPEG TIFF::TIFF PkgConfig::WEBP
                      Threads::Threads)

add_executable(lumeno cli/main.cpp)
target_compile_options(lumeno PRIVATE ${LUMENO_WARNINGS})
target_link_libraries(lumeno PRIVATE lumenocli)

# Captions on the demo's sheets: FreeType with DejaVu Sans, both optional
# (without them the sheets are drawn unlabelled, with a warning).
find_package(Freetype)
if(FREETYPE_FOUND)
  target_link_libraries(lumenocli PRIVATE Freetype::Freetype)
  target_compile_definitions(lumenocli PRIVATE LUMENO_HAVE_FREETYPE=1)
  find_file(LUMENO_CAPTION_FONT DejaVuSans.ttf
            PATHS /usr/share/fonts/truetype/dejavu /usr/share/fonts/TTF /usr/share/fonts/dejavu
                  /usr/local/share/fonts /opt/homebrew/share/fonts
            NO_DEFAULT_PATH)
  if(LUMENO_CAPTION_FONT)
    target_compile_definitions(lumenocli PRIVATE LUMENO_CAPTION_FONT="${LUMENO_CAPTION_FONT}")
  endif()
else()
  message(STATUS "FreeType not found: lumeno demo draws its sheets without captions")
endif()
