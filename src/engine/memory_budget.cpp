#include "engine/memory_budget.hpp"

#include "core/fatal.hpp"
#include "core/memory_budget.hpp"
#include "core/ray_state.hpp"
#include "influence/influence.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kelp::engine {
namespace {

double receiver_count(const input::Receivers& r) {
    if (r.layout == input::ReceiverLayout::Array) return static_cast<double>(r.x_rcvr_m.size());
    return static_cast<double>(r.x_rcvr_m.size()) * static_cast<double>(r.y_rcvr_m.size()) *
           static_cast<double>(r.z_rcvr_m.size());
}

std::optional<double> read_number_after(const char* path, const std::string& key) {
    std::ifstream in(path);
    std::string word;
    while (in >> word) {
        if (word == key) {
            double value = 0.0;
            if (in >> value) return value;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// A positive decimal integer, as KELP_NUM_THREADS is read; nothing for any other text.
std::optional<double> parse_mebibytes(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    std::uint64_t value = 0;
    const char* end = text + std::strlen(text);
    const auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc{} || stop != end || value == 0) return std::nullopt;
    return static_cast<double>(value);
}

std::optional<double> read_single_number(const char* path) {
    std::ifstream in(path);
    double value = 0.0;
    if (in >> value) return value;
    return std::nullopt; // includes cgroup's "max"
}

} // namespace

MemoryEstimate estimate_run_memory(const input::SimulationConfig& config, std::size_t n_chunks,
                                   const OutputCost& output) {
    const double receivers = receiver_count(config.receivers);
    const double freqs = static_cast<double>(config.source.freq_hz.size());
    const double beams = static_cast<double>(config.source.launch_elev_deg.size()) *
                         static_cast<double>(config.source.launch_azim_deg.size());

    MemoryEstimate e;
    // Per field: complex pressure per frequency, delay and amplitude per receiver. Every chunk
    // may hold its field at once, plus the merged result; the caller then copies the result.
    const double values = receivers * (2.0 * freqs + 2.0);
    e.field_bytes = (static_cast<double>(n_chunks) + 1.0) * receivers * (8.0 * freqs + 8.0) +
                    values * output.bytes_per_value;
    // The prepared receivers, shared by all chunks, and the caller's copy of their geometry:
    // a point per array receiver (a list of three, as a path point), the axes of a grid.
    const input::Receivers& rc = config.receivers;
    e.receiver_bytes = influence::receiver_set_bytes(rc);
    if (rc.layout == input::ReceiverLayout::Array) {
        e.receiver_bytes += receivers * output.bytes_per_path_point;
    } else {
        e.receiver_bytes +=
            static_cast<double>(rc.x_rcvr_m.size() + rc.y_rcvr_m.size() + rc.z_rcvr_m.size()) *
            output.bytes_per_value;
    }
    // Every beam's path has an entry (index and list header) in its chunk's list, again in the
    // merged list while it grows, a header in the final list and the caller's own list.
    if (config.beam.store_ray_paths)
        e.path_list_bytes =
            beams * (2.0 * static_cast<double>(sizeof(std::pair<std::size_t, RayPath>)) +
                     static_cast<double>(sizeof(RayPath)) + output.bytes_per_path);
    // An arrivals table beside every live field, full at worst; the caller's copy holds per
    // arrival its delay, four angles, two counts, the beam, the receiver and a complex
    // amplitude per frequency, and per receiver the count of dropped arrivals.
    if (config.beam.max_arrivals > 0) {
        const auto capacity = static_cast<std::size_t>(config.beam.max_arrivals);
        const double rows = receivers * static_cast<double>(capacity);
        e.arrival_bytes =
            (static_cast<double>(n_chunks) + 1.0) *
                influence::arrival_table_bytes(static_cast<std::size_t>(receivers), capacity,
                                               config.source.freq_hz.size()) +
            (rows * (9.0 + 2.0 * freqs) + receivers) * output.bytes_per_value;
    }
    return e;
}

double path_point_bytes(const OutputCost& output) {
    return static_cast<double>(sizeof(std::array<float, 3>)) + output.bytes_per_path_point;
}

std::optional<double> available_memory_bytes() {
    std::optional<double> available;
    if (const auto kib = read_number_after("/proc/meminfo", "MemAvailable:"))
        available = *kib * 1024.0;
    const auto limit = read_single_number("/sys/fs/cgroup/memory.max");
    const auto used = read_single_number("/sys/fs/cgroup/memory.current");
    if (limit && used) {
        const double room = std::max(0.0, *limit - *used);
        available = available ? std::min(*available, room) : room;
    }
    if (const auto mib = parse_mebibytes(std::getenv("KELP_MEMORY_LIMIT_MIB"))) {
        const double cap = *mib * 1024.0 * 1024.0;
        available = available ? std::min(*available, cap) : cap;
    }
    return available;
}

void check_memory_budget(const MemoryEstimate& e, double limit_bytes) {
    if (!(e.total() > limit_bytes)) return;
    const char* largest = e.arrival_bytes > std::max(e.field_bytes, e.path_list_bytes)
                              ? "the arrivals table (receivers x max_arrivals x frequencies)"
                          : e.path_list_bytes > e.field_bytes
                              ? "the ray path lists (one per beam)"
                              : "the pressure field (receivers x frequencies)";
    fail("not enough memory for this simulation: it needs about " +
         format_memory_size(e.total()) + ", mostly for " + largest + ", but only " +
         format_memory_size(limit_bytes) +
         " is available; reduce the receivers or frequencies (or the beams, with stored paths, "
         "or max_arrivals)");
}

std::uint64_t growth_limit_bytes(std::optional<double> limit_bytes,
                                 const MemoryEstimate& estimate) {
    if (!limit_bytes) return UINT64_MAX;
    const double room = *limit_bytes - estimate.total();
    if (!(room > 0.0)) return 0;
    return room < 1.8e19 ? static_cast<std::uint64_t>(room) : UINT64_MAX;
}

} // namespace kelp::engine
