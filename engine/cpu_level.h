// Which vector instructions the fast workers may use, decided once per
// process: AVX-512 (F, BW and the VBMI byte permutes) where present, else
// AVX2, else none beyond the build's baseline. Code for a level is compiled
// for that level alone (a target attribute) and only reached when the
// processor has it.
//
// LUMENO_CPU_DISABLE in the environment, a comma-separated list such as
// "avx512" or "avx512,avx2", turns levels off: to compare them, or to test
// the lower levels on a machine that has the higher ones.
#pragma once

namespace lumeno {

enum class CpuLevel { kBaseline, kAvx2, kAvx512 };

CpuLevel ActiveCpuLevel();
// "baseline", "avx2" or "avx512".
const char* CpuLevelName(CpuLevel level);

}  // namespace lumeno

#if defined(__x86_64__) || defined(__i386__)
#define LUMENO_X86 1
#define LUMENO_AVX2 __attribute__((target("avx2")))
#define LUMENO_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif
