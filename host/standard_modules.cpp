// The class modules every Host registers unless its options name others.
#include "host/geometry_classes.h"
#include "host/raw_bitmap_class.h"

namespace lumeno::host {

std::vector<ClassModule> StandardModules() {
  return {&RegisterGeometryClasses, &RegisterBitmapClasses};
}

}  // namespace lumeno::host
