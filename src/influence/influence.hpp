#pragma once
// The Gaussian-beam summation of one traced ray into a pressure field, as four stages: the
// beam model (beam_model.hpp: the ray's segments with everything per segment computed once),
// the receiver search (receiver_search.hpp: segment -> candidate receivers), the
// contribution kernel over a lane type (contribution.hpp, built per lane width, chosen in
// kernels.hpp) and the sink it adds into (pressure_field.hpp).

#include "bty/bty.hpp"
#include "core/ray_state.hpp"
#include "influence/arrivals.hpp"
#include "influence/beam_model.hpp"
#include "influence/kernels.hpp"
#include "influence/pressure_field.hpp"
#include "influence/receiver_search.hpp"
#include "influence/receivers.hpp"

#include <span>
#include <vector>

namespace kelp::influence {

// Scratch of one unit of parallel work, reused from beam to beam: after the first beam
// nothing is allocated. `lanes` is the kernel's width, chosen once for the run.
struct InfluenceWorkspace {
    LaneWidth lanes = *choose_lane_width();
    BeamModel beam;
    CandidateBatch batch;
    PassedReceivers passed;
};

// Adds the Gaussian beam of one traced ray into `field` for every angular frequency (rad/s),
// time dependence exp(+i omega tau). Rewrites the ray's amplitude, q vectors and det_q
// (normalised, scaled). `launch` gives the beam's launch elevation, the fan spacings and
// its index. A receiver whose projection falls on a state between two segments is counted
// once (by the later segment). `receivers` is the run's prepared set (prepare_receivers);
// only the receivers inside each segment's slab and search sphere are visited. When `stats`
// is not null the search counts of this call are added to it; when `arrivals` is not null
// every contribution is also offered to it.
void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const ReceiverSet& receivers, const bty::BTYfield& bty,
                             std::span<const float> omegas, const BeamLaunch& launch,
                             InfluenceWorkspace& workspace, InfluenceStats* stats = nullptr,
                             ArrivalTable* arrivals = nullptr);

// The path of segment g of `beam` for the arrivals table (see ArrivalPath).
ArrivalPath arrival_path(const BeamModel& beam, const BeamSegment& g, const BeamLaunch& launch);

// The same for a single call on the receivers of `config` (prepared for this ray alone),
// with the widest lanes available; elev0_rad is the beam's launch elevation, dazim_rad and
// delev_rad the fan spacings. Adds the search counts to `stats` when it is not null.
void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const input::SimulationConfig& config, const bty::BTYfield& bty,
                             std::span<const float> omegas, float elev0_rad, float dazim_rad,
                             float delev_rad, InfluenceStats* stats = nullptr);

} // namespace kelp::influence
