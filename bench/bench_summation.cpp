// The beam summation alone on one core, on the rays of the isovelocity shallow-water case of
// bench_summation.py (100 m of 1500 m/s water over an acoustic half-space, 9,191 beams, 10 m
// steps to 1700 m): receivers as a polar array of 10,201 points at 30 m depth, or as a
// 101 x 101 grid at 30 m, at 1 and 8 frequencies. The rays are traced once before timing.
//
// With array = 2, the large case below, on one beam in 50; with array = 3, the grid under the
// ten times denser fan (321 x 287 beams), on one beam in 10. cell_x4 is four times the scale
// of the array receivers' cells (4: the default, twice the mean spacing). loss_db, when not 0,
// stops beams at that bottom loss (beam.max_bottom_loss_db), as the fast runs do.
//
// Reported: receiver evaluations per second (candidates that pass every test and get the
// Gaussian weight, the arrival update and all frequencies), evaluations and visited
// candidates per beam, the fraction of visited candidates that reach the Gaussian weight, and
// trace_s, the time taken to trace the same beams (untimed by the loop), for comparison, with
// trace_ns/state its cost per state and tracer_ns/state that of the tracer alone (one list
// reused from ray to ray).

#include "bty/bty.hpp"
#include "influence/influence.hpp"
#include "input/config.hpp"
#include "rays/rays.hpp"
#include "ssp/ssp.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

using kelp::RayState;
using kelp::influence::InfluenceStats;

constexpr float kDeg = 0.017453292f;

// The large case of bench_summation.py: 43,681 beams over 1.44 M polar receivers to 30 km at
// 30 m depth, 25 Hz, 50 m steps, over a bottom rising from 200 m to 40 m.
kelp::input::SimulationConfig make_large_case() {
    kelp::input::SimulationConfig c;
    const float half = 31000.0f;
    c.ssp.x_ssp_m = c.ssp.y_ssp_m = {-half, half};
    c.ssp.z_ssp_m = {0.0f, 250.0f};
    c.ssp.c_m_s.assign(8, 1500.0f);
    c.bathymetry.x_bty_m = c.bathymetry.y_bty_m = {-half, half};
    c.bathymetry.z_bty_m = {200.0f, 200.0f, 40.0f, 40.0f};
    c.bathymetry.bottom_model = kelp::input::Acoustic{1600.0f, 1.5f, std::nullopt};
    c.source.position = {0.0f, 0.0f, 100.0f};
    c.source.freq_hz = {25.0f};
    for (int i = 0; i < 121; ++i)
        c.source.launch_elev_deg.push_back(-80.0f + 160.0f * static_cast<float>(i) / 120.0f);
    for (int k = 0; k < 361; ++k)
        c.source.launch_azim_deg.push_back(360.0f * static_cast<float>(k) / 361.0f);
    c.receivers.config_type = "array";
    c.receivers.layout = kelp::input::ReceiverLayout::Array;
    for (int b = 0; b < 1200; ++b) {
        const double bearing = 2.0 * M_PI * b / 1200.0;
        for (int i = 1; i <= 1200; ++i) {
            c.receivers.x_rcvr_m.push_back(static_cast<float>(25.0 * i * std::sin(bearing)));
            c.receivers.y_rcvr_m.push_back(static_cast<float>(25.0 * i * std::cos(bearing)));
            c.receivers.z_rcvr_m.push_back(30.0f);
        }
    }
    c.beam.step_m = 50.0f;
    c.beam.max_steps = 100000;
    c.beam.max_range_m = 30000.0f;
    return c;
}

