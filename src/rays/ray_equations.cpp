#include "rays/ray_derivatives.hpp"
#include "rays/rays.hpp"

namespace kelp::rays {

RayDerivatives compute_ray_derivatives(const RayState& state, const ssp::SSPFields& ssp,
                                       ssp::SSPCursor& cur) {
    return derive_ray(state, ssp::interpolate_all_with_cursor(state.position, ssp, cur));
}

} // namespace kelp::rays
