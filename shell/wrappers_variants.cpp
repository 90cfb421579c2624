// Host-entry wrappers: variants.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_VARIANTS(LUMENO_DEFINE_WRAPPER)
