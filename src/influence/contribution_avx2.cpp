// The contribution kernel for eight lanes (AVX2). Only what this file defines after the target
// switch is built for AVX2: every header it shares with the rest of kelp is included before
// the switch, so no inline function of theirs is emitted here with AVX2 instructions (the
// module must run on any x86-64; the driver selects this kernel only where AVX2 exists).
#include "core/constants.hpp"
#include "core/vec3.hpp"
#include "influence/beam_model.hpp"
#include "influence/kernels.hpp"
#include "influence/pressure_field.hpp"
#include "influence/receiver_search.hpp"
#include "influence/simd/lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <immintrin.h>
#include <limits>
#include <span>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "influence/contribution.hpp"
#include "influence/simd/lane_math.hpp"
#include "influence/simd/lanes_avx2.hpp"

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// The entries are built for any x86-64 (a function declared once with another target would
// be a second version of it); they only hand out the AVX2 instantiations.
namespace kelp::influence::detail {

BatchKernel batch_kernel_avx2(bool count) {
    return batch_kernel_of<simd::AVX2Lanes>(count);
}

void lane_functions_avx2(std::span<const float> x, std::span<float> sin_x,
                         std::span<float> cos_x, std::span<float> exp_x) {
    evaluate_functions<simd::AVX2Lanes>(x, sin_x, cos_x, exp_x);
}

} // namespace kelp::influence::detail
