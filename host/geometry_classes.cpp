// PointF and SizeF, registered like a plug-in's classes: the constructors
// find their data by the offset the registry wrote into the record.
#include "host/geometry_classes.h"

#include "host/records.h"

namespace lumeno::host {
namespace {

ZARKclassDefinition* PointFClass();
ZARKclassDefinition* SizeFClass();

void StoreTwoSingles(Object self, const ZARKclassDefinition& definition, float a, float b) {
  auto* data = records::DataOf<float>(self, definition);
  data[0] = a;
  data[1] = b;
}

void PointFConstructor(Object self, float x, float y) {
  StoreTwoSingles(self, *PointFClass(), x, y);
}
void SizeFConstructor(Object self, float w, float h) { StoreTwoSingles(self, *SizeFClass(), w, h); }

// The records live for the process, like a plug-in's; each Host writes the
// same data offsets into them.
ZARKclassDefinition* PointFClass() {
  static const ZARKpropertyDefinition properties[] = {records::StandardProperty("x", "Single", 0),
                                                      records::StandardProperty("y", "Single", 4)};
  static const ZARKmethodDefinition methods[] = {
      records::Method(&PointFConstructor, "Constructor(x as Single, y as Single)")};
  static ZARKclassDefinition definition =
      records::WithMembers(records::Class("PointF", nullptr, 8), properties, methods);
  return &definition;
}

ZARKclassDefinition* SizeFClass() {
  static const ZARKpropertyDefinition properties[] = {
      records::StandardProperty("Width", "Single", 0),
      records::StandardProperty("Height", "Single", 4)};
  static const ZARKmethodDefinition methods[] = {
      records::Method(&SizeFConstructor, "Constructor(width as Single, height as Single)")};
  static ZARKclassDefinition definition =
      records::WithMembers(records::Class("SizeF", nullptr, 8), properties, methods);
  return &definition;
}

}  // namespace

void RegisterGeometryClasses(Host& host) {
  host.RegisterClass(PointFClass());
  host.RegisterClass(SizeFClass());
}

}  // namespace lumeno::host
