#pragma once
// Plausibility findings: set-ups that kelp runs without complaint but that are almost always
// mistakes (a source in the seabed, elevations given as depths, sound speeds in km/s, launch
// angles in radians). They are remarks for the caller, never errors, and never change a run.

#include "input/config.hpp"

#include <string>
#include <vector>

namespace kelp::engine {

// The findings for a validated configuration, one plain-language line per kind of problem
// (with counts, never one per receiver), in this order:
//   ssp speeds outside 1300-1800 m/s; horizontal grid extent under 10 m; negative bottom
//   depths; source below the bottom under it; source outside the horizontal extent of the
//   sound-speed or bathymetry grid; frequencies outside 1 Hz - 1 MHz; launch angles that look
//   like radians; receivers below the bottom; receivers outside the grids; receivers farther
//   than max_range_m from the source.
// Empty when nothing looks wrong. Builds the sound-speed and bathymetry fields with kelp's own
// builders and samples the bottom with its own lookup, so a grid the run could not build
// throws the same FatalError, in the same order (sound speed first), as the run would. Array
// receiver lists of unequal lengths, which the run refuses, are not looked at.
std::vector<std::string> check_plausibility(const input::SimulationConfig& config);

// The rule for launch angles given in radians (kelp reads degrees): every elevation lies within
// +-pi/2, the elevations span at least kRadianFanMinSpan, and every azimuth lies within
// +-2 pi. Degree fans escape it by any elevation steeper than 1.5708 deg, by an elevation span
// under 0.3 deg (single rays, pencil fans), or by any azimuth beyond 6.2832 deg.
bool launch_angles_look_like_radians(const std::vector<float>& elev_deg,
                                     const std::vector<float>& azim_deg);

// Smallest elevation span (in the configuration's units) that the rule above takes as a
// radian fan: 0.3 rad is 17 deg, narrower than any fan that crosses a waveguide.
inline constexpr float kRadianFanMinSpan = 0.3f;

} // namespace kelp::engine