kelp::input::SimulationConfig make_case(bool array_mode, int n_freq, int n_elev = 101,
                                        int n_azim = 91) {
    kelp::input::SimulationConfig c;
    c.ssp.x_ssp_m = {-2500.0f, 2500.0f};
    c.ssp.y_ssp_m = {-2500.0f, 2500.0f};
    c.ssp.z_ssp_m = {0.0f, 200.0f};
    c.ssp.c_m_s.assign(8, 1500.0f);
    c.bathymetry.x_bty_m = {-2500.0f, 2500.0f};
    c.bathymetry.y_bty_m = {-2500.0f, 2500.0f};
    c.bathymetry.z_bty_m.assign(4, 100.0f);
    c.bathymetry.bottom_model = kelp::input::Acoustic{1600.0f, 1.5f, std::nullopt};
    c.source.position = {0.0f, 0.0f, 50.0f};
    for (int k = 0; k < n_freq; ++k)
        c.source.freq_hz.push_back(100.0f + 12.5f * static_cast<float>(k));
    for (int i = 0; i < n_elev; ++i)
        c.source.launch_elev_deg.push_back(-80.0f + 160.0f * static_cast<float>(i) /
                                                        static_cast<float>(n_elev - 1));
    for (int k = 0; k < n_azim; ++k)
        c.source.launch_azim_deg.push_back(360.0f * static_cast<float>(k) /
                                           static_cast<float>(n_azim));
    if (array_mode) {
        c.receivers.config_type = "array";
        c.receivers.layout = kelp::input::ReceiverLayout::Array;
        for (int b = 0; b < 101; ++b) {
            const double bearing = 2.0 * M_PI * b / 101.0;
            for (int i = 0; i < 101; ++i) {
                const double r = 10.0 * i;
                c.receivers.x_rcvr_m.push_back(static_cast<float>(r * std::sin(bearing)));
                c.receivers.y_rcvr_m.push_back(static_cast<float>(r * std::cos(bearing)));
                c.receivers.z_rcvr_m.push_back(30.0f);
            }
        }
    } else {
        c.receivers.config_type = "grid";
        for (int i = 0; i < 101; ++i)
            c.receivers.x_rcvr_m.push_back(-1000.0f + 20.0f * static_cast<float>(i));
        c.receivers.y_rcvr_m = c.receivers.x_rcvr_m;
        c.receivers.z_rcvr_m = {30.0f};
    }
    c.beam.step_m = 10.0f;
    c.beam.max_steps = 100000;
    c.beam.max_range_m = 1700.0f;
    return c;
}

struct TracedFan {
    std::vector<std::vector<RayState>> rays;
    std::vector<float> elevations;
};

// Every n-th beam only: KELP_BENCH_STRIDE=n (for instruction counts under callgrind), else
// `default_stride`.
TracedFan trace_fan(const kelp::input::SimulationConfig& c, const kelp::ssp::SSPFields& ssp,
                    const kelp::bty::BTYfield& bty, long default_stride) {
    TracedFan fan;
    const char* stride_text = std::getenv("KELP_BENCH_STRIDE");
    const long stride = stride_text ? std::max(1L, std::atol(stride_text)) : default_stride;
    long beam = 0;
    for (const float az : c.source.launch_azim_deg) {
        for (const float el : c.source.launch_elev_deg) {
            if (beam++ % stride != 0) continue;
            fan.rays.push_back(kelp::rays::trace_ray(c, ssp, bty, az * kDeg, el * kDeg));
            fan.elevations.push_back(el * kDeg);
        }
    }
    return fan;
}

