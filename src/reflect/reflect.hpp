#pragma once
// Reflection of a ray at the pressure-release sea surface and at the gridded bottom, and the
// complex plane-wave reflection coefficient of a rigid, fluid or elastic bottom.

#include "bty/bty.hpp"
#include "input/ndarray.hpp"
#include "rays/ray_state.hpp"

#include <vector>

namespace kelp::reflect {

// If the last state has crossed the surface (z <= 0 moving up) or the bottom (z >= depth
// moving into it), puts it back on the boundary, mirrors its slowness, counts the bounce,
// adds pi (surface) or records a bottom event, and carries p, det_q and phi across.
// Returns a bitmask of what moved: kMovedX | kMovedY | kMovedZ (for the marcher's
// compensated sums), 0 when nothing was reflected.
inline constexpr unsigned kMovedX = 1u, kMovedY = 2u, kMovedZ = 4u;
unsigned reflect_boundaries(std::vector<rays::RayState>& ray, const bty::BTYfield& bty,
                            bty::BTYCursor& cur);

// Plane-wave reflection coefficient R of the bottom for the incident slowness t (s/m), bottom
// normal n, water sound speed c (m/s), water density rho_w (g/cm^3) and angular frequency
// omega (rad/s), for time dependence exp(+i omega tau). Rigid, omega = 0 or |n| <= 1e-12 give 1.
Complex32 compute_bottom_reflection_coefficient(const bty::BottomModel& model, Vec3 t, Vec3 n,
                                                float c, float rho_w, float omega);

} // namespace kelp::reflect
