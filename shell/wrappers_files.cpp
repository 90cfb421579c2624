// Host-entry wrappers: files and memory.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_FILES(LUMENO_DEFINE_WRAPPER)