void BM_Summation(benchmark::State& state) {
    // array: 0 grid, 1 array, 2 the large case, 3 the grid under the ten times denser fan.
    const long kind = state.range(0);
    const int n_freq = static_cast<int>(state.range(1));
    const float cell_scale = static_cast<float>(state.range(2)) / 4.0f;
    kelp::input::SimulationConfig c =
        kind == 2
            ? make_large_case()
            : (kind == 3 ? make_case(false, n_freq, 321, 287) : make_case(kind == 1, n_freq));
    if (state.range(3) > 0) c.beam.max_bottom_loss_db = static_cast<float>(state.range(3));
    const kelp::ssp::SSPFields ssp = kelp::ssp::init_ssp(c);
    const kelp::bty::BTYfield bty = kelp::bty::init_bty(c);
    // The large case keeps one beam in 50 (its 43,681 traced rays would hold 6 GB), the dense
    // fan one in 10.
    const auto trace_start = std::chrono::steady_clock::now();
    const TracedFan fan = trace_fan(c, ssp, bty, kind == 2 ? 50 : (kind == 3 ? 10 : 1));
    const std::chrono::duration<double> trace_time =
        std::chrono::steady_clock::now() - trace_start;
    std::vector<float> omegas;
    for (const float f : c.source.freq_hz)
        omegas.push_back(6.2831855f * f);
    const float delev =
        std::fabs(c.source.launch_elev_deg[1] - c.source.launch_elev_deg[0]) * kDeg;
    const float dazim = std::fabs(c.source.launch_azim_deg[1] * kDeg);
    kelp::influence::PressureField field = kelp::influence::init_pressure_field(c);
    const kelp::influence::ReceiverSet receivers = kelp::influence::prepare_receivers(
        c.receivers, kelp::influence::ReceiverSearch::Indexed, cell_scale);
    // KELP_SIMD (scalar, sse2, avx2) picks the kernel's lanes, as for a run.
    kelp::influence::InfluenceWorkspace work;
    const char* simd = std::getenv("KELP_SIMD");
    if (const auto lanes = kelp::influence::choose_lane_width(simd ? simd : "")) {
        work.lanes = *lanes;
    }
    std::vector<RayState> ray;

    InfluenceStats stats;
    for (std::size_t b = 0; b < fan.rays.size(); ++b) {
        ray = fan.rays[b];
        kelp::influence::gaussian_beam_influence(ray, field, receivers, bty, omegas,
                                                 {fan.elevations[b], dazim, delev, b}, work,
                                                 &stats);
    }
    for (auto _ : state) {
        for (std::size_t b = 0; b < fan.rays.size(); ++b) {
            ray.assign(fan.rays[b].begin(), fan.rays[b].end());
            kelp::influence::gaussian_beam_influence(
                ray, field, receivers, bty, omegas, {fan.elevations[b], dazim, delev, b}, work);
        }
        benchmark::DoNotOptimize(field.pressure.data.data());
        benchmark::ClobberMemory();
    }
    const double beams = static_cast<double>(fan.rays.size());
    const auto evaluated = static_cast<double>(stats.evaluated);
    state.counters["evals/s"] =
        benchmark::Counter(evaluated, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["evals/beam"] = evaluated / beams;
    // Tracing the same beams (once, outside the timed loop), for the share of a whole run.
    state.counters["trace_s"] = trace_time.count();
    double states = 0.0;
    for (const std::vector<RayState>& r : fan.rays)
        states += static_cast<double>(r.size());
    state.counters["trace_ns/state"] = 1e9 * trace_time.count() / states;
    // The tracer alone: the same beams into one list reused from ray to ray, as a run's
    // workers trace them (the kept fan above also pays for fresh memory per ray).
    {
        std::vector<RayState> scratch;
        const long stride =
            static_cast<long>(c.source.launch_azim_deg.size() *
                              c.source.launch_elev_deg.size() / fan.rays.size());
        const auto start = std::chrono::steady_clock::now();
        double traced = 0.0;
        long beam = 0;
        for (const float az : c.source.launch_azim_deg) {
            for (const float el : c.source.launch_elev_deg) {
                if (beam++ % stride != 0) continue;
                kelp::rays::trace_ray(c, ssp, bty, az * kDeg, el * kDeg, scratch);
                traced += static_cast<double>(scratch.size());
            }
        }
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        state.counters["tracer_ns/state"] = 1e9 * t.count() / traced;
    }
    state.counters["visited/beam"] = static_cast<double>(stats.candidates) / beams;
    const auto visited = static_cast<double>(stats.candidates);
    state.counters["reach_gauss"] = evaluated / visited;
    state.counters["rej_proj"] = static_cast<double>(stats.rejected_projection) / visited;
    state.counters["rej_radius"] = static_cast<double>(stats.rejected_radius) / visited;
    state.counters["rej_window"] = static_cast<double>(stats.rejected_window) / visited;
}

BENCHMARK(BM_Summation)
    ->ArgNames({"array", "freqs", "cell_x4", "loss_db"})
    ->Args({1, 1, 4, 0})
    ->Args({1, 8, 4, 0})
    ->Args({0, 1, 4, 0})
    ->Args({0, 8, 4, 0})
    ->Args({0, 64, 4, 0})
    ->Args({1, 1, 4, 46})
    ->Args({0, 1, 4, 46})
    ->Args({0, 8, 4, 46})
    ->Args({0, 64, 4, 46})
    ->Args({2, 1, 4, 46})
    ->Args({3, 1, 4, 0})
    ->Args({1, 1, 2, 0})
    ->Args({1, 1, 8, 0})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
