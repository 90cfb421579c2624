#include "engine/cpu_level.h"

#include <cstdlib>
#include <cstring>

namespace lumeno {

namespace {

// Whether the comma-separated list in LUMENO_CPU_DISABLE names `level`.
bool Disabled(const char* level) {
  const char* list = std::getenv("LUMENO_CPU_DISABLE");
  if (list == nullptr) return false;
  const size_t length = std::strlen(level);
  for (const char* at = list; *at != '\0';) {
    const char* end = std::strchr(at, ',');
    const size_t item = end != nullptr ? static_cast<size_t>(end - at) : std::strlen(at);
    if (item == length && std::strncmp(at, level, length) == 0) return true;
    if (end == nullptr) break;
    at = end + 1;
  }
  return false;
}

CpuLevel Detect() {
#if defined(LUMENO_X86)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && !Disabled("avx512")) {
    return CpuLevel::kAvx512;
  }
  if (__builtin_cpu_supports("avx2") && !Disabled("avx2")) return CpuLevel::kAvx2;
#endif
  return CpuLevel::kBaseline;
}

}  // namespace

CpuLevel ActiveCpuLevel() {
  static const CpuLevel level = Detect();
  return level;
}

const char* CpuLevelName(CpuLevel level) {
  switch (level) {
    case CpuLevel::kAvx512:
      return "avx512";
    case CpuLevel::kAvx2:
      return "avx2";
    case CpuLevel::kBaseline:
      break;
  }
  return "baseline";
}

}  // namespace lumeno
