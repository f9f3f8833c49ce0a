#pragma once
// What a run certainly needs, checked against the memory the machine has before any beam is
// traced, so that an oversized receiver grid fails at once with a message naming the size
// instead of being killed by the kernel half-way through. What grows with the rays (their
// state lists, the stored paths) is charged as it grows (rays/growth_budget.hpp) against
// what is left after this part.

#include "input/config.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kelp::engine {

// What the caller does with the result, per value: the Python module turns every float of the
// field into a float object in a list (about 32 bytes), every path point into a list of three
// (about 160 bytes) and every path into a list (about 64 bytes). Zero for a C++ caller that
// keeps the result as it is.
struct OutputCost {
    double bytes_per_value = 0.0;
    double bytes_per_path_point = 0.0;
    double bytes_per_path = 0.0;
};

// The certain part in bytes (double: the products overflow 64-bit counts for hostile inputs).
struct MemoryEstimate {
    double field_bytes = 0.0; // all live partial fields plus the caller's copy of the result
    double path_list_bytes = 0.0; // with stored paths, the per-beam entries of the path lists
    double receiver_bytes = 0.0;  // the prepared receiver set and the caller's copy of it
    double arrival_bytes = 0.0;   // with an arrivals table: every live table, the caller's copy
    double total() const {
        return field_bytes + path_list_bytes + receiver_bytes + arrival_bytes;
    }
};

// The memory a run of `config` certainly needs when at most `n_chunks` partial pressure
// fields are alive at once (live_partial_fields). Ray lengths are not known before tracing
// and are not counted here.
MemoryEstimate estimate_run_memory(const input::SimulationConfig& config, std::size_t n_chunks,
                                   const OutputCost& output);

// Bytes each stored path point takes: its three floats plus what the caller makes of it.
double path_point_bytes(const OutputCost& output);

// Memory this process may still take: MemAvailable, lowered by a cgroup limit if one is set
// and by KELP_MEMORY_LIMIT_MIB (a positive decimal integer, MiB) if that is set; nothing when
// none of them can be read.
std::optional<double> available_memory_bytes();

// Throws FatalError naming the estimate and the limit when the estimate exceeds `limit_bytes`.
void check_memory_budget(const MemoryEstimate& estimate, double limit_bytes);

// Bytes left for the lists that grow while tracing once the certain part is set aside; no
// limit (UINT64_MAX) when the machine's memory is unknown.
std::uint64_t growth_limit_bytes(std::optional<double> limit_bytes,
                                 const MemoryEstimate& estimate);

} // namespace kelp::engine
