// The method declarations and the interface text that several effect classes
// register, each written once. The host matches a declaration character for
// character (spaces after commas included), so the plug-in's records, the
// command-line tool and the tests take them from here rather than retyping
// them.
#pragma once

namespace lumeno {

// The new-bitmap and in-place forms that use the stored property values.
inline constexpr const char kApplyDeclaration[] = "Apply(source as RawBitmap) as RawBitmap";
inline constexpr const char kApplyInPlaceDeclaration[] = "ApplyInPlace(source as RawBitmap)";

// The asynchronous forms; they always use the stored property values.
inline constexpr const char kApplyAsyncDeclaration[] =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
inline constexpr const char kApplyInPlaceAsyncDeclaration[] =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

// The forms with one Single value given, as brightness, contrast and sepia
// declare them (no space after the first comma of the new-bitmap form).
inline constexpr const char kApplyValueDeclaration[] =
    "Apply(source as RawBitmap,value as Single) as RawBitmap";
inline constexpr const char kApplyInPlaceValueDeclaration[] =
    "ApplyInPlace(source as RawBitmap, value as Single)";

// The interfaces of every effect class with both synchronous and
// asynchronous forms (sepia and the colour filter register their own text).
inline constexpr const char kProcessorInterfaces[] =
    "IRawBitmapProcessor, IRawBitmapProcessorAsync";

}  // namespace lumeno
