// The resolver the host hands over at load time and the two ways the plug-in
// asks it for an entry by name.
#include "shell/host_services.h"

ZARKResolver gResolver = nullptr;

void* CallResolver(const char* name) { return gResolver(name); }

extern "C" void* HCallResolver(const char* name) { return gResolver(name); }
