// InvertEffectRaw: registered with its place in the class order; its members land
// with the effect itself.
#include "shell/class_list.h"

ZARKclassDefinition InvertEffectRaw = {
    kZARKRecordVersion, "InvertEffectRaw", "MPImageFilterRaw", 8, 0, nullptr, nullptr,
    nullptr, 0, nullptr, 0, {}, "IRawBitmapProcessor, IRawBitmapProcessorAsync", {}, nullptr, 0, 0, 0, {}, nullptr, 0};
