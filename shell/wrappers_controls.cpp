// Host-entry wrappers: controls and windows.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_CONTROLS(LUMENO_DEFINE_WRAPPER)
