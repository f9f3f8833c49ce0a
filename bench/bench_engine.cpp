// Whole simulation runs through engine::core on three 3-D scenes, at 1 and 2 threads.
// Reported: beams/s and receiver evaluations/s (beams x receivers per second, the number of
// beam-receiver pairs the run had to settle), in wall-clock time since the run is threaded.
// The 2-thread speed-up is the ratio of the two wall times of one scene.

#include "engine/engine.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

using kelp::input::SimulationConfig;

std::vector<float> linspace(float a, float b, int n) {
    std::vector<float> v;
    for (int i = 0; i < n; ++i) {
        v.push_back(a + (b - a) * static_cast<float>(i) / static_cast<float>(n - 1));
    }
    return v;
}

struct Scene {
    float half_width_m; // the square around the source that holds grids and receivers
    int n_elev, n_azim; // fan
    int rx, ry, rz;     // receiver grid
    float step_m;
};

// A shallow sea over a ridge: sound speed with a surface duct and a horizontal gradient, a
// bottom rising towards +x with a bump, an acoustic bottom, two frequencies, elevations
// -20..20 degrees and azimuths all round.
SimulationConfig make_scene(const Scene& s) {
    SimulationConfig c;
    const float w = s.half_width_m;
    c.ssp.x_ssp_m = linspace(-w, w, 11);
    c.ssp.y_ssp_m = linspace(-w, w, 11);
    c.ssp.z_ssp_m = linspace(0.0f, 300.0f, 16);
    for (float x : c.ssp.x_ssp_m)
        for (float y : c.ssp.y_ssp_m)
            for (float z : c.ssp.z_ssp_m) {
                const float duct =
                    8.0f * std::exp(-((z - 60.0f) / 40.0f) * ((z - 60.0f) / 40.0f));
                c.ssp.c_m_s.push_back(1490.0f + 0.05f * z - duct + 2e-4f * x - 1e-4f * y);
            }
    c.bathymetry.x_bty_m = linspace(-w, w, 21);
    c.bathymetry.y_bty_m = linspace(-w, w, 21);
    for (float x : c.bathymetry.x_bty_m)
        for (float y : c.bathymetry.y_bty_m) {
            const float bump = 30.0f * std::exp(-(x * x + y * y) / (0.1f * w * w));
            c.bathymetry.z_bty_m.push_back(250.0f - 40.0f * x / w - bump);
        }
    c.bathymetry.bottom_model = kelp::input::Acoustic{1650.0f, 1.7f, 0.4f};
    c.source.position = {0.0f, 0.0f, 50.0f};
    c.source.freq_hz = {100.0f, 250.0f};
    c.source.launch_elev_deg = linspace(-20.0f, 20.0f, s.n_elev);
    for (int a = 0; a < s.n_azim; ++a) {
        c.source.launch_azim_deg.push_back(360.0f * static_cast<float>(a) /
                                           static_cast<float>(s.n_azim));
    }
    c.receivers.config_type = "grid";
    c.receivers.x_rcvr_m = linspace(-0.9f * w, 0.9f * w, s.rx);
    c.receivers.y_rcvr_m = linspace(-0.9f * w, 0.9f * w, s.ry);
    c.receivers.z_rcvr_m = linspace(10.0f, 200.0f, s.rz);
    c.beam.step_m = s.step_m;
    c.beam.max_steps = 100000;
    c.beam.max_range_m = w;
    return c;
}

const Scene kSmall{.half_width_m = 2000.0f,
                   .n_elev = 11,
                   .n_azim = 24,
                   .rx = 21,
                   .ry = 21,
                   .rz = 5,
                   .step_m = 20.0f};
const Scene kMedium{.half_width_m = 5000.0f,
                    .n_elev = 21,
                    .n_azim = 48,
                    .rx = 41,
                    .ry = 41,
                    .rz = 10,
                    .step_m = 25.0f};
const Scene kLarge{.half_width_m = 10000.0f,
                   .n_elev = 31,
                   .n_azim = 96,
                   .rx = 81,
                   .ry = 81,
                   .rz = 12,
                   .step_m = 25.0f};

void BM_Core(benchmark::State& state, const Scene& scene) {
    const SimulationConfig config = make_scene(scene);
    kelp::engine::CoreOptions options;
    options.max_threads = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        kelp::engine::SimulationResult r = kelp::engine::core(config, options);
        benchmark::DoNotOptimize(r.field.pressure.data.data());
    }
    const double beams = static_cast<double>(scene.n_elev) * scene.n_azim;
    const double receivers = static_cast<double>(scene.rx) * scene.ry * scene.rz;
    state.counters["beams/s"] =
        benchmark::Counter(beams, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["rcvr_evals/s"] =
        benchmark::Counter(beams * receivers, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(BM_Core, small, kSmall)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Core, medium, kMedium)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Core, large, kLarge)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

} // namespace

BENCHMARK_MAIN();
