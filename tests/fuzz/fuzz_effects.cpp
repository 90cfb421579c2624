// Every effect's parameters and bitmap geometry: the input bytes are the
// decisions of the stress driver (tests/stress/stress_driver.h), so one input
// is a short script of object creation, property writes (any value), method
// calls on small bitmaps of every format, asynchronous starts, pumps,
// cancels and drops. The driver's checks apply; afterwards no host object
// may be left alive.
#include "fuzz/fuzz_support.h"
#include "stress/stress_driver.h"

namespace lumeno::fuzz {

int FuzzEffects(host::Host& h, const uint8_t* data, size_t size) {
  return WithoutLeftovers(h, "the script", [&] {
    stress::DataChooser chooser(data, size);
    stress::DriverOptions options;
    options.maxSide = 24;
    options.fail = [](const std::string& message) { Fail(message); };
    stress::RunScript(h, chooser, options, 96);
  });
}

}  // namespace lumeno::fuzz

#ifdef LUMENO_LIBFUZZER
LUMENO_FUZZ_ENTRY(lumeno::fuzz::FuzzEffects(lumeno::fuzz::SharedHost(), data, size))
#endif
