// Methods: lookup by exact declaration through the class chain, and calls
// by declaration with run-time values through libffi.
#include <ffi.h>

#include <stdexcept>

#include "host/host_state.h"

namespace lumeno::host {

void* Host::FindMethod(Object object, const std::string& declaration) const {
  if (object == nullptr) return nullptr;
  for (const ClassInfo* c = state_->UsableClass(object, "method lookup"); c != nullptr;
       c = c->super) {
    const ZARKclassDefinition* d = c->definition;
    for (int64_t i = 0; d->methods != nullptr && i < d->methodCount; ++i) {
      if (d->methods[i].declaration != nullptr && declaration == d->methods[i].declaration) {
        return d->methods[i].function;
      }
    }
  }
  return nullptr;
}

void Host::MissingMethod(Object object, const std::string& declaration) const {
  const ClassInfo* cls = ClassOf(object);
  throw std::runtime_error("no method \"" + declaration + "\" on " +
                           (cls != nullptr ? cls->definition->name : "object " + Describe(object)));
}

namespace {

ffi_type* FfiType(Kind kind) {
  switch (kind) {
    case Kind::kVoid:
      return &ffi_type_void;
    case Kind::kInteger:
      return &ffi_type_sint64;
    case Kind::kSingle:
      return &ffi_type_float;
    case Kind::kDouble:
      return &ffi_type_double;
    case Kind::kBoolean:
    case Kind::kUInt8:
      return &ffi_type_uint8;
    case Kind::kUInt64:
      return &ffi_type_uint64;
    default:
      return &ffi_type_pointer;
  }
}

// Storage of one argument; libffi reads it through a pointer.
struct ArgSlot {
  union {
    int64_t i;
    float f;
    double d;
    uint8_t b;
    uint64_t u;
    void* p;
  };
  bool byRefValue;
};

}  // namespace

Value Host::CallDynamic(Object object, const std::string& declaration,
                        const std::vector<Value>& args) {
  void* fn = FindMethod(object, declaration);
  if (fn == nullptr) MissingMethod(object, declaration);
  MethodDecl decl;
  if (!ParseDeclaration(declaration, &decl)) {
    throw std::invalid_argument("malformed declaration \"" + declaration + "\"");
  }
  if (decl.params.size() != args.size()) {
    throw std::invalid_argument("\"" + declaration + "\" takes " +
                                std::to_string(decl.params.size()) + " arguments, got " +
                                std::to_string(args.size()));
  }
  const ClassInfo* context = ClassOf(object);
  size_t n = args.size();
  std::vector<ArgSlot> slots(n + 1);
  std::vector<ffi_type*> types(n + 1);
  std::vector<void*> values(n + 1);
  slots[0].p = object;
  types[0] = &ffi_type_pointer;
  values[0] = &slots[0].p;
  for (size_t k = 0; k < n; ++k) {
    const ParamDecl& param = decl.params[k];
    const Value& arg = args[k];
    ArgSlot& slot = slots[k + 1];
    Kind kind = state_->KindOf(param.type, param.byRef, context);
    bool ok = true;
    switch (kind) {
      case Kind::kInteger:
        ok = AsInt64(arg, &slot.i);
        break;
      case Kind::kSingle: {
        double d = 0;
        ok = AsDouble(arg, &d);
        slot.f = static_cast<float>(d);
        break;
      }
      case Kind::kDouble:
        ok = AsDouble(arg, &slot.d);
        break;
      case Kind::kBoolean: {
        bool v = false;
        ok = AsBool(arg, &v);
        slot.b = v ? 1 : 0;
        break;
      }
      case Kind::kUInt8: {
        uint64_t v = 0;
        ok = AsUInt64(arg, &v) && v <= 255;
        slot.b = static_cast<uint8_t>(v);
        break;
      }
      case Kind::kUInt64:
        ok = AsUInt64(arg, &slot.u);
        break;
      case Kind::kBoolRef:
        // A bool* travels as is; a plain bool is passed through a local copy.
        if (auto* b = std::get_if<bool>(&arg)) {
          slot.byRefValue = *b;
          slot.p = &slot.byRefValue;
        } else {
          ok = AsPointer(arg, &slot.p);
        }
        break;
      case Kind::kPtr:
        ok = AsPointer(arg, &slot.p);
        break;
      default: {
        Object o = nullptr;
        ok = AsObject(arg, &o);
        slot.p = o;
        break;
      }
    }
    if (!ok) {
      throw std::invalid_argument("argument " + std::to_string(k + 1) + " of \"" + declaration +
                                  "\" does not convert to " + param.type);
    }
    types[k + 1] = FfiType(kind);
    values[k + 1] = &slot;
  }
  Kind resultKind = state_->KindOf(decl.result, false, context);
  ffi_cif cif;
  if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(n + 1), FfiType(resultKind),
                   types.data()) != FFI_OK) {
    throw std::runtime_error("cannot prepare a call of \"" + declaration + "\"");
  }
  union {
    ffi_arg a;
    int64_t i;
    uint64_t u;
    float f;
    double d;
    void* p;
  } result{};
  ffi_call(&cif, reinterpret_cast<void (*)()>(fn), &result, values.data());
  switch (resultKind) {
    case Kind::kVoid:
      return {};
    case Kind::kInteger:
      return result.i;
    case Kind::kSingle:
      return result.f;
    case Kind::kDouble:
      return result.d;
    case Kind::kBoolean:
      return static_cast<uint8_t>(result.a) != 0;
    case Kind::kUInt8:
      return static_cast<uint8_t>(result.a);
    case Kind::kUInt64:
      return result.u;
    case Kind::kPtr:
    case Kind::kBoolRef:
      return result.p;
    default:
      return static_cast<Object>(result.p);
  }
}

}  // namespace lumeno::host
