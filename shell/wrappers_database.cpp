// Host-entry wrappers: database.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_DATABASE(LUMENO_DEFINE_WRAPPER)
