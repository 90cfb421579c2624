// The PointF and SizeF classes: two Singles each, set by their constructors
// or their standard properties ("x", "y"; "Width", "Height").
#pragma once

#include "host/host.h"

namespace lumeno::host {

// Registers PointF and SizeF, in this order (one of the StandardModules).
void RegisterGeometryClasses(Host& host);

}  // namespace lumeno::host
