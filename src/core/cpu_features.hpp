#pragma once

namespace orvane {

struct CpuFeatures {
    bool avx2 = false;
    bool fma = false;
    bool f16c = false;
    bool avx512f = false;
};

// Processor features reported by CPUID (and enabled by the OS), read once.
const CpuFeatures& cpu_features();

// Throws InternalError "AVX2 + FMA required" when the processor cannot run the integer kernels.
void require_avx2_fma();

}  // namespace orvane
