#pragma once
// The simulation driver: builds the environment, traces the beam fan in parallel chunks on
// the oneTBB pool, merges partial fields in launch order and reports progress.

#include "influence/influence.hpp"
#include "input/config.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kelp::engine {

using RayPath = std::vector<std::array<float, 3>>;

struct SimulationResult {
    std::optional<std::vector<RayPath>> ray_paths; // present iff beam.store_ray_paths
    influence::PressureField field;
};

// One launch direction, radians.
struct Beam {
    float azimuth_rad;
    float elevation_rad;
};

// Azimuth-major fan: beam a * n_elev + e is (azimuth[a], elevation[e]).
std::vector<Beam> build_beam_fan(std::span<const float> azimuths_rad,
                                 std::span<const float> elevations_rad);
// |a[1] - a[0]| for two or more angles, else one degree, radians.
float angle_spacing(std::span<const float> angles_rad);
// ceil(n_beams / (2 T)), 1 when there are no beams.
std::size_t fan_chunk_size(std::size_t n_beams, std::size_t n_threads);
// Worker count of the pool: KELP_NUM_THREADS (a positive integer) caps the default.
std::size_t thread_count();

// Runs the whole simulation on a validated configuration. Throws FatalError for invalid grids,
// ragged receiver lists and any fault on a worker thread (after the parallel phase winds down).
SimulationResult core(const input::SimulationConfig& config);

} // namespace kelp::engine
