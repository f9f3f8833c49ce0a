// Receiver evaluations per second of the Gaussian-beam summation on one core, and where the
// candidate receivers of the segment search are rejected. A receiver evaluation is one
// candidate that passes every test (arrival update plus all frequencies).
//
// The workload is a fan of straight beams (constant 1500 m/s, the dynamic-ray solution in
// closed form) from 250 m depth over a receiver grid 400 m wide, 10 km long and 500 m deep,
// or over a list of receivers along three lines.

#include "influence/influence.hpp"
#include "input/config.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

using kelp::RayState;
using kelp::influence::InfluenceStats;

constexpr float kC = 1500.0f;
constexpr float kDeg = 0.017453292f;

std::vector<float> axis(float first, float step, int n) {
    std::vector<float> v;
    for (int i = 0; i < n; ++i)
        v.push_back(first + step * static_cast<float>(i));
    return v;
}

struct Fan {
    std::vector<std::vector<RayState>> rays;
    std::vector<float> elev;
    float spacing = 1.0f * kDeg;
};

// Beams from (0, 0, 250 m), azimuth -5..5 degrees and elevation -10..10 degrees (1 degree
// apart), 200 steps of 50 m.
Fan make_fan() {
    Fan fan;
    for (int ia = -5; ia <= 5; ++ia) {
        for (int ie = -10; ie <= 10; ++ie) {
            const float az = static_cast<float>(ia) * fan.spacing;
            const float el = static_cast<float>(ie) * fan.spacing;
            const float ux = std::sin(az) * std::cos(el), uy = std::cos(az) * std::cos(el),
                        uz = std::sin(el);
            std::vector<RayState> ray;
            for (int i = 0; i <= 200; ++i) {
                const float s = 50.0f * static_cast<float>(i);
                RayState st;
                st.position = {s * ux, s * uy, 250.0f + s * uz};
                st.slowness = {ux / kC, uy / kC, uz / kC};
                st.travel_time = s / kC;
                st.q_tilde = {kC * s, 0.0f};
                st.q_hat = {0.0f, kC * s};
                st.sound_speed = kC;
                ray.push_back(st);
            }
            fan.rays.push_back(std::move(ray));
            fan.elev.push_back(el);
        }
    }
    return fan;
}

kelp::input::SimulationConfig make_config(bool array_mode, int n_freq) {
    kelp::input::SimulationConfig cfg;
    cfg.source.freq_hz.assign(static_cast<std::size_t>(n_freq), 100.0f);
    if (array_mode) {
        // 3 lines of 1000 receivers along the fan's axis at 100, 250 and 400 m depth.
        cfg.receivers.config_type = "array";
        cfg.receivers.layout = kelp::input::ReceiverLayout::Array;
        for (float z : {100.0f, 250.0f, 400.0f}) {
            for (int i = 0; i < 1000; ++i) {
                cfg.receivers.x_rcvr_m.push_back(0.0f);
                cfg.receivers.y_rcvr_m.push_back(10.0f * static_cast<float>(i));
                cfg.receivers.z_rcvr_m.push_back(z);
            }
        }
    } else {
        cfg.receivers.config_type = "grid";
        cfg.receivers.x_rcvr_m = axis(-200.0f, 10.0f, 41);
        cfg.receivers.y_rcvr_m = axis(0.0f, 50.0f, 201);
        cfg.receivers.z_rcvr_m = axis(0.0f, 10.0f, 51);
    }
    return cfg;
}

// One call per beam, each preparing the receivers anew (the single-call entry).
void run_fan(const Fan& fan, std::vector<RayState>& scratch,
             kelp::influence::PressureField& field, const kelp::input::SimulationConfig& cfg,
             const kelp::bty::BTYfield& bty, const std::vector<float>& omegas,
             InfluenceStats* stats) {
    for (std::size_t b = 0; b < fan.rays.size(); ++b) {
        scratch.assign(fan.rays[b].begin(), fan.rays[b].end());
        kelp::influence::gaussian_beam_influence(scratch, field, cfg, bty, omegas, fan.elev[b],
                                                 fan.spacing, fan.spacing, stats);
    }
}

void BM_BeamInfluence(benchmark::State& state) {
    const bool array_mode = state.range(0) != 0;
    const int n_freq = static_cast<int>(state.range(1));
    const Fan fan = make_fan();
    const auto cfg = make_config(array_mode, n_freq);
    std::vector<float> omegas;
    for (int k = 0; k < n_freq; ++k)
        omegas.push_back(6.2831855f * (100.0f + 50.0f * k));
    const kelp::bty::BTYfield bty{};
    std::vector<RayState> scratch;
    kelp::influence::PressureField field = kelp::influence::init_pressure_field(cfg);

    InfluenceStats stats;
    run_fan(fan, scratch, field, cfg, bty, omegas, &stats);
    for (auto _ : state) {
        run_fan(fan, scratch, field, cfg, bty, omegas, nullptr);
        benchmark::DoNotOptimize(field.pressure.data.data());
        benchmark::ClobberMemory();
    }
    const auto cand = static_cast<double>(stats.candidates);
    state.counters["evals/s"] = benchmark::Counter(
        static_cast<double>(stats.evaluated), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["evals/beam"] = static_cast<double>(stats.evaluated) / fan.rays.size();
    state.counters["cand/beam"] = cand / fan.rays.size();
    state.counters["rej_proj"] = static_cast<double>(stats.rejected_projection) / cand;
    state.counters["rej_radius"] = static_cast<double>(stats.rejected_radius) / cand;
    state.counters["rej_det"] = static_cast<double>(stats.rejected_determinant) / cand;
    state.counters["rej_window"] = static_cast<double>(stats.rejected_window) / cand;
}

BENCHMARK(BM_BeamInfluence)
    ->ArgNames({"array", "freqs"})
    ->Args({0, 1})
    ->Args({0, 8})
    ->Args({1, 1})
    ->Args({1, 8})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
