#include "rays/ray_derivatives.hpp"
#include "rays/rays.hpp"

namespace kelp::rays {

RayDerivatives compute_ray_derivatives(const RayState& state, const ssp::SSPFields& ssp,
                                       ssp::SSPCursor& cur) {
    FrameTurn turn = frame_turn(state.phi);
    return derive_ray(state, ssp::interpolate_all_with_cursor(state.position, ssp, cur), turn);
}

} // namespace kelp::rays
