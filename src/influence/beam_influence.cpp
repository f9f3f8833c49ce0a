#include "influence/influence.hpp"

#include <cmath>

namespace kelp::influence {

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
    for (const BeamSegment& g : work.beam.segments) {
        sink.reflection = work.beam.reflection_row(g);
        if (arrivals != nullptr) path = arrival_path(work.beam, g, launch);
        search_segment(receivers, {g.a, g.d, g.l2, g.rb}, work.batch,
                       [&](CandidateBatch& batch, SegmentPiece piece) {
                           add_batch(g, piece, batch, work.passed, sink, stats);
                       });
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
