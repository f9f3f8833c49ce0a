#include "engine/memory_budget.hpp"

#include "input/fatal.hpp"
#include "input/ray_state.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

namespace kelp::engine {
namespace {

double receiver_count(const input::Receivers& r) {
    const bool array_mode = r.config_type.size() == 5 &&
                            std::equal(r.config_type.begin(), r.config_type.end(), "array",
                                       [](char a, char b) { return (a | 0x20) == b; });
    if (array_mode) return static_cast<double>(r.x_rcvr_m.size());
    return static_cast<double>(r.x_rcvr_m.size()) * static_cast<double>(r.y_rcvr_m.size()) *
           static_cast<double>(r.z_rcvr_m.size());
}

std::string format_bytes(double bytes) {
    char text[64];
    if (bytes >= 1024.0 * 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
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

std::optional<double> read_single_number(const char* path) {
    std::ifstream in(path);
    double value = 0.0;
    if (in >> value) return value;
    return std::nullopt; // includes cgroup's "max"
}

} // namespace

MemoryEstimate estimate_run_memory(const input::SimulationConfig& config, std::size_t n_threads,
                                   std::size_t n_chunks, const OutputCost& output) {
    const double receivers = receiver_count(config.receivers);
    const double freqs = static_cast<double>(config.source.freq_hz.size());
    const double beams = static_cast<double>(config.source.launch_elev_deg.size()) *
                         static_cast<double>(config.source.launch_azim_deg.size());
    const double states = static_cast<double>(config.beam.max_steps) + 1.0;

    MemoryEstimate e;
    // Per field: complex pressure per frequency, delay and amplitude per receiver. Every chunk
    // may hold its field at once, plus the merged result; the caller then copies the result.
    const double values = receivers * (2.0 * freqs + 2.0);
    e.field_bytes = (static_cast<double>(n_chunks) + 1.0) * receivers * (8.0 * freqs + 8.0) +
                    values * output.bytes_per_value;
    if (config.beam.store_ray_paths && beams > 0.0)
        e.path_bytes = beams * states * (12.0 + output.bytes_per_path_point);
    if (beams > 0.0)
        e.ray_bytes = static_cast<double>(std::max<std::size_t>(n_threads, 1)) * states *
                      static_cast<double>(sizeof(rays::RayState));
    return e;
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
    return available;
}

void check_memory_budget(const MemoryEstimate& e, double limit_bytes) {
    if (!(e.total() > limit_bytes)) return;
    const char* largest = "the pressure field (receivers x frequencies)";
    if (e.path_bytes >= e.field_bytes && e.path_bytes >= e.ray_bytes)
        largest = "the stored ray paths (beams x (max_steps + 1) points)";
    else if (e.ray_bytes >= e.field_bytes)
        largest = "the rays in flight (worker threads x (max_steps + 1) states)";
    fail("not enough memory for this simulation: it needs about " + format_bytes(e.total()) +
         ", mostly for " + largest + ", but only " + format_bytes(limit_bytes) +
         " is available; reduce the receivers, frequencies, beams or beam.max_steps");
}

} // namespace kelp::engine
