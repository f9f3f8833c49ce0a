#pragma once
// Ray equations with dynamic-ray (paraxial) quantities, and the marching of one ray from the
// source with Euler or midpoint steps, boundary-aware step shortening and reflections.

#include "bty/bty.hpp"
#include "core/memory_budget.hpp"
#include "core/ray_state.hpp"
#include "input/config.hpp"
#include "ssp/ssp.hpp"

#include <cstdint>
#include <vector>

namespace kelp::rays {

// Right-hand side of the ray equations in arc length s at `state`: d(position)/ds = c t,
// d(slowness)/ds = -grad c / c^2, d(phi)/ds, and dp/ds = -(1/c^2) C q, dq/ds = c p for both
// dynamic-ray pairs. Moves `cur` to the state's cell.
RayDerivatives compute_ray_derivatives(const RayState& state, const ssp::SSPFields& ssp,
                                       ssp::SSPCursor& cur);

// Step length (m) from p along the unit tangent d, shortened to the next sound-speed plane,
// bathymetry grid line, sea surface and bottom tangent plane; within [h0 * 1e-6, h0].
// Moves the bathymetry cursor to p; reads the sound-speed cursor only.
float reduce_step_to_boundaries(Vec3 p, Vec3 d, const ssp::SSPFields& ssp,
                                const ssp::SSPCursor& ssp_cur, const bty::BTYfield& bty,
                                bty::BTYCursor& bty_cur, float h0);

// Number of states reserved up front for one ray: min(max(max_steps, 2), ceil(range / step)
// + 2), saturating (a negative or NaN ratio counts 0), and at most 65,536 so that a large
// max_steps never allocates much before the ray has earned it. Only a capacity hint.
std::uint64_t ray_capacity_hint(const input::BeamSettings& beam);

// Traces one ray launched at azimuth (rad, from +y towards +x) and elevation (rad, positive
// down). Element 0 is the source state; one state per step until max_steps, the range
// circle or, with beam.max_bottom_loss_db, the bottom reflection after which the beam has lost
// more than that at every frequency of the source (it ends on that state). Position and travel
// time are summed with compensation to stay accurate over 100 km in single precision. With a
// budget, the list's storage is charged to it before each allocation (the first reservation,
// then every doubling) and the ray stops with its FatalError when the budget is spent; the
// caller gives the charge back with release_ray_storage once it drops the ray.
std::vector<RayState> trace_ray(const input::SimulationConfig& config,
                                const ssp::SSPFields& ssp, const bty::BTYfield& bty,
                                float azimuth_rad, float elevation_rad,
                                GrowthBudget* budget = nullptr);
// The same into `ray`, which is cleared first and keeps its capacity from ray to ray. Growth
// is charged to `budget` as above, but the charge stays with the list, also on an exception:
// the caller gives it back with release_ray_storage when the list dies.
void trace_ray(const input::SimulationConfig& config, const ssp::SSPFields& ssp,
               const bty::BTYfield& bty, float azimuth_rad, float elevation_rad,
               std::vector<RayState>& ray, GrowthBudget* budget = nullptr);

// Returns the charge of a ray traced against `budget` (its list's capacity in bytes).
void release_ray_storage(GrowthBudget& budget, const std::vector<RayState>& ray) noexcept;

} // namespace kelp::rays
