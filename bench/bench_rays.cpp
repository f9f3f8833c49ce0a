// Ray steps per second on one core through a 100 x 100 x 100 gridded sound-speed field over a
// gridded, sloping and undulating bottom, for the Euler and the midpoint integrator.
//
// Each iteration traces one ray of a small fan and counts its steps; the reported
// "steps_per_s" is the throughput of the whole marcher (derivatives, step shortening, cursor
// walks, reflections and appending), the list's reservation and growth included; the
// "Charged" variants also charge the list to a memory budget as the driver does.

#include "core/constants.hpp"

#include "rays/rays.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <vector>

namespace {

using namespace kelp;

input::SimulationConfig make_config(input::IntegrationMethod method) {
    input::SimulationConfig cfg;
    constexpr int n = 100;
    const float extent_m = 20000.0f;
    const float depth_m = 1000.0f;
    for (int i = 0; i < n; ++i) {
        const float f = static_cast<float>(i) / static_cast<float>(n - 1);
        cfg.ssp.x_ssp_m.push_back(-extent_m + 2.0f * extent_m * f);
        cfg.ssp.y_ssp_m.push_back(-extent_m + 2.0f * extent_m * f);
        cfg.ssp.z_ssp_m.push_back(depth_m * f);
    }
    // A Munk-like sound channel with a gentle horizontal modulation, so that every derivative
    // field is non-zero and rays refract.
    for (float x : cfg.ssp.x_ssp_m) {
        for (float y : cfg.ssp.y_ssp_m) {
            for (float z : cfg.ssp.z_ssp_m) {
                const float eta = 2.0f * (z - 300.0f) / 1300.0f;
                const float munk = 1500.0f * (1.0f + 0.00737f * (eta - 1.0f + std::exp(-eta)));
                cfg.ssp.c_m_s.push_back(munk +
                                        2.0f * std::sin(x * 3e-4f) * std::cos(y * 2e-4f));
            }
        }
    }
    constexpr int nb = 100;
    for (int i = 0; i < nb; ++i) {
        const float f = static_cast<float>(i) / static_cast<float>(nb - 1);
        cfg.bathymetry.x_bty_m.push_back(-extent_m + 2.0f * extent_m * f);
        cfg.bathymetry.y_bty_m.push_back(-extent_m + 2.0f * extent_m * f);
    }
    for (float x : cfg.bathymetry.x_bty_m) {
        for (float y : cfg.bathymetry.y_bty_m) {
            cfg.bathymetry.z_bty_m.push_back(900.0f + 0.002f * x + 40.0f * std::sin(y * 5e-4f));
        }
    }
    cfg.source.position = {0.0f, 0.0f, 300.0f};
    cfg.beam.step_m = 20.0f;
    cfg.beam.max_steps = 5000;
    cfg.beam.max_range_m = 15000.0f;
    cfg.beam.integration_method = method;
    return cfg;
}

void trace_fan(benchmark::State& state, input::IntegrationMethod method, bool charged) {
    const input::SimulationConfig cfg = make_config(method);
    const ssp::SSPFields ssp = ssp::init_ssp(cfg);
    const bty::BTYfield bty = bty::init_bty(cfg);
    const float elevations[] = {-40.0f, -20.0f, -8.0f, -2.0f, 0.0f, 3.0f, 10.0f, 25.0f, 45.0f};
    const float azimuths[] = {0.0f, 37.0f, 111.0f, 200.0f, 305.0f};

    GrowthBudget budget; // as the driver charges a run's rays
    std::size_t steps = 0;
    std::size_t k = 0;
    for (auto _ : state) {
        const float el = elevations[k % std::size(elevations)] * kDegToRad;
        const float az =
            azimuths[(k / std::size(elevations)) % std::size(azimuths)] * kDegToRad;
        ++k;
        const std::vector<RayState> ray =
            rays::trace_ray(cfg, ssp, bty, az, el, charged ? &budget : nullptr);
        steps += ray.size() - 1;
        if (charged) rays::release_ray_storage(budget, ray);
        benchmark::DoNotOptimize(ray.back().travel_time);
    }
    state.counters["steps_per_s"] =
        benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kIsRate);
    state.counters["steps_per_ray"] =
        static_cast<double>(steps) / static_cast<double>(state.iterations());
}

void BM_TraceEuler(benchmark::State& state) {
    trace_fan(state, input::IntegrationMethod::Euler, false);
}
void BM_TraceMidpoint(benchmark::State& state) {
    trace_fan(state, input::IntegrationMethod::Rk2, false);
}
// The same with the list charged to a run's memory budget as it grows.
void BM_TraceEulerCharged(benchmark::State& state) {
    trace_fan(state, input::IntegrationMethod::Euler, true);
}
void BM_TraceMidpointCharged(benchmark::State& state) {
    trace_fan(state, input::IntegrationMethod::Rk2, true);
}

BENCHMARK(BM_TraceEuler)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceMidpoint)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceEulerCharged)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceMidpointCharged)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
