// Compile-time checks of the byte layout of records that the host or other
// plug-ins read in place:
//
//   LUMENO_LAYOUT(GenericMPParams, 88, rowsDone, 8, multiprocessingHint, 12);
//
// checks the record's size, then each named field's offset. A field that
// moves (a reordering, a changed type) stops the build with the record and
// field named in the message.
#pragma once

#include <cstddef>

#define LUMENO_LAYOUT(Type, size, ...)                                      \
  static_assert(sizeof(Type) == (size), #Type " must be " #size " bytes") \
      LUMENO_LAYOUT_EXPAND(LUMENO_LAYOUT_FIELD(Type, __VA_ARGS__))

// One field, then the rest of the list through a deferred self-reference
// that each rescan of LUMENO_LAYOUT_EXPAND unfolds once (up to 32 fields).
#define LUMENO_LAYOUT_FIELD(Type, field, offset, ...)                         \
  ;                                                                           \
  static_assert(offsetof(Type, field) == (offset),                            \
                #Type "::" #field " must stand at byte " #offset)             \
      __VA_OPT__(LUMENO_LAYOUT_AGAIN LUMENO_LAYOUT_PARENS(Type, __VA_ARGS__))
#define LUMENO_LAYOUT_AGAIN() LUMENO_LAYOUT_FIELD
#define LUMENO_LAYOUT_PARENS ()
#define LUMENO_LAYOUT_EXPAND(...) LUMENO_LAYOUT_EXPAND4(LUMENO_LAYOUT_EXPAND4(__VA_ARGS__))
#define LUMENO_LAYOUT_EXPAND4(...) \
  LUMENO_LAYOUT_EXPAND1(LUMENO_LAYOUT_EXPAND1(LUMENO_LAYOUT_EXPAND1(LUMENO_LAYOUT_EXPAND1( \
      __VA_ARGS__))))
#define LUMENO_LAYOUT_EXPAND1(...) \
  LUMENO_LAYOUT_EXPAND0(LUMENO_LAYOUT_EXPAND0(LUMENO_LAYOUT_EXPAND0(LUMENO_LAYOUT_EXPAND0( \
      __VA_ARGS__))))
#define LUMENO_LAYOUT_EXPAND0(...) __VA_ARGS__
