#include "influence/influence.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace kelp::influence {
namespace {

// Consecutive segments of a beam are searched together when they run the same way with
// about the same radius, over a chord shorter than half that radius. A segment a few metres
// long searched alone costs mostly the search's per-column work for one or two receivers per
// column; searched as a group, the receivers near the chord are found once and sorted along
// it, and each segment tests the stretch it can reach.
std::size_t group_end(std::span<const BeamSegment> segs, std::size_t first) {
    const BeamSegment& g0 = segs[first];
    const float len0 = std::sqrt(g0.l2);
    std::size_t end = first + 1;
    while (end < segs.size() && end - first < kMaxCoveredSegments) {
        const BeamSegment& g = segs[end];
        const bool aligned = dot(g.d, g0.d) >= 0.995f * std::sqrt(g.l2) * len0;
        const bool alike = g.rb <= 1.5f * g0.rb && g0.rb <= 1.5f * g.rb;
        const bool short_chord = norm(g.a + g.d - g0.a) <= 0.5f * g0.rb;
        if (!(aligned && alike && short_chord)) break;
        ++end;
    }
    return end;
}

} // namespace

ArrivalPath arrival_path(const BeamModel& beam, const BeamSegment& g,
                         const BeamLaunch& launch) {
    float power = 0.0f;
    const std::span<const Complex32> row = beam.reflection_row(g);
    for (const Complex32 r : row)
        power += r.re * r.re + r.im * r.im;
    const float rms = row.empty() ? 1.0f : std::sqrt(power / static_cast<float>(row.size()));
    return {.surface_bounces = g.surface_bounces,
            .bottom_bounces = g.bottom_bounces,
            .reflection_rms = rms,
            .launch_elevation_rad = launch.elev0_rad,
            .launch_azimuth_rad = launch.azim0_rad,
            .direction = g.d,
            .beam_index = launch.beam_index};
}

void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const ReceiverSet& receivers, const bty::BTYfield& bty,
                             std::span<const float> omegas, const BeamLaunch& launch,
                             InfluenceWorkspace& work, InfluenceStats* stats,
                             ArrivalTable* arrivals) {
    if (ray.size() < 2) return;
    normalise_beam(ray, launch);
    build_beam_model(
        ray, launch, bty, omegas,
        [&receivers](Vec3 a, Vec3 d, float l2, float rb) {
            return segment_may_reach(receivers, {a, d, l2, rb});
        },
        work.beam);

    FieldSink sink = field_sink(field, omegas);
    ArrivalPath path;
    if (arrivals != nullptr) {
        sink.arrivals = arrivals;
        sink.path = &path;
    }
    const BatchKernel add_batch = batch_kernel(work.lanes, stats != nullptr);
    const auto add_segment = [&](const BeamSegment& g, CandidateBatch& batch,
                                 SegmentPiece piece) {
        sink.reflection = work.beam.reflection_row(g);
        if (arrivals != nullptr) path = arrival_path(work.beam, g, launch);
        add_batch(g, piece, batch, work.passed, sink, stats);
    };
    const std::span<const BeamSegment> segs = work.beam.segments;
    std::array<SegmentReach, kMaxCoveredSegments> reaches;
    const float inf = std::numeric_limits<float>::infinity();
    for (std::size_t first = 0; first < segs.size();) {
        const std::size_t end = group_end(segs, first);
        const std::span<const BeamSegment> group = segs.subspan(first, end - first);
        first = end;
        for (std::size_t k = 0; k < group.size(); ++k)
            reaches[k] = {group[k].a, group[k].d, group[k].l2, group[k].rb};
        const std::optional<SegmentCover> cover =
            cover_reaches(std::span(reaches).first(group.size()));
        // One piece visits each receiver once, so that each segment tests it once; the
        // segments take their receivers in order, as when searched one by one.
        if (cover && searched_whole(cover->reach)) {
            search_segment(receivers, cover->reach, work.batch,
                           [&](CandidateBatch& batch, SegmentPiece) {
                               for (const BeamSegment& g : group)
                                   add_segment(g, batch, {-inf, inf});
                           });
            continue;
        }
        for (const BeamSegment& g : group) {
            search_segment(receivers, reaches[&g - group.data()], work.batch,
                           [&](CandidateBatch& batch, SegmentPiece piece) {
                               add_segment(g, batch, piece);
                           });
        }
    }
}

void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const input::SimulationConfig& config, const bty::BTYfield& bty,
                             std::span<const float> omegas, float elev0_rad, float dazim_rad,
                             float delev_rad, InfluenceStats* stats) {
    InfluenceWorkspace work;
    gaussian_beam_influence(ray, field, prepare_receivers(config.receivers), bty, omegas,
                            {elev0_rad, dazim_rad, delev_rad, 0}, work, stats);
}

} // namespace kelp::influence
