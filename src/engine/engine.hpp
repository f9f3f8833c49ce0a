#pragma once
// The simulation driver: builds the environment, traces the beam fan in parallel chunks on
// the oneTBB pool, merges partial fields in launch order and reports progress.

#include "engine/memory_budget.hpp"
#include "influence/influence.hpp"
#include "input/config.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelp::engine {

struct SimulationResult {
    std::optional<std::vector<RayPath>> ray_paths; // present iff beam.store_ray_paths
    influence::PressureField field;
    // Present iff beam.max_arrivals > 0: finalised (amplitudes, sorted by delay).
    std::optional<influence::ArrivalTable> arrivals;
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

// Beams first .. last - 1 of the fan: one unit of parallel work.
struct FanChunk {
    std::size_t first = 0;
    std::size_t last = 0;
};
// The fan cut into consecutive chunks of fan_chunk_size(n_beams, n_threads) beams, the last
// one possibly shorter; none when there are no beams.
std::vector<FanChunk> split_fan(std::size_t n_beams, std::size_t n_threads);
// Nothing when first .. last - 1 is a run of beams of a fan of n_beams (0 <= first <= last <=
// n_beams), else the reason, naming both ends and the fan's size. Signed, so that a caller's
// negative index is described rather than wrapped.
std::optional<std::string> check_beam_range(std::int64_t first, std::int64_t last,
                                            std::size_t n_beams);
// The text of the FatalError a cancelled run ends with.
inline constexpr std::string_view kRunCancelledMessage = "the run was cancelled";

// The driver cuts the fan into blocks of fan_block_size(N) = ceil(N / kFanBlocks) beams (at
// least one): at most kFanBlocks blocks whose boundaries depend on the fan alone, reduced in a
// tree fixed by their count, so that a run gives the same bits on any number of threads.
inline constexpr std::size_t kFanBlocks = 128;
std::size_t fan_block_size(std::size_t n_beams);
// Partial fields alive at once, at most, when n_blocks blocks are reduced on n_threads
// threads: a value per level of the split tree per thread, never more than the blocks.
std::size_t live_partial_fields(std::size_t n_blocks, std::size_t n_threads);
// Worker count of the pool: KELP_NUM_THREADS (a positive integer) caps the default.
std::size_t thread_count();
// The cap that the text of KELP_NUM_THREADS asks for: a positive decimal integer, nothing
// for a null pointer, zero, signs, spaces or any other text.
std::optional<std::size_t> parse_thread_cap(const char* text);

// Runs the whole simulation on a validated configuration. Throws FatalError for invalid grids,
// ragged receiver lists, pressure fields larger than the available memory, rays or stored paths
// outgrowing what is left of it, a lane width the options ask for that this build or
// processor lacks, and any fault on a worker thread (after the parallel phase winds down).
SimulationResult core(const input::SimulationConfig& config);

// Settings of a run that do not belong in the configuration; the defaults make
// core(config, {}) identical to core(config).
struct CoreOptions {
    // Caps the pool for this call like KELP_NUM_THREADS, which it overrides; 0 leaves the
    // variable in charge.
    std::size_t max_threads = 0;
    // Called on the worker thread with the beam index just before each beam is traced. It
    // lets tests and tools observe the fan or fault a worker on purpose: whatever it throws
    // takes the same path as a fault in the physics.
    std::function<void(std::size_t beam_index)> before_beam;
    // How the caller will hold the result, for the memory check made before any beam runs and
    // for the charge of every stored path point.
    OutputCost output_cost;
    // Memory the run may use, bytes; 0 takes what the machine has available now.
    double memory_limit_bytes = 0.0;
    // Memory the ray lists and stored paths may take together while tracing, bytes; 0 gives
    // what the limit above leaves after the pressure fields.
    double growth_limit_bytes = 0.0;
    // Cuts the fan into chunks of ceil(N / chunk_count) beams instead of the fixed blocks;
    // 0 keeps the default. Arrivals and paths must not depend on it, which tests check through
    // it (pressures then differ in the grouping of their sums).
    std::size_t chunk_count = 0;
    // The summation's lanes: "scalar", "sse2" or "avx2" (which must be available); empty
    // leaves the choice to KELP_SIMD and then to the processor. Results do not depend on it.
    std::string lanes;
    // Runs only the beams range.first .. range.last - 1 of the fan (azimuth-major index), as
    // the whole run would: the fan's spacings, its fixed blocks (cut at the range's ends) and
    // every beam's contribution are those of the whole fan, so the fields of consecutive
    // ranges merged in launch order give the whole run's arrivals and paths, and its
    // pressures up to the grouping of the sums. Nothing runs the whole fan. A range outside
    // the fan throws FatalError before anything is built.
    std::optional<FanChunk> beam_range;
    // When the flag becomes true (from any thread), every worker stops before its next beam
    // and core throws FatalError(kRunCancelledMessage) once the pool has wound down; a beam
    // already under way finishes first. Null: the run cannot be cancelled.
    const std::atomic<bool>* cancel = nullptr;
    // Incremented once per finished beam, so that another thread can follow the run.
    std::atomic<std::uint64_t>* beams_finished = nullptr;
};

SimulationResult core(const input::SimulationConfig& config, const CoreOptions& options);

} // namespace kelp::engine
