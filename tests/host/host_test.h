// What the host's tests share: the fixture, the host's record helpers, and
// typed views of the resolver's entries as a plug-in's wrappers see them.
#pragma once

#include "host/records.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {

using host::Host;
using host::Object;
using host::Value;
namespace records = host::records;

template <typename F>
F* Entry(const char* name) {
  return reinterpret_cast<F*>(Host::ResolverEntry(name));
}

}  // namespace lumeno::testing
