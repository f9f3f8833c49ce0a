// A whole small run on configurations mutated from valid ones: every input must end in a
// result, a validation error or a FatalError; anything else (a crash, a sanitizer report, an
// exception of another type) is a finding. Grids, fans and step counts are capped so that each
// input runs in milliseconds.
#include "core/fatal.hpp"

#include "engine/engine.hpp"
#include "input/config.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool small_enough(const kelp::input::SimulationConfig& c) {
    const auto& s = c.ssp;
    const auto& b = c.bathymetry;
    const auto& r = c.receivers;
    return s.c_m_s.size() <= 4096 &&
           s.x_ssp_m.size() * s.y_ssp_m.size() * s.z_ssp_m.size() <= 4096 &&
           b.z_bty_m.size() <= 4096 && b.x_bty_m.size() * b.y_bty_m.size() <= 4096 &&
           c.source.freq_hz.size() <= 4 &&
           c.source.launch_elev_deg.size() * c.source.launch_azim_deg.size() <= 16 &&
           r.x_rcvr_m.size() <= 64 && r.y_rcvr_m.size() <= 64 && r.z_rcvr_m.size() <= 64 &&
           r.x_rcvr_m.size() * r.y_rcvr_m.size() * r.z_rcvr_m.size() <= 4096;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("KELP_NUM_THREADS", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelp::input::UnknownKeySink sink;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = kelp::input::parse_simulation_config(text, sink);
    if (!parsed.config) return 0;
    auto& config = *parsed.config;
    if (!kelp::input::validate(config).ok || !small_enough(config)) return 0;
    if (config.beam.max_steps > 200) config.beam.max_steps = 200;
    config.beam.show_progress = false;
    try {
        (void)kelp::engine::core(config);
    } catch (const kelp::FatalError&) {
        // A clear refusal (grid mismatch, unordered axis, ragged receivers) is a valid outcome.
    }
    return 0;
}
