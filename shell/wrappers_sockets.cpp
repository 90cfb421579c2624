// Host-entry wrappers: sockets.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_SOCKETS(LUMENO_DEFINE_WRAPPER)
