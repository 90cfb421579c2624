// SepiaEffectRaw: registered with its place in the class order; its members land
// with the effect itself.
#include "shell/class_list.h"

ZARKclassDefinition SepiaEffectRaw = {
    kZARKRecordVersion, "SepiaEffectRaw", "MPImageFilterRaw", 16, 0, nullptr, nullptr,
    nullptr, 0, nullptr, 0, {}, "IRawBitMapProcessor, IRawBitmapProcessorAsync", {}, nullptr, 0, 0, 0, {}, nullptr, 0};
