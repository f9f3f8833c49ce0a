#pragma once
// Reflection of a ray at the pressure-release sea surface and at the gridded bottom, and the
// complex plane-wave reflection coefficient of a rigid, fluid or elastic bottom.

#include "bty/bty.hpp"
#include "core/ndarray.hpp"
#include "core/ray_state.hpp"
#include "ssp/ssp.hpp"

#include <vector>

namespace kelp::reflect {

// Reflects the last state of `ray` (never empty) if it has crossed the surface (z <= 0 moving
// up) or else the bottom (z >= depth moving into it): puts it back on the boundary along its
// slowness (taking its travel time and q vectors back with it), records the incident state in
// its event (kind bottom at the bottom, none at the surface), mirrors the slowness, counts the
// bounce, adds pi (surface) or records a bottom event with the inward normal, and carries the
// dynamic-ray quantities across: q unchanged on the mirrored normals (so the tube's first
// component flips sign relative to the stored right-handed frame at every bounce, see
// ray_tube_sign), p corrected for the sound-speed gradient and the bottom's curvature, det_q
// refreshed, phi set to the mirrored frame. Clears the state's event first. Moves `cur` to the
// state's (x, y) when the bottom is examined. The sound-speed gradient is sampled at the
// reflection point with a copy of `ssp_cur`; the overload without a field treats the water as
// uniform. Returns which coordinates of the stored position it changed, as kMovedX | kMovedY |
// kMovedZ (0 when nothing was reflected), so that the marcher can restart the compensated
// sums of exactly those coordinates from the new values.
inline constexpr unsigned kMovedX = 1u, kMovedY = 2u, kMovedZ = 4u;
unsigned reflect_boundaries(std::vector<RayState>& ray, const bty::BTYfield& bty,
                            bty::BTYCursor& cur);
unsigned reflect_boundaries(std::vector<RayState>& ray, const bty::BTYfield& bty,
                            bty::BTYCursor& cur, const ssp::SSPFields& ssp,
                            const ssp::SSPCursor& ssp_cur);
// The same on a state of its own (the marcher's, before it is appended to the ray).
unsigned reflect_boundaries(RayState& state, const bty::BTYfield& bty, bty::BTYCursor& cur,
                            const ssp::SSPFields& ssp, const ssp::SSPCursor& ssp_cur);

// Plane-wave reflection coefficient R of the bottom for the incident slowness t (s/m), bottom
// normal n, water sound speed c (m/s), water density rho_w (g/cm^3) and angular frequency
// omega (rad/s), for time dependence exp(+i omega tau). Rigid, omega = 0 or |n| <= 1e-12
// give 1. Attenuation is in dB per wavelength; a lossless bottom beyond its critical angle
// gives the limit of a vanishing loss (the evanescent wave decays into the bottom). A negative
// omega gives the complex conjugate; |R| < 1e-12 is returned as exactly 0.
Complex32 compute_bottom_reflection_coefficient(const bty::BottomModel& model, Vec3 t, Vec3 n,
                                                float c, float rho_w, float omega);

} // namespace kelp::reflect
