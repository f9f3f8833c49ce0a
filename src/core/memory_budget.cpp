#include "core/memory_budget.hpp"

#include "core/fatal.hpp"

#include <cstdio>

namespace kelp {
namespace {

std::atomic<std::uint64_t>& held_by(GrowthBudget& budget, GrowthKind kind) {
    return kind == GrowthKind::RayStates ? budget.ray_state_bytes : budget.stored_path_bytes;
}

const char* name_of(GrowthKind kind) {
    return kind == GrowthKind::RayStates ? "the rays in flight" : "the stored ray paths";
}

const char* advice_for(GrowthKind kind) {
    return kind == GrowthKind::RayStates
               ? "reduce beam.max_steps or beam.max_range_m"
               : "reduce the beams, beam.max_steps or beam.max_range_m, or set "
                 "beam.store_ray_paths to false";
}

// Names the kind that holds the most once the refused bytes are counted: when one kind
// dominates, that is the one to cut, whichever of them asked last.
[[noreturn]] void fail_out_of_budget(const GrowthBudget& budget, GrowthKind asking,
                                     std::uint64_t used, std::uint64_t bytes) {
    const double rays = static_cast<double>(budget.ray_state_bytes.load()) +
                        (asking == GrowthKind::RayStates ? static_cast<double>(bytes) : 0.0);
    const double paths = static_cast<double>(budget.stored_path_bytes.load()) +
                         (asking == GrowthKind::StoredPaths ? static_cast<double>(bytes) : 0.0);
    GrowthKind largest = asking;
    if (rays > paths) largest = GrowthKind::RayStates;
    if (paths > rays) largest = GrowthKind::StoredPaths;
    const GrowthKind other =
        largest == GrowthKind::RayStates ? GrowthKind::StoredPaths : GrowthKind::RayStates;
    const double own = largest == GrowthKind::RayStates ? rays : paths;
    const double rest = largest == GrowthKind::RayStates ? paths : rays;
    const std::string together =
        rest > 0.0
            ? " (" +
                  format_memory_size(static_cast<double>(used) + static_cast<double>(bytes)) +
                  " with " + name_of(other) + ")"
            : std::string();
    fail(std::string("not enough memory for this simulation: ") + name_of(largest) +
         " reached " + format_memory_size(own) + " after " +
         std::to_string(budget.beams_done.load()) + " of " + std::to_string(budget.beam_count) +
         " beams" + together + ", but only " +
         format_memory_size(static_cast<double>(budget.limit_bytes)) +
         " is available beyond the pressure fields; " + advice_for(largest));
}

} // namespace

void charge_growth(GrowthBudget& budget, GrowthKind kind, std::uint64_t bytes) {
    std::uint64_t used = budget.used_bytes.load();
    do {
        if (bytes > budget.limit_bytes - used) fail_out_of_budget(budget, kind, used, bytes);
    } while (!budget.used_bytes.compare_exchange_weak(used, used + bytes));
    held_by(budget, kind).fetch_add(bytes);
}

void release_growth(GrowthBudget& budget, GrowthKind kind, std::uint64_t bytes) noexcept {
    held_by(budget, kind).fetch_sub(bytes);
    budget.used_bytes.fetch_sub(bytes);
}

std::string format_memory_size(double bytes) {
    char text[64];
    if (bytes >= 1024.0 * 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

} // namespace kelp
