// The contribution kernel for one lane (everywhere) and four lanes (SSE2, on x86-64), and the
// choice of lane width.
#include "influence/contribution.hpp"

#include <string_view>

namespace kelp::influence {
namespace detail {

BatchKernel batch_kernel_one(bool count) {
    return batch_kernel_of<simd::OneLane>(count);
}

void lane_functions_one(std::span<const float> x, std::span<float> sin_x,
                        std::span<float> cos_x, std::span<float> exp_x) {
    evaluate_functions<simd::OneLane>(x, sin_x, cos_x, exp_x);
}

#if KELP_X86_LANES
BatchKernel batch_kernel_sse2(bool count) {
    return batch_kernel_of<simd::SSE2Lanes>(count);
}

void lane_functions_sse2(std::span<const float> x, std::span<float> sin_x,
                         std::span<float> cos_x, std::span<float> exp_x) {
    evaluate_functions<simd::SSE2Lanes>(x, sin_x, cos_x, exp_x);
}
#endif

} // namespace detail

std::vector<LaneWidth> available_lane_widths() {
    std::vector<LaneWidth> widths{LaneWidth::One};
#if KELP_X86_LANES
    widths.push_back(LaneWidth::Four);
    if (__builtin_cpu_supports("avx2")) widths.push_back(LaneWidth::Eight);
#endif
    return widths;
}

std::optional<LaneWidth> choose_lane_width(std::string_view name) {
    const std::vector<LaneWidth> widths = available_lane_widths();
    if (name.empty()) return widths.back();
    const LaneWidth wanted = name == "scalar" ? LaneWidth::One
                             : name == "sse2" ? LaneWidth::Four
                             : name == "avx2" ? LaneWidth::Eight
                                              : LaneWidth{0};
    for (const LaneWidth w : widths)
        if (w == wanted) return w;
    return std::nullopt;
}

BatchKernel batch_kernel(LaneWidth width, bool count) {
    switch (width) {
#if KELP_X86_LANES
    case LaneWidth::Eight:
        return detail::batch_kernel_avx2(count);
    case LaneWidth::Four:
        return detail::batch_kernel_sse2(count);
#endif
    default:
        return detail::batch_kernel_one(count);
    }
}

void evaluate_lane_functions(LaneWidth width, std::span<const float> x, std::span<float> sin_x,
                             std::span<float> cos_x, std::span<float> exp_x) {
    switch (width) {
#if KELP_X86_LANES
    case LaneWidth::Eight:
        return detail::lane_functions_avx2(x, sin_x, cos_x, exp_x);
    case LaneWidth::Four:
        return detail::lane_functions_sse2(x, sin_x, cos_x, exp_x);
#endif
    default:
        return detail::lane_functions_one(x, sin_x, cos_x, exp_x);
    }
}

} // namespace kelp::influence
