#pragma once
// The contribution kernel as built for each lane width, and the choice of width. The
// instruction set is chosen once, when a run starts (from the processor, or as the caller
// asks), never inside the kernels.

#include "influence/beam_model.hpp"
#include "influence/pressure_field.hpp"
#include "influence/receiver_search.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kelp::influence {

// Receivers that passed every test of a segment, evaluated together: projection parameter,
// offsets along the tube's normals (m) and in units of the q vectors, the determinant of
// [qt qh] at s, and the flat receiver index.
struct PassedReceivers {
    alignas(32) float s[kBatchSize]{};
    alignas(32) float u1[kBatchSize]{};
    alignas(32) float u2[kBatchSize]{};
    alignas(32) float a[kBatchSize]{};
    alignas(32) float b[kBatchSize]{};
    alignas(32) float det[kBatchSize]{};
    std::size_t receiver[kBatchSize]{};
    std::uint32_t n = 0;
};

// Where the candidate receivers of the segment search end up: each visited candidate is
// counted once in `candidates` and once in exactly one of the other five counters, in the
// order the tests run (projection onto the segment, search radius, determinant, window).
struct InfluenceStats {
    std::uint64_t candidates = 0;
    std::uint64_t rejected_projection = 0;
    std::uint64_t rejected_radius = 0;
    std::uint64_t rejected_determinant = 0;
    std::uint64_t rejected_window = 0;
    std::uint64_t evaluated = 0; // passed every test: arrival update, all frequencies added
};

// Lanes the kernel evaluates at once: one (the scalar reference, built everywhere), four
// (SSE2) or eight (AVX2), on x86-64. Every width gives the same bits.
enum class LaneWidth : std::uint8_t { One = 1, Four = 4, Eight = 8 };

// The widths this build offers on this processor, narrowest first.
std::vector<LaneWidth> available_lane_widths();

// The widest available width, or the one `name` asks for ("scalar", "sse2", "avx2"; empty
// for the widest): nothing when the name is unknown or that width is unavailable here.
std::optional<LaneWidth> choose_lane_width(std::string_view name = {});

// Tests the candidates of `batch` against segment g's piece (projection, radius,
// determinant, window) and adds the contributions of those that pass to the sink; counts the
// outcomes into stats when it is not null. Overwrites the batch's entries past its count.
using BatchKernel = void (*)(const BeamSegment& g, SegmentPiece piece, CandidateBatch& batch,
                             PassedReceivers& passed, const FieldSink& sink,
                             InfluenceStats* stats);

// The kernel of `width`, which must be available.
BatchKernel batch_kernel(LaneWidth width, bool count);

// sin x, cos x and exp x as the kernel of `width` evaluates them (see simd/lane_math.hpp for
// the error bounds). Spans of equal length.
void evaluate_lane_functions(LaneWidth width, std::span<const float> x, std::span<float> sin_x,
                             std::span<float> cos_x, std::span<float> exp_x);

namespace detail {
// The entries of each width's translation unit.
BatchKernel batch_kernel_one(bool count);
void lane_functions_one(std::span<const float> x, std::span<float> sin_x,
                        std::span<float> cos_x, std::span<float> exp_x);
#if KELP_X86_LANES
BatchKernel batch_kernel_sse2(bool count);
void lane_functions_sse2(std::span<const float> x, std::span<float> sin_x,
                         std::span<float> cos_x, std::span<float> exp_x);
BatchKernel batch_kernel_avx2(bool count);
void lane_functions_avx2(std::span<const float> x, std::span<float> sin_x,
                         std::span<float> cos_x, std::span<float> exp_x);
#endif
} // namespace detail

} // namespace kelp::influence
