// Which vector instructions the fast workers may use, decided once per
// process: AVX-512 (F, BW and the VBMI byte permutes) where present, else
// AVX2, else none beyond the build's baseline. Code for a level lives in its
// own files (x86/*_avx2.cpp, *_avx512.cpp), compiled for that level alone,
// and is only reached when the processor has it (engine/fast_paths.h).
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
#endif
