#pragma once
// Sine, cosine and exponential over a lane type (lanes.hpp), as the beam summation evaluates
// them: the same polynomials and reductions in every lane, so that each lane's result depends
// on its own argument alone and agrees bit for bit across lane widths.
//
// Error bounds (against double precision): sin and cos within 2^-23 for |x| <= 1.5e6 rad
// (the C library's sincosf beyond), exp within 2 ulp on [-87, 88] (arguments outside are
// clamped to it). Against the C library (3 M samples): sine and cosine within 2^-24 of
// sincosf, the exponential within 1 ulp of expf.
//
// Everything here has internal linkage: each translation unit builds these for its own
// instruction set (one of them for AVX2), and no copy built for one may be picked by the
// linker for another.

#include "influence/simd/lanes.hpp"

#include <cmath>
#include <cstddef>

namespace kelp::influence::simd {
namespace {

// e^x: x = n ln2 + r with |r| <= ln2 / 2 (ln2 in two parts, the first short enough that n
// times it is exact), a degree-7 polynomial for e^r (Cephes' coefficients), and 2^n set as
// the exponent.
template <class L> [[gnu::always_inline]] inline typename L::F exp_lanes(typename L::F x) {
    using F = typename L::F;
    x = L::select(x < L::splat(-87.0f), L::splat(-87.0f), x);
    x = L::select(x > L::splat(88.0f), L::splat(88.0f), x);
    const F round = L::splat(12582912.0f); // 1.5 * 2^23: adding it rounds to an integer
    const F n = (x * L::splat(1.44269504088896341f) + round) - round;
    const F r = (x - n * L::splat(0.693359375f)) - n * L::splat(-2.12194440e-4f);
    F y = L::splat(1.9875691500e-4f);
    y = y * r + L::splat(1.3981999507e-3f);
    y = y * r + L::splat(8.3334519073e-3f);
    y = y * r + L::splat(4.1665795894e-2f);
    y = y * r + L::splat(1.6666665459e-1f);
    y = y * r + L::splat(5.0000001201e-1f);
    y = (y * (r * r) + r) + L::splat(1.0f);
    return y * L::exp2_int(L::truncate(n));
}

// Phases up to kSinCosReach (rad) are reduced with three parts of pi/2, exact for
// |k| < 2^13: travel times of seconds at hundreds of hertz. Those up to kSinCosFar (long
// ranges, high frequencies) take seven parts (reduce_far), worked out only when some lane
// holds such a phase; beyond, the C library.
inline constexpr float kSinCosReach = 12000.0f;
inline constexpr float kSinCosFar = 1.5e6f;

// x - k pi/2 for |k| < 2^20: pi/2 in six parts whose products with k are exact and whose
// subtraction from x is exact (each part a few bits long, the last no finer than 2^-24, the
// ulp of a reduced value near pi/4), and the rest, 1.6e-8, rounded once.
template <class L> inline typename L::F reduce_far(typename L::F x, typename L::F k) {
    return ((((((x - k * L::splat(1.5f)) - k * L::splat(0.0703125f)) -
               k * L::splat(4.57763671875e-4f)) -
              k * L::splat(2.47955322265625e-5f)) -
             k * L::splat(1.1920928955078125e-6f)) -
            k * L::splat(5.9604644775390625e-8f)) -
           k * L::splat(1.5893254712295857e-8f);
}

// sin x and cos x: x = k pi/2 + r with |r| <= pi/4, pi/2 split into parts whose products with
// k are exact (Cody and Waite), Cephes' polynomials for sin r and cos r, and k mod 4 choosing
// and signing them.
template <class L>
[[gnu::always_inline]] inline void sincos_lanes(typename L::F x, typename L::F& sin_x,
                                                typename L::F& cos_x) {
    using F = typename L::F;
    using M = typename L::M;
    using I = typename L::I;
    const F round = L::splat(12582912.0f);
    F k = (x * L::splat(0.636619772367581343f) + round) - round;
    F r = ((x - k * L::splat(1.5703125f)) - k * L::splat(4.837512969970703125e-4f)) -
          k * L::splat(7.54978995489188216e-8f);
    const M beyond = L::abs(x) > L::splat(kSinCosReach);
    if (L::bits(beyond) != 0) {
        // Far out, x 2/pi is rounded by up to a few hundredths, which can pick the integer
        // next to the nearest and leave |r| a little above pi/4, where the polynomials lose
        // accuracy: such lanes move to the nearest integer and are reduced again.
        F k_far = k, r_far = reduce_far<L>(x, k);
        const F one = L::splat(1.0f), zero = L::splat(0.0f), quarter = L::splat(0.785398185f);
        const F step =
            L::select(r_far > quarter, one, zero) - L::select(r_far < -quarter, one, zero);
        if (L::bits(step != zero) != 0) {
            k_far = k_far + step;
            r_far = reduce_far<L>(x, k_far);
        }
        k = L::select(beyond, k_far, k);
        r = L::select(beyond, r_far, r);
    }
    const F z = r * r;
    F s = L::splat(-1.9515295891e-4f);
    s = s * z + L::splat(8.3321608736e-3f);
    s = s * z + L::splat(-1.6666654611e-1f);
    s = (s * z) * r + r;
    F c = L::splat(2.443315711809948e-5f);
    c = c * z + L::splat(-1.388731625493765e-3f);
    c = c * z + L::splat(4.166664568298827e-2f);
    c = ((c * z) * z - L::splat(0.5f) * z) + L::splat(1.0f);
    // Quadrant q: sin x = (S, C, -S, -C)[q], cos x = (C, -S, -C, S)[q].
    const I q = L::truncate(k) & 3;
    const M swap = (q & 1) != 0;
    const M neg_sin = (q & 2) != 0;
    const M neg_cos = ((q + 1) & 2) != 0;
    const F sn = L::select(swap, c, s), cs = L::select(swap, s, c);
    sin_x = L::select(neg_sin, -sn, sn);
    cos_x = L::select(neg_cos, -cs, cs);
    const unsigned far = L::bits(L::abs(x) > L::splat(kSinCosFar));
    for (unsigned m = far; m != 0; m &= m - 1) {
        const auto i = static_cast<std::size_t>(__builtin_ctz(m));
        float sn_i, cs_i;
        ::sincosf(L::get(x, i), &sn_i, &cs_i);
        L::set(sin_x, i, sn_i);
        L::set(cos_x, i, cs_i);
    }
}

} // namespace
} // namespace kelp::influence::simd
