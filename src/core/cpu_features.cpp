#include "core/cpu_features.hpp"

#include "core/errors.hpp"

namespace orvane {

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = [] {
        __builtin_cpu_init();
        CpuFeatures f;
        f.avx2 = __builtin_cpu_supports("avx2");
        f.fma = __builtin_cpu_supports("fma");
        f.f16c = __builtin_cpu_supports("f16c");
        f.avx512f = __builtin_cpu_supports("avx512f");
        return f;
    }();
    return features;
}

void require_avx2_fma() {
    const CpuFeatures& f = cpu_features();
    if (!(f.avx2 && f.fma)) fail("AVX2 + FMA required");
}

}  // namespace orvane
