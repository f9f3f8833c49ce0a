// Cost of the environment lookups as the ray marcher sees them: one evaluation per position
// along a ray-like path (a slanted line across a 100 x 100 x 100 sound-speed grid that
// oscillates in depth, with steps far smaller than a cell, so the cursors walk both ways).

#include "bty/bty.hpp"
#include "ssp/ssp.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <vector>

namespace {

using namespace kelp;

constexpr std::size_t kNodes = 100;
constexpr std::size_t kPathPoints = 1 << 16;

std::vector<float> uniform_axis(std::size_t n, float step) {
    std::vector<float> g(n);
    for (std::size_t i = 0; i < n; ++i)
        g[i] = step * static_cast<float>(i);
    return g;
}

input::SimulationConfig make_config() {
    input::SimulationConfig cfg;
    cfg.ssp.x_ssp_m = uniform_axis(kNodes, 1000.0f);
    cfg.ssp.y_ssp_m = uniform_axis(kNodes, 1000.0f);
    cfg.ssp.z_ssp_m = uniform_axis(kNodes, 50.0f);
    cfg.ssp.c_m_s.reserve(kNodes * kNodes * kNodes);
    for (float x : cfg.ssp.x_ssp_m)
        for (float y : cfg.ssp.y_ssp_m)
            for (float z : cfg.ssp.z_ssp_m)
                cfg.ssp.c_m_s.push_back(1500.0f + 0.016f * std::fabs(z - 1300.0f) + 1e-5f * x -
                                        2e-5f * y + 1e-3f * std::sin(x * y * 1e-8f));
    cfg.bathymetry.x_bty_m = uniform_axis(kNodes, 1000.0f);
    cfg.bathymetry.y_bty_m = uniform_axis(kNodes, 1000.0f);
    for (float x : cfg.bathymetry.x_bty_m)
        for (float y : cfg.bathymetry.y_bty_m)
            cfg.bathymetry.z_bty_m.push_back(4000.0f + 0.005f * x +
                                             100.0f * std::sin(y * 1e-4f));
    return cfg;
}

// From near one corner to near the opposite one, 98 km x 97 km horizontally (about 2 m per
// point), turning between 100 m and 4800 m depth five times like a ducted ray.
std::vector<Vec3> ray_path() {
    std::vector<Vec3> path(kPathPoints);
    for (std::size_t i = 0; i < kPathPoints; ++i) {
        const float s = static_cast<float>(i) / static_cast<float>(kPathPoints - 1);
        path[i] = {500.0f + 98000.0f * s, 800.0f + 97000.0f * s,
                   2450.0f - 2350.0f * std::cos(31.415927f * s)};
    }
    return path;
}

struct Environment {
    input::SimulationConfig cfg = make_config();
    ssp::SSPFields ssp = ssp::init_ssp(cfg);
    bty::BTYfield bty = bty::init_bty(cfg);
    std::vector<Vec3> path = ray_path();
};

const Environment& environment() {
    static const Environment env;
    return env;
}

// One full ten-value sample per iteration.
void BM_InterpolateAll(benchmark::State& state) {
    const Environment& env = environment();
    ssp::SSPCursor cur = ssp::init_ssp_cursor(env.path[0], env.ssp);
    std::size_t i = 0;
    for (auto _ : state) {
        ssp::SSPSample s = ssp::interpolate_all_with_cursor(env.path[i], env.ssp, cur);
        benchmark::DoNotOptimize(s);
        if (++i == kPathPoints) i = 0;
    }
}
BENCHMARK(BM_InterpolateAll);

void BM_InterpolateC(benchmark::State& state) {
    const Environment& env = environment();
    ssp::SSPCursor cur = ssp::init_ssp_cursor(env.path[0], env.ssp);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ssp::interpolate_c_with_cursor(env.path[i], env.ssp, cur));
        if (++i == kPathPoints) i = 0;
    }
}
BENCHMARK(BM_InterpolateC);

void BM_ReduceStepToSspInterfaces(benchmark::State& state) {
    const Environment& env = environment();
    ssp::SSPCursor cur = ssp::init_ssp_cursor(env.path[0], env.ssp);
    const Vec3 d{0.7f, 0.69f, 0.18f};
    std::size_t i = 0;
    for (auto _ : state) {
        ssp::update_ssp_cursor(env.path[i], env.ssp, cur);
        benchmark::DoNotOptimize(
            ssp::reduce_step_to_ssp_interfaces(env.path[i], d, env.ssp, cur, 50.0f));
        if (++i == kPathPoints) i = 0;
    }
}
BENCHMARK(BM_ReduceStepToSspInterfaces);

// The bottom lookups of one step: walk the cursor, then depth and normal.
void BM_BottomDepthAndNormal(benchmark::State& state) {
    const Environment& env = environment();
    bty::BTYCursor cur = bty::init_bty_cursor({env.path[0].x, env.path[0].y}, env.bty);
    std::size_t i = 0;
    for (auto _ : state) {
        const Vec2 p{env.path[i].x, env.path[i].y};
        bty::update_bty_cursor(p, env.bty, cur);
        benchmark::DoNotOptimize(bty::interpolate_bty_from_cursor(p, env.bty, cur));
        benchmark::DoNotOptimize(bty::bottom_normal_from_cursor(p, env.bty, cur));
        if (++i == kPathPoints) i = 0;
    }
}
BENCHMARK(BM_BottomDepthAndNormal);

void BM_InitSsp(benchmark::State& state) {
    const Environment& env = environment();
    for (auto _ : state)
        benchmark::DoNotOptimize(ssp::init_ssp(env.cfg));
    state.SetLabel("100 x 100 x 100");
}
BENCHMARK(BM_InitSsp)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
