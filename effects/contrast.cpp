// ContrastEffectRaw: registered with its place in the class order; its members land
// with the effect itself.
#include "shell/class_list.h"

ZARKclassDefinition ContrastEffectRaw = {
    kZARKRecordVersion, "ContrastEffectRaw", "MPImageFilterRaw", 16, 0, nullptr, nullptr,
    nullptr, 0, nullptr, 0, {}, "IRawBitmapProcessor, IRawBitmapProcessorAsync", {}, nullptr, 0, 0, 0, {}, nullptr, 0};
