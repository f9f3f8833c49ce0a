#pragma once
// The memory vocabulary of a run, shared by the tracer and the driver. The memory that the
// lists growing while a run traces may take together: the state list of every ray in flight and
// the stored ray paths. What a run certainly needs (its pressure fields) is checked before the
// first beam; how long a ray becomes is known only once it is traced, so those lists are
// charged here as they grow, against what was left after the certain part. A max_steps meant as
// "no limit" then costs only what the rays really use, and a run whose rays or paths really
// outgrow the machine stops with a message instead of being killed by the kernel.

#include <atomic>
#include <cstdint>
#include <string>

namespace kelp {

// What a charge is for; named in the message when the budget runs out.
enum class GrowthKind : std::uint8_t { RayStates, StoredPaths };

// One run's budget, shared by all its workers. Lists charge it when their capacity grows
// (a doubling, a path copied once), never per step, so the atomics stay off the hot path.
struct GrowthBudget {
    std::uint64_t limit_bytes = UINT64_MAX;
    std::uint64_t beam_count = 0; // beams of the run, for the message
    std::atomic<std::uint64_t> used_bytes{0};
    std::atomic<std::uint64_t> ray_state_bytes{0};
    std::atomic<std::uint64_t> stored_path_bytes{0};
    std::atomic<std::uint64_t> beams_done{0}; // advanced by the driver after each beam
};

// Takes `bytes` more for `kind`. When the run's total would pass the limit nothing is taken
// and FatalError "not enough memory for this simulation: <the larger kind> reached <size>
// after <done> of <beams> beams (<total> with <the other kind>), but only <limit> is
// available beyond the pressure fields; <advice>" is thrown, sizes counting the refused bytes
// and the part in brackets left out while the other kind holds nothing.
void charge_growth(GrowthBudget& budget, GrowthKind kind, std::uint64_t bytes);

// Gives back bytes charged earlier for `kind` (a ray list dropped or moved to a larger block).
void release_growth(GrowthBudget& budget, GrowthKind kind, std::uint64_t bytes) noexcept;

// "12.3 GiB" from one GiB up, "4.5 MiB" below.
std::string format_memory_size(double bytes);

} // namespace kelp
