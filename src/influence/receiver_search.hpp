#pragma once
// The receiver search of one beam segment: which receivers may lie within the segment's
// reach. It hands the candidates, in batches, to a callback; it knows nothing of fields,
// frequencies or the beam itself, only the segment's geometry.

#include "core/function_ref.hpp"
#include "core/vec3.hpp"
#include "influence/receivers.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kelp::influence {

// Width (in the projection parameter s) of the band around a segment's start where rounding
// can put a receiver that sits on the state shared with the previous segment at s = 1 of
// that one and s < 0 of this one (lost to both), or at s < 1 of the previous and s = 0 of
// this one (counted twice). The search reaches back over it; the ownership test settles it.
inline constexpr float kHandoverBand = 1e-4f;

// Candidates are tested together; a multiple of every lane count.
inline constexpr std::size_t kBatchSize = 256;

// Candidate receivers found near a segment: positions (m) and flat receiver index.
struct CandidateBatch {
    alignas(32) float x[kBatchSize]{};
    alignas(32) float y[kBatchSize]{};
    alignas(32) float z[kBatchSize]{};
    std::size_t receiver[kBatchSize]{};
    std::uint32_t n = 0; // not a size_t, which the stores of receiver indices could alias
};

// The piece of a segment a batch belongs to: the receivers whose projection parameter s
// lies in [s_lo, s_hi) (infinite ends for the first and last piece). A long segment is
// searched in pieces; every receiver belongs to exactly one of them, whatever the widened
// bounds let several pieces visit.
struct SegmentPiece {
    float s_lo, s_hi;
};

// The segment from `a` along `d` (m), |d|^2 = l2, whose receivers lie within `rb` (m) of it
// and project onto s in [-kHandoverBand, 1].
struct SegmentReach {
    Vec3 a, d;
    float l2, rb;
};

// Consecutive segments of a beam searched together: the receivers near them are visited
// once, and each segment tests only those whose position along the group's chord it can
// reach. `reach` holds every receiver any of the segments can take (projection onto s in
// [-kHandoverBand, 1] of its own segment, within its own rb): a cylinder about the chord from
// the first segment's start to the last one's end, as thick as the widest reach plus the
// segments' distance from the chord, and long enough for reaches tilted against it. Segment
// k takes only receivers whose t = (r - origin) . axis (m), computed as along_chord does,
// lies in [t_lo[k], t_hi[k]].
inline constexpr std::size_t kMaxCoveredSegments = 16;
struct SegmentCover {
    SegmentReach reach;
    Vec3 origin, axis; // axis: unit vector along the chord
    float t_lo[kMaxCoveredSegments], t_hi[kMaxCoveredSegments];
};

// The cover of 2 to kMaxCoveredSegments finite reaches; nothing for other counts, a chord
// shorter than 1 mm or non-finite geometry.
std::optional<SegmentCover> cover_reaches(std::span<const SegmentReach> reaches);

// Position (m) of r along the chord of `cover`.
inline float along_chord(const SegmentCover& cover, float x, float y, float z) {
    return ((x - cover.origin.x) * cover.axis.x + (y - cover.origin.y) * cover.axis.y) +
           (z - cover.origin.z) * cover.axis.z;
}

// Whether search_segment hands every candidate of `seg` over as one piece, (-inf, inf):
// each receiver is then visited at most once.
bool searched_whole(const SegmentReach& seg);

// Called with each full batch and with the rest at the end of each piece; the search empties
// the batch afterwards. The callback may overwrite the batch's entries past n.
using CandidateHandler = FunctionRef<void(CandidateBatch&, SegmentPiece)>;

// Whether the segment can reach any receiver of the set: every receiver it takes lies within
// (1/2 + band) |d| + rb of its midpoint, which must then reach the box of the receivers.
bool segment_may_reach(const ReceiverSet& set, const SegmentReach& seg);

// Hands every receiver that may lie within the segment's reach to `on_batch`, through
// `batch` (scratch, reused). A superset of the receivers that take a contribution: the bounds
// are widened well beyond rounding, and the callback's tests decide for each one exactly as
// under a scan of all receivers.
void search_segment(const ReceiverSet& set, const SegmentReach& seg, CandidateBatch& batch,
                    CandidateHandler on_batch);

} // namespace kelp::influence
