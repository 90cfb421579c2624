// Host-entry wrappers: pictures and graphics.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_GRAPHICS(LUMENO_DEFINE_WRAPPER)

bool ZARKLockPictureDescription(ZARKobjectStruct* picture, ZARKpictureDescription* description) {
  // Native type 0: the picture keeps its own.
  return ZARKLockPictureDescriptionWithNativeType(picture, description, 0);
}
