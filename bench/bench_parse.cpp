// Parsing a configuration dominated by a large sound-speed grid: 10 million numbers in c_m_s,
// written as Python's json.dumps writes a list of floats ("[1500.123456, 1493.5, ...]").
#include "input/config.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <string>

namespace {

constexpr std::size_t kSoundSpeeds = 10'000'000;

std::string make_config_text(std::size_t count) {
    std::string text = R"({"ssp": {"x_ssp_m": [0.0, 1000.0], "y_ssp_m": [0.0, 1000.0], )"
                       R"("z_ssp_m": [0.0, 100.0], "c_m_s": [)";
    text.reserve(count * 14 + 1024);
    // Speeds between 1400 and 1600 m/s with six decimals, each written as its shortest
    // round-trip text, as Python's float repr does.
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    std::array<char, 32> buf{};
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double speed =
            static_cast<double>(1'400'000'000ull + (state >> 33) % 200'000'000ull) / 1e6;
        const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), speed);
        if (i > 0) text += ", ";
        text.append(buf.data(), res.ptr);
        // repr always shows a decimal point on a float.
        if (std::string_view(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()))
                .find('.') == std::string_view::npos)
            text += ".0";
    }
    text +=
        R"(]}, "bathymetry": {"x_bty_m": [0.0, 1000.0], "y_bty_m": [0.0, 1000.0], )"
        R"("z_bty_m": [100.0, 100.0, 100.0, 100.0]}, "source": {"position": [500.0, 500.0, )"
        R"(20.0], "freq_hz": [100.0], "launch_elev_deg": [-10.0, 0.0, 10.0], )"
        R"("launch_azim_deg": [0.0]}, "receivers": {"config_type": "grid", "x_rcvr_m": )"
        R"([100.0], "y_rcvr_m": [500.0], "z_rcvr_m": [10.0]}, "beam": {"step_m": 5.0, )"
        R"("max_steps": 500, "max_range_m": 800.0}})";
    return text;
}

void BM_ParseLargeSoundSpeedGrid(benchmark::State& state) {
    const std::string text = make_config_text(kSoundSpeeds);
    for (auto _ : state) {
        kelp::input::UnknownKeySink sink;
        auto result = kelp::input::parse_simulation_config(text, sink);
        if (!result.config) {
            state.SkipWithError(result.error.c_str());
            break;
        }
        benchmark::DoNotOptimize(result.config->ssp.c_m_s.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
    state.counters["numbers/s"] = benchmark::Counter(static_cast<double>(state.iterations()) *
                                                         static_cast<double>(kSoundSpeeds),
                                                     benchmark::Counter::kIsRate);
    state.counters["text_MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(BM_ParseLargeSoundSpeedGrid)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
