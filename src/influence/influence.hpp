#pragma once
// The receiver set and the pressure-field accumulator with its merge rule, and the
// Gaussian-beam summation of one traced ray into it.

#include "bty/bty.hpp"
#include "input/config.hpp"
#include "input/ndarray.hpp"
#include "input/ray_state.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelp::influence {

// Complex pressure per (frequency, receiver) plus the earliest arrival per receiver.
// Grid mode: shape (F, Nx, Ny, Nz); array mode: (F, N, 1, 1) with receiver_positions_m.
struct PressureField {
    std::vector<float> x_m, y_m, z_m;
    std::optional<std::vector<std::array<float, 3>>> receiver_positions_m;
    Array4c pressure;  // starts at 0
    Array3f delay_s;   // starts at +inf (no arrival yet)
    Array3f amplitude; // starts at 0
    bool is_array_mode = false;
};

// Empty field for the receivers and frequencies of the validated configuration. Throws
// FatalError "array receiver coordinates must have equal lengths" for ragged array lists.
PressureField init_pressure_field(const input::SimulationConfig& config);

// Adds right into left (pressure sums; strictly earlier delays win, ties keep left) and
// returns left. Both come from init_pressure_field on the same configuration.
PressureField merge_pressure_fields(PressureField left, PressureField right);

// Adds the Gaussian beam of one traced ray into `field` for every angular frequency (rad/s),
// time dependence exp(+i omega tau). Rewrites the ray's amplitude, q vectors and det_q
// (normalised, scaled). elev0_rad is the beam's launch elevation; dazim_rad and delev_rad the
// fan spacings. A receiver whose projection falls on a state between two segments is counted
// once (by the later segment). Grid axes may come in any order, repeated values included:
// the search runs on a sorted view and writes to the receivers' own indices.
void gaussian_beam_influence(std::vector<rays::RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad);

// Where the candidate receivers of the segment search end up: each candidate is counted once
// in `candidates` and once in exactly one of the other five counters, in the order the tests
// run (projection onto the segment, search radius, determinant, window).
struct InfluenceStats {
    std::uint64_t candidates = 0;
    std::uint64_t rejected_projection = 0;
    std::uint64_t rejected_radius = 0;
    std::uint64_t rejected_determinant = 0;
    std::uint64_t rejected_window = 0;
    std::uint64_t evaluated = 0; // passed every test: arrival updated, all frequencies added
};

// Same as above, also adding the search counts of this call to `stats` (for benchmarks; the
// plain overload carries no counting cost).
void gaussian_beam_influence(std::vector<rays::RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad,
                             InfluenceStats& stats);

} // namespace kelp::influence
