#include "influence/influence.hpp"

namespace kelp::influence {

void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const ReceiverSet& receivers, const bty::BTYfield& bty,
                             std::span<const float> omegas, const BeamLaunch& launch,
                             InfluenceWorkspace& work, InfluenceStats* stats) {
    if (ray.size() < 2) return;
    normalise_beam(ray, launch);
    build_beam_model(
        ray, launch, bty, omegas,
        [&receivers](Vec3 a, Vec3 d, float l2, float rb) {
            return segment_may_reach(receivers, {a, d, l2, rb});
        },
        work.beam);

    FieldSink sink = field_sink(field, omegas);
    const BatchKernel add_batch = batch_kernel(work.lanes, stats != nullptr);
    for (const BeamSegment& g : work.beam.segments) {
        sink.reflection = work.beam.reflection_row(g);
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
