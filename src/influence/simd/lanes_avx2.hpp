#pragma once
// Eight lanes with AVX2, the same operations as the lane types of lanes.hpp. Included only by
// the translation unit compiled for AVX2, after its target switch: the module itself must run
// on any x86-64, so nothing else may be built with these instructions.

#include "influence/simd/lanes.hpp"

namespace kelp::influence::simd {

#define KELP_AVX2 __attribute__((target("avx2")))

struct AVX2Lanes {
    static constexpr std::size_t kWidth = 8;
    using F = float __attribute__((vector_size(32)));
    using M = std::int32_t __attribute__((vector_size(32)));
    using I = M;

    KELP_AVX2 static F splat(float v) {
        F r;
        for (std::size_t i = 0; i < kWidth; ++i)
            r[i] = v;
        return r;
    }
    KELP_AVX2 static M mask(bool all) { return all ? ~M{} : M{}; }
    KELP_AVX2 static F load(const float* p) {
        F r;
        std::memcpy(&r, p, sizeof(F));
        return r;
    }
    KELP_AVX2 static float get(F v, std::size_t i) { return v[i]; }
    KELP_AVX2 static void set(F& v, std::size_t i, float x) { v[i] = x; }
    KELP_AVX2 static F abs(F v) { return (F)((M)v & 0x7fffffff); }
    KELP_AVX2 static F sqrt(F v) { return (F)_mm256_sqrt_ps((__m256)v); }
    KELP_AVX2 static F select(M m, F a, F b) { return m ? a : b; }
    KELP_AVX2 static M and_not(M a, M b) { return a & ~b; }
    KELP_AVX2 static unsigned bits(M m) {
        return static_cast<unsigned>(_mm256_movemask_ps((__m256)m));
    }
    KELP_AVX2 static I truncate(F v) { return __builtin_convertvector(v, I); }
    KELP_AVX2 static F convert(I n) { return __builtin_convertvector(n, F); }
    KELP_AVX2 static F exp2_int(I n) { return (F)((n + 127) << 23); }
};

#undef KELP_AVX2

} // namespace kelp::influence::simd
