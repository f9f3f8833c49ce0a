#pragma once
// Lane types of the beam summation's kernels. A kernel is written once as a template over a
// lane type L and instantiated for one lane (plain float and bool: the readable scalar
// reference), four lanes (SSE2, present on every x86-64) and eight lanes (AVX2, in
// lanes_avx2.hpp, compiled only where it is used). Each lane type offers the same few
// operations; the arithmetic operators and comparisons are the language's own, so every
// lane computes with the very IEEE operations of the one-lane kernel and the results agree
// bit for bit whatever the width.
//
// L::F holds kWidth floats, L::M a mask (one truth value per lane, from comparisons of F),
// L::I kWidth 32-bit integers.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if KELP_X86_LANES
#include <immintrin.h>
#endif

namespace kelp::influence::simd {

struct OneLane {
    static constexpr std::size_t kWidth = 1;
    using F = float;
    using M = bool;
    using I = std::int32_t;

    static F splat(float v) { return v; }
    static M mask(bool all) { return all; }
    static F load(const float* p) { return *p; }
    static float get(F v, std::size_t) { return v; }
    static void set(F& v, std::size_t, float x) { v = x; }
    static F abs(F v) { return std::fabs(v); }
    static F sqrt(F v) { return std::sqrt(v); }
    static F select(M m, F a, F b) { return m ? a : b; }
    static M and_not(M a, M b) { return a && !b; }
    // Bit i set when lane i is true.
    static unsigned bits(M m) { return m ? 1u : 0u; }
    // Truncation towards zero; INT32_MIN where the value has no 32-bit integer (NaN, huge),
    // as the vector instructions give it.
    static I truncate(F v) {
        return std::fabs(v) < 2147483648.0f ? static_cast<I>(v) : std::numeric_limits<I>::min();
    }
    static F convert(I n) { return static_cast<float>(n); }
    // 2^n for n in [-126, 127], set as the exponent.
    static F exp2_int(I n) {
        return std::bit_cast<float>(static_cast<std::uint32_t>(n + 127) << 23);
    }
};

#if KELP_X86_LANES
struct SSE2Lanes {
    static constexpr std::size_t kWidth = 4;
    using F = float __attribute__((vector_size(16)));
    using M = std::int32_t __attribute__((vector_size(16)));
    using I = M;

    static F splat(float v) {
        F r;
        for (std::size_t i = 0; i < kWidth; ++i)
            r[i] = v;
        return r;
    }
    static M mask(bool all) { return all ? ~M{} : M{}; }
    static F load(const float* p) {
        F r;
        std::memcpy(&r, p, sizeof(F));
        return r;
    }
    static float get(F v, std::size_t i) { return v[i]; }
    static void set(F& v, std::size_t i, float x) { v[i] = x; }
    static F abs(F v) { return (F)((M)v & 0x7fffffff); }
    static F sqrt(F v) { return (F)_mm_sqrt_ps((__m128)v); }
    static F select(M m, F a, F b) { return m ? a : b; }
    static M and_not(M a, M b) { return a & ~b; }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm_movemask_ps((__m128)m)); }
    static I truncate(F v) { return __builtin_convertvector(v, I); }
    static F convert(I n) { return __builtin_convertvector(n, F); }
    static F exp2_int(I n) { return (F)((n + 127) << 23); }
};
#endif

} // namespace kelp::influence::simd
