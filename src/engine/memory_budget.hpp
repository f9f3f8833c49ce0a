#pragma once
// A run's memory estimate, checked against the memory the machine has before any beam is
// traced, so that an oversized configuration fails at once with a message naming the size
// instead of being killed by the kernel half-way through.

#include "input/config.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace kelp::engine {

// What the caller does with the result, per value: the Python module turns every float of the
// field into a float object in a list (about 32 bytes), every path point into a list of three
// (about 160 bytes). Zero for a C++ caller that keeps the result as it is.
struct OutputCost {
    double bytes_per_value = 0.0;
    double bytes_per_path_point = 0.0;
};

// Estimate in bytes (double: the products overflow 64-bit counts for hostile inputs).
struct MemoryEstimate {
    double field_bytes = 0.0; // all live partial fields plus the caller's copy of the result
    double path_bytes = 0.0;  // stored ray paths, every ray at max_steps + 1 points
    double ray_bytes = 0.0;   // one ray of max_steps + 1 states in flight per worker
    double total() const { return field_bytes + path_bytes + ray_bytes; }
};

// Worst-case estimate of the memory a run of `config` needs on `n_threads` workers with
// `n_chunks` units of work (each with its own pressure field).
MemoryEstimate estimate_run_memory(const input::SimulationConfig& config, std::size_t n_threads,
                                   std::size_t n_chunks, const OutputCost& output);

// Memory this process may still take: MemAvailable, lowered by a cgroup limit if one is set;
// nothing when neither can be read.
std::optional<double> available_memory_bytes();

// Throws FatalError naming the estimate and the limit when the estimate exceeds `limit_bytes`.
void check_memory_budget(const MemoryEstimate& estimate, double limit_bytes);

} // namespace kelp::engine
