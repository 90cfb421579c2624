// PointF and SizeF, registered like a plug-in's classes.
#include "host/geometry_classes.h"

#include "host/records.h"

namespace lumeno::host {
namespace {

// A class of two Single fields at offsets 0 and 4, and a constructor that
// takes both.
struct TwoSingles {
  const char* name;
  const char* first;
  const char* second;
  const char* constructor;
};
constexpr TwoSingles kPointF{"PointF", "x", "y", "Constructor(x as Single, y as Single)"};
constexpr TwoSingles kSizeF{"SizeF", "Width", "Height",
                            "Constructor(width as Single, height as Single)"};

template <const TwoSingles& kShape>
ZARKclassDefinition* ClassOf();

// The constructor finds its data by the offset the registry wrote into the
// record.
template <const TwoSingles& kShape>
void Construct(Object self, float a, float b) {
  auto* data = records::DataOf<float>(self, *ClassOf<kShape>());
  data[0] = a;
  data[1] = b;
}

// The records live for the process, like a plug-in's; each Host writes the
// same data offsets into them.
template <const TwoSingles& kShape>
ZARKclassDefinition* ClassOf() {
  static const ZARKpropertyDefinition properties[] = {
      records::StandardProperty(kShape.first, "Single", 0),
      records::StandardProperty(kShape.second, "Single", 4)};
  static const ZARKmethodDefinition methods[] = {
      records::Method(&Construct<kShape>, kShape.constructor)};
  static ZARKclassDefinition definition =
      records::WithMembers(records::Class(kShape.name, nullptr, 8), properties, methods);
  return &definition;
}

}  // namespace

void RegisterGeometryClasses(Host& host) {
  host.RegisterClass(ClassOf<kPointF>());
  host.RegisterClass(ClassOf<kSizeF>());
}

}  // namespace lumeno::host
