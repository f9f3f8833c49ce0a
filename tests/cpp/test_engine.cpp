#include "test_names.hpp"

#include "bty/bty.hpp"
#include "core/constants.hpp"
#include "core/fatal.hpp"
#include "engine/engine.hpp"
#include "engine/progress.hpp"
#include "rays/rays.hpp"
#include "ssp/ssp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kelp::engine {
namespace {

std::vector<float> linspace(float a, float b, int n) {
    std::vector<float> v;
    for (int i = 0; i < n; ++i)
        v.push_back(a + (b - a) * static_cast<float>(i) / (n - 1));
    return v;
}

// A shallow 3-D channel: speed rising with depth and slightly with x, a sloping acoustic
// bottom, a source at 40 m and a receiver grid around it, so rays bend, hit both
// boundaries and reach many receivers from several beams.
input::SimulationConfig make_config(std::vector<float> elev_deg, std::vector<float> azim_deg) {
    input::SimulationConfig c;
    c.ssp.x_ssp_m = {-3000.0f, 0.0f, 3000.0f};
    c.ssp.y_ssp_m = {-3000.0f, 3000.0f};
    c.ssp.z_ssp_m = {0.0f, 50.0f, 100.0f, 200.0f};
    for (float x : c.ssp.x_ssp_m)
        for (float y : c.ssp.y_ssp_m)
            for (float z : c.ssp.z_ssp_m) {
                (void)y;
                c.ssp.c_m_s.push_back(1500.0f + 0.1f * z + 0.001f * x);
            }
    c.bathymetry.x_bty_m = {-3000.0f, 3000.0f};
    c.bathymetry.y_bty_m = {-3000.0f, 3000.0f};
    c.bathymetry.z_bty_m = {140.0f, 150.0f, 160.0f, 170.0f};
    c.bathymetry.bottom_model = input::Acoustic{1600.0f, 1.5f, 0.5f};
    c.source.position = {0.0f, 0.0f, 40.0f};
    c.source.freq_hz = {50.0f, 120.0f};
    c.source.launch_elev_deg = std::move(elev_deg);
    c.source.launch_azim_deg = std::move(azim_deg);
    c.receivers.config_type = "grid";
    c.receivers.x_rcvr_m = linspace(-1000.0f, 1000.0f, 9);
    c.receivers.y_rcvr_m = linspace(-1000.0f, 1000.0f, 9);
    c.receivers.z_rcvr_m = {20.0f, 60.0f, 100.0f};
    c.beam.step_m = 25.0f;
    c.beam.max_steps = 400;
    c.beam.max_range_m = 1500.0f;
    return c;
}

// 6 elevations x 4 azimuths = 24 beams: 2 chunks on one thread, 4 on two. The azimuths are
// not symmetric about any receiver line, so no two beams tie exactly in travel time.
input::SimulationConfig make_fan_config() {
    return make_config({-10.0f, -5.0f, 0.0f, 5.0f, 10.0f, 15.0f}, {0.0f, 30.0f, 65.0f, 100.0f});
}

SimulationResult run(const input::SimulationConfig& c, std::size_t threads) {
    CoreOptions options;
    options.max_threads = threads;
    return core(c, options);
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

bool same_bits(const Array4c& a, const Array4c& b) {
    return a.shape == b.shape &&
           std::memcmp(a.data.data(), b.data.data(), a.size() * sizeof(Complex32)) == 0;
}

std::string fatal_message(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "<no fatal error>";
}

// Sets an environment variable for one scope and restores the previous value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string read_all(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, f))
        s.append(buf, n);
    return s;
}

// ---------------------------------------------------------------------------------------------
// The fan, its spacings and its chunks.

TEST(BeamFan, IsAzimuthMajorInListOrder) {
    const float az[] = {0.0f, 90.0f * kDegToRad};
    const float el[] = {-10.0f * kDegToRad, 0.0f, 10.0f * kDegToRad};
    const std::vector<Beam> fan = build_beam_fan(az, el);
    ASSERT_EQ(fan.size(), 6u);
    for (std::size_t a = 0; a < 2; ++a) {
        for (std::size_t e = 0; e < 3; ++e) {
            EXPECT_EQ(fan[a * 3 + e].azimuth_rad, az[a]) << a << "," << e;
            EXPECT_EQ(fan[a * 3 + e].elevation_rad, el[e]) << a << "," << e;
        }
    }
    EXPECT_TRUE(build_beam_fan(az, {}).empty());
    EXPECT_TRUE(build_beam_fan({}, el).empty());
}

struct SpacingCase {
    const char* name;
    std::vector<float> degrees;
    float expected_rad;
};

class AngleSpacing : public ::testing::TestWithParam<SpacingCase> {};

TEST_P(AngleSpacing, UsesTheFirstTwoConvertedAnglesOrOneDegree) {
    std::vector<float> rad;
    for (float d : GetParam().degrees)
        rad.push_back(d * kDegToRad);
    EXPECT_EQ(angle_spacing(rad), GetParam().expected_rad);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, AngleSpacing,
    ::testing::Values(
        SpacingCase{"Empty", {}, 0.017453292f}, SpacingCase{"Single", {7.0f}, 0.017453292f},
        // The difference of the converted values in float, not 10 degrees converted.
        SpacingCase{"ThirdIgnored",
                    {-20.0f, -10.0f, 30.0f},
                    std::fabs(-10.0f * 0.017453292f - -20.0f * 0.017453292f)},
        SpacingCase{
            "Descending", {5.0f, 2.0f}, std::fabs(2.0f * 0.017453292f - 5.0f * 0.017453292f)},
        SpacingCase{"Repeated", {3.0f, 3.0f, 4.0f}, 0.0f}),
    [](const auto& info) { return info.param.name; });

struct ChunkCase {
    std::size_t n_beams, n_threads, chunk_size;
    std::vector<std::size_t> chunk_lengths;
};

class FanChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(FanChunks, CutsTheFanIntoAboutTwoConsecutiveRunsPerThread) {
    const ChunkCase& c = GetParam();
    EXPECT_EQ(fan_chunk_size(c.n_beams, c.n_threads), c.chunk_size);
    const std::vector<FanChunk> chunks = split_fan(c.n_beams, c.n_threads);
    ASSERT_EQ(chunks.size(), c.chunk_lengths.size());
    std::size_t next = 0;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        EXPECT_EQ(chunks[k].first, next) << k;
        EXPECT_EQ(chunks[k].last - chunks[k].first, c.chunk_lengths[k]) << k;
        next = chunks[k].last;
    }
    EXPECT_EQ(next, c.n_beams);
}

INSTANTIATE_TEST_SUITE_P(Engine, FanChunks,
                         ::testing::Values(ChunkCase{10, 4, 2, {2, 2, 2, 2, 2}},
                                           ChunkCase{7, 1, 4, {4, 3}}, ChunkCase{0, 4, 1, {}},
                                           ChunkCase{0, 1, 1, {}}, ChunkCase{1, 16, 1, {1}},
                                           ChunkCase{9, 2, 3, {3, 3, 3}},
                                           // A zero thread count counts as one thread.
                                           ChunkCase{5, 0, 3, {3, 2}}),
                         [](const auto& info) {
                             return std::to_string(info.param.n_beams) + "BeamsOn" +
                                    std::to_string(info.param.n_threads) + "Threads";
                         });

// ---------------------------------------------------------------------------------------------
// The thread cap.

struct CapCase {
    const char* text;
    std::optional<std::size_t> cap;
};

class ThreadCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(ThreadCap, AcceptsOnlyPositiveDecimalIntegers) {
    EXPECT_EQ(parse_thread_cap(GetParam().text), GetParam().cap) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Engine, ThreadCap,
                         ::testing::Values(CapCase{"1", 1}, CapCase{"4", 4}, CapCase{"016", 16},
                                           CapCase{"0", {}}, CapCase{"", {}}, CapCase{"-2", {}},
                                           CapCase{"+2", {}}, CapCase{" 2", {}},
                                           CapCase{"2 ", {}}, CapCase{"2.5", {}},
                                           CapCase{"two", {}},
                                           CapCase{"99999999999999999999999", {}}),
                         [](const auto& info) {
                             std::string name = "Text";
                             for (const char c : std::string_view(info.param.text))
                                 name += c == '-'   ? "Minus"
                                         : c == '+' ? "Plus"
                                         : c == ' ' ? "Space"
                                         : c == '.' ? "Point"
                                                    : std::string(1, c);
                             return std::string(info.param.text).empty() ? "Empty" : name;
                         });

TEST(ThreadCount, HonoursKelpNumThreadsAndIgnoresJunk) {
    EXPECT_EQ(parse_thread_cap(nullptr), std::nullopt);
    std::size_t pool = 0;
    {
        const ScopedEnv env("KELP_NUM_THREADS", nullptr);
        pool = thread_count();
    }
    EXPECT_GE(pool, 1u);
    {
        const ScopedEnv env("KELP_NUM_THREADS", "1");
        EXPECT_EQ(thread_count(), 1u);
    }
    {
        const ScopedEnv env("KELP_NUM_THREADS", "lots");
        EXPECT_EQ(thread_count(), pool);
    }
    {
        const ScopedEnv env("KELP_NUM_THREADS", "100000");
        EXPECT_EQ(thread_count(), pool);
    }
}

TEST(ThreadCount, CapRunsEveryBeamOnOneThreadAndEndsWithTheCall) {
    const input::SimulationConfig c = make_fan_config();
    std::size_t pool = 0;
    {
        const ScopedEnv env("KELP_NUM_THREADS", nullptr);
        pool = thread_count();
    }
    std::mutex m;
    std::set<std::thread::id> ids;
    CoreOptions options;
    options.before_beam = [&](std::size_t) {
        const std::lock_guard lock(m);
        ids.insert(std::this_thread::get_id());
    };
    {
        const ScopedEnv env("KELP_NUM_THREADS", "1");
        (void)core(c, options);
    }
    EXPECT_EQ(ids.size(), 1u);
    const ScopedEnv env("KELP_NUM_THREADS", nullptr);
    EXPECT_EQ(thread_count(), pool);
}

// ---------------------------------------------------------------------------------------------
// Whole runs.

TEST(Core, PathsFollowTheFanAndMatchTheTracedRays) {
    input::SimulationConfig c = make_config({-10.0f, 0.0f, 10.0f}, {0.0f, 90.0f});
    c.beam.store_ray_paths = true;
    const SimulationResult r = run(c, 2);
    ASSERT_TRUE(r.ray_paths.has_value());
    ASSERT_EQ(r.ray_paths->size(), 6u);

    const ssp::SSPFields ssp = ssp::init_ssp(c);
    const bty::BTYfield bty = bty::init_bty(c);
    const float az[] = {0.0f, 90.0f};
    const float el[] = {-10.0f, 0.0f, 10.0f};
    for (std::size_t b = 0; b < 6; ++b) {
        const std::vector<RayState> ray =
            rays::trace_ray(c, ssp, bty, az[b / 3] * kDegToRad, el[b % 3] * kDegToRad);
        const RayPath& path = (*r.ray_paths)[b];
        ASSERT_EQ(path.size(), ray.size()) << b;
        ASSERT_GE(path.size(), 2u);
        EXPECT_EQ(path[0], (std::array<float, 3>{0.0f, 0.0f, 40.0f})) << b;
        for (std::size_t i = 0; i < ray.size(); ++i) {
            const std::array<float, 3> p{ray[i].position.x, ray[i].position.y,
                                         ray[i].position.z};
            ASSERT_EQ(path[i], p) << "beam " << b << " state " << i;
        }
    }
    // Path 4 is azimuth 90 (towards +x), elevation 0: it leaves the source along +x.
    const RayPath& p4 = (*r.ray_paths)[4];
    EXPECT_GT(p4[1][0] - p4[0][0], 20.0f);
    EXPECT_NEAR(p4[1][1], 0.0f, 1e-3f);
    EXPECT_NEAR(p4[1][2], 40.0f, 0.1f);
}

TEST(Core, EmptyFanTracesNothingAndReturnsAFreshField) {
    for (int which = 0; which < 2; ++which) {
        input::SimulationConfig c =
            which == 0 ? make_config({}, {0.0f, 10.0f}) : make_config({0.0f}, {});
        c.beam.store_ray_paths = true;
        c.beam.show_progress = true;
        c.beam.atomic_progress_counter = true;
        bool traced = false;
        CoreOptions options;
        options.before_beam = [&](std::size_t) { traced = true; };
        ::testing::internal::CaptureStdout();
        const SimulationResult r = core(c, options);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_FALSE(traced);
        ASSERT_TRUE(r.ray_paths.has_value());
        EXPECT_TRUE(r.ray_paths->empty());
        EXPECT_EQ(r.field.pressure.shape, (std::array<std::size_t, 4>{2, 9, 9, 3}));
        for (const Complex32 p : r.field.pressure.data) {
            EXPECT_EQ(p.re, 0.0f);
            EXPECT_EQ(p.im, 0.0f);
        }
        for (const float d : r.field.delay_s.data)
            EXPECT_EQ(d, std::numeric_limits<float>::infinity());
        for (const float a : r.field.amplitude.data)
            EXPECT_EQ(a, 0.0f);
    }
}

// The independent reference: every beam into its own fresh field, merged one by one in
// launch order. Delays are minima and need no tolerance. Pressures are the same terms
// summed in another grouping: the error of a float sum of n terms is at most about
// n * eps * sum|terms|; with 24 beams and sum|terms| at most a few times the largest |p|,
// 1e-5 of the largest |p| bounds it with room to spare.
TEST(Core, MatchesABeamByBeamReferenceOnOneAndTwoThreads) {
    input::SimulationConfig c = make_fan_config();
    c.beam.store_ray_paths = true;
    const ssp::SSPFields ssp = ssp::init_ssp(c);
    const bty::BTYfield bty = bty::init_bty(c);
    const std::vector<float> omegas = {50.0f * kTwoPi, 120.0f * kTwoPi};
    const float delev = std::fabs(-5.0f * kDegToRad - -10.0f * kDegToRad);
    const float dazim = 30.0f * kDegToRad;
    influence::PressureField ref = influence::init_pressure_field(c);
    for (float az : c.source.launch_azim_deg) {
        for (float el : c.source.launch_elev_deg) {
            std::vector<RayState> ray =
                rays::trace_ray(c, ssp, bty, az * kDegToRad, el * kDegToRad);
            influence::PressureField one = influence::init_pressure_field(c);
            influence::gaussian_beam_influence(ray, one, c, bty, omegas, el * kDegToRad, dazim,
                                               delev);
            ref = influence::merge_pressure_fields(std::move(ref), std::move(one));
        }
    }
    std::size_t reached = 0;
    for (float d : ref.delay_s.data)
        reached += std::isfinite(d) ? 1 : 0;
    ASSERT_GT(reached, ref.delay_s.size() / 4) << "the scene must reach many receivers";
    float pmax = 0.0f;
    for (const Complex32 p : ref.pressure.data)
        pmax = std::max(pmax, std::hypot(p.re, p.im));
    ASSERT_GT(pmax, 0.0f);

    const SimulationResult one = run(c, 1);
    const SimulationResult two = run(c, 2);
    for (const SimulationResult* r : {&one, &two}) {
        EXPECT_TRUE(same_bits(r->field.delay_s.flat(), ref.delay_s.flat()));
        EXPECT_TRUE(same_bits(r->field.amplitude.flat(), ref.amplitude.flat()));
        ASSERT_EQ(r->field.pressure.size(), ref.pressure.size());
        for (std::size_t i = 0; i < ref.pressure.size(); ++i) {
            ASSERT_NEAR(r->field.pressure.data[i].re, ref.pressure.data[i].re, 1e-5f * pmax)
                << i;
            ASSERT_NEAR(r->field.pressure.data[i].im, ref.pressure.data[i].im, 1e-5f * pmax)
                << i;
        }
    }
    EXPECT_EQ(*one.ray_paths, *two.ray_paths);
}

// The fan is cut into blocks fixed by the fan alone and reduced in a tree fixed by their
// count: pressures, arrivals and paths are the same bits on 1, 2 and 3 threads and from run
// to run. (With 1,000 beams: 128 blocks of 8, the last of 4.)
TEST(Core, ResultsAreBitIdenticalForAnyThreadCount) {
    std::vector<float> azimuths;
    for (int a = 0; a < 100; ++a)
        azimuths.push_back(3.6f * static_cast<float>(a));
    input::SimulationConfig c = make_config(linspace(-40.0f, 50.0f, 10), azimuths);
    c.beam.store_ray_paths = true;
    EXPECT_EQ(fan_block_size(1000), 8u);
    const SimulationResult first = run(c, 1);
    for (std::size_t threads : {2u, 3u, 2u}) {
        const SimulationResult again = run(c, threads);
        EXPECT_TRUE(same_bits(again.field.pressure, first.field.pressure)) << threads;
        EXPECT_TRUE(same_bits(again.field.delay_s.flat(), first.field.delay_s.flat()));
        EXPECT_TRUE(same_bits(again.field.amplitude.flat(), first.field.amplitude.flat()));
        EXPECT_EQ(*again.ray_paths, *first.ray_paths);
    }
}

TEST(Core, BlocksDependOnTheFanAloneAndBoundTheLiveFields) {
    EXPECT_EQ(fan_block_size(0), 1u);
    EXPECT_EQ(fan_block_size(100), 1u);
    EXPECT_EQ(fan_block_size(129), 2u);
    EXPECT_EQ(fan_block_size(43681), 342u);
    // A value per level of the split tree per thread, never more than the blocks.
    EXPECT_EQ(live_partial_fields(1, 8), 1u);
    EXPECT_EQ(live_partial_fields(128, 2), 16u);
    EXPECT_EQ(live_partial_fields(128, 64), 128u);
    EXPECT_EQ(live_partial_fields(100, 1), 8u);
}

// The summation's lane width is the run's choice, made once; every width gives the same
// bits at a fixed thread count. A width the build or processor lacks is refused by name.
TEST(Core, EveryLaneWidthGivesTheSameBits) {
    input::SimulationConfig c = make_fan_config();
    c.beam.store_ray_paths = true;
    const auto run_with = [&](const std::string& lanes) {
        CoreOptions options;
        options.max_threads = 2;
        options.lanes = lanes;
        return core(c, options);
    };
    const SimulationResult scalar = run_with("scalar");
    for (const influence::LaneWidth width : influence::available_lane_widths()) {
        const std::string name = width == influence::LaneWidth::One    ? "scalar"
                                 : width == influence::LaneWidth::Four ? "sse2"
                                                                       : "avx2";
        const SimulationResult r = run_with(name);
        EXPECT_TRUE(same_bits(r.field.pressure, scalar.field.pressure)) << name;
        EXPECT_TRUE(same_bits(r.field.delay_s.flat(), scalar.field.delay_s.flat())) << name;
        EXPECT_TRUE(same_bits(r.field.amplitude.flat(), scalar.field.amplitude.flat())) << name;
        EXPECT_EQ(*r.ray_paths, *scalar.ray_paths) << name;
    }
    EXPECT_EQ(fatal_message([&] { (void)run_with("avx512"); }),
              "the run asks for the summation lanes \"avx512\", which this build and processor "
              "do not offer");
}

// A fan every 5 degrees of azimuth over a bottom sloping along y, in water and a receiver grid
// symmetric about x = 0: many beams reach a receiver, and some at exactly equal delays with
// different amplitudes. A single chunk applies the in-field rule alone; the earliest arrivals
// must be those bits however the fan is cut (1 and 2 threads, 3 and 7 chunks), the paths the
// same, and the pressures equal to float rounding of sums grouped differently (bound as in
// the beam-by-beam reference above, with 360 beams).
TEST(Core, ArrivalsDoNotDependOnTheChunking) {
    std::vector<float> azimuths;
    for (int a = 0; a < 360; a += 5)
        azimuths.push_back(static_cast<float>(a));
    input::SimulationConfig c = make_config({-10.0f, -5.0f, 0.0f, 5.0f, 10.0f}, azimuths);
    c.ssp.c_m_s.clear();
    for (float x : c.ssp.x_ssp_m)
        for (float y : c.ssp.y_ssp_m)
            for (float z : c.ssp.z_ssp_m) {
                (void)x;
                (void)y;
                c.ssp.c_m_s.push_back(1500.0f + 0.1f * z);
            }
    c.bathymetry.z_bty_m = {140.0f, 170.0f, 140.0f, 170.0f};
    c.receivers.x_rcvr_m = linspace(-1000.0f, 1000.0f, 31);
    c.receivers.y_rcvr_m = linspace(-1000.0f, 1000.0f, 31);
    c.receivers.z_rcvr_m = {30.0f, 90.0f};
    c.beam.store_ray_paths = true;

    CoreOptions single;
    single.max_threads = 1;
    single.chunk_count = 1;
    const SimulationResult ref = core(c, single);
    float pmax = 0.0f;
    for (const Complex32 p : ref.field.pressure.data)
        pmax = std::max(pmax, std::hypot(p.re, p.im));
    ASSERT_GT(pmax, 0.0f);

    struct Cut {
        std::size_t threads, chunks;
    };
    for (const Cut cut : {Cut{1, 0}, Cut{2, 0}, Cut{2, 3}, Cut{2, 7}}) {
        CoreOptions options;
        options.max_threads = cut.threads;
        options.chunk_count = cut.chunks;
        const SimulationResult r = core(c, options);
        const std::string what =
            std::to_string(cut.threads) + " threads, " + std::to_string(cut.chunks) + " chunks";
        EXPECT_TRUE(same_bits(r.field.delay_s.flat(), ref.field.delay_s.flat())) << what;
        EXPECT_TRUE(same_bits(r.field.amplitude.flat(), ref.field.amplitude.flat())) << what;
        EXPECT_EQ(*r.ray_paths, *ref.ray_paths) << what;
        for (std::size_t i = 0; i < ref.field.pressure.size(); ++i) {
            ASSERT_NEAR(r.field.pressure.data[i].re, ref.field.pressure.data[i].re,
                        1e-5f * pmax)
                << what << " " << i;
            ASSERT_NEAR(r.field.pressure.data[i].im, ref.field.pressure.data[i].im,
                        1e-5f * pmax)
                << what << " " << i;
        }
    }
}

// Consecutive beam ranges of a fan, each run on its own and merged in launch order, give the
// whole run's arrivals and paths bit for bit (every beam is sized by the whole fan's spacings
// and the merge rule is the per-beam rule), and its pressures up to the grouping of the sums
// (bound as in the beam-by-beam reference, 24 beams). The ranges cut through azimuths and
// through the fixed blocks; an empty range traces nothing.
TEST(Core, BeamRangesMergedInLaunchOrderGiveTheWholeRun) {
    input::SimulationConfig c = make_fan_config();
    c.beam.store_ray_paths = true;
    const SimulationResult whole = run(c, 2);
    float pmax = 0.0f;
    for (const Complex32 p : whole.field.pressure.data)
        pmax = std::max(pmax, std::hypot(p.re, p.im));
    std::optional<influence::PressureField> merged;
    std::vector<RayPath> paths;
    std::atomic<std::uint64_t> finished{0};
    for (const FanChunk range :
         {FanChunk{0, 5}, FanChunk{5, 5}, FanChunk{5, 17}, FanChunk{17, 24}}) {
        CoreOptions options;
        options.max_threads = 2;
        options.beam_range = range;
        options.beams_finished = &finished;
        std::set<std::size_t> traced;
        std::mutex mutex;
        options.before_beam = [&](std::size_t b) {
            const std::lock_guard lock(mutex);
            traced.insert(b);
        };
        SimulationResult part = core(c, options);
        EXPECT_EQ(traced.size(), range.last - range.first);
        if (!traced.empty()) {
            EXPECT_EQ(*traced.begin(), range.first);
        }
        ASSERT_EQ(part.ray_paths->size(), range.last - range.first);
        paths.insert(paths.end(), part.ray_paths->begin(), part.ray_paths->end());
        merged =
            merged ? influence::merge_pressure_fields(std::move(*merged), std::move(part.field))
                   : std::move(part.field);
    }
    EXPECT_EQ(finished.load(), 24u);
    EXPECT_EQ(paths, *whole.ray_paths);
    EXPECT_TRUE(same_bits(merged->delay_s.flat(), whole.field.delay_s.flat()));
    EXPECT_TRUE(same_bits(merged->amplitude.flat(), whole.field.amplitude.flat()));
    for (std::size_t i = 0; i < whole.field.pressure.size(); ++i) {
        ASSERT_NEAR(merged->pressure.data[i].re, whole.field.pressure.data[i].re, 1e-5f * pmax);
        ASSERT_NEAR(merged->pressure.data[i].im, whole.field.pressure.data[i].im, 1e-5f * pmax);
    }
    for (const FanChunk bad : {FanChunk{3, 2}, FanChunk{0, 25}}) {
        CoreOptions options;
        options.beam_range = bad;
        EXPECT_EQ(fatal_message([&] { (void)core(c, options); }),
                  "beams " + std::to_string(bad.first) + " to " + std::to_string(bad.last) +
                      " are not a range of the fan's 24 beams: it needs 0 <= first <= last "
                      "<= 24");
    }
    EXPECT_EQ(check_beam_range(-1, 3, 24),
              "beams -1 to 3 are not a range of the fan's 24 beams: it needs 0 <= first <= "
              "last <= 24");
}

// A cancel flag set during a run stops every worker before its next beam: with 1,000 beams
// in 128 blocks, only the beams already under way on the other thread finish, and the run
// ends with the cancellation's own message. The pool stays usable.
class Cancellation : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Cancellation, StopsEveryWorkerBeforeItsNextBeam) {
    std::vector<float> azimuths;
    for (int a = 0; a < 100; ++a)
        azimuths.push_back(3.6f * static_cast<float>(a));
    const input::SimulationConfig c = make_config(linspace(-40.0f, 50.0f, 10), azimuths);
    std::atomic<bool> cancel{false};
    std::atomic<std::size_t> started{0};
    CoreOptions options;
    options.max_threads = GetParam();
    options.cancel = &cancel;
    options.before_beam = [&](std::size_t) {
        if (started.fetch_add(1) + 1 == 100) cancel.store(true);
    };
    EXPECT_EQ(fatal_message([&] { (void)core(c, options); }), kRunCancelledMessage);
    EXPECT_LE(started.load(), 100u + GetParam() - 1);
    EXPECT_EQ(run(make_fan_config(), GetParam()).field.pressure.shape[0], 2u);
}

INSTANTIATE_TEST_SUITE_P(Engine, Cancellation, ::testing::Values(1, 2), [](const auto& info) {
    return std::to_string(info.param) + "Threads";
});

// ---------------------------------------------------------------------------------------------
// Faults.

struct FaultCase {
    const char* name;
    std::function<void()> raise;
    const char* message;
};

class WorkerFault : public ::testing::TestWithParam<std::tuple<FaultCase, std::size_t>> {};

TEST_P(WorkerFault, StopsTheRunAndReachesTheCallerAsTheFatalError) {
    const auto& [fault, threads] = GetParam();
    input::SimulationConfig c = make_fan_config();
    c.beam.store_ray_paths = true;
    CoreOptions options;
    options.max_threads = threads;
    options.before_beam = [&](std::size_t b) {
        if (b == 13) fault.raise();
    };
    EXPECT_EQ(fatal_message([&] { (void)core(c, options); }), fault.message);
    // The pool is left usable.
    EXPECT_EQ(run(c, threads).ray_paths->size(), 24u);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, WorkerFault,
    ::testing::Combine(
        ::testing::Values(
            FaultCase{"Fatal", [] { throw FatalError("invariant broken"); },
                      "invariant broken"},
            FaultCase{"Runtime", [] { throw std::runtime_error("boom"); }, "boom"},
            FaultCase{"BadAlloc", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
            FaultCase{"NotAnException", [] { throw 7; }, "unknown fault on a worker thread"}),
        ::testing::Values(std::size_t{1}, std::size_t{2})),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "On" +
               std::to_string(std::get<1>(info.param)) + "Threads";
    });

TEST(Core, RaggedArrayReceiversFailOnTheWorkers) {
    input::SimulationConfig c = make_fan_config();
    c.receivers.config_type = "array";
    c.receivers.layout = kelp::input::ReceiverLayout::Array;
    c.receivers.x_rcvr_m = {1.0f, 2.0f, 3.0f};
    c.receivers.y_rcvr_m = {1.0f, 2.0f, 3.0f};
    c.receivers.z_rcvr_m = {1.0f, 2.0f};
    for (std::size_t threads : {1u, 2u}) {
        EXPECT_EQ(fatal_message([&] { (void)run(c, threads); }),
                  "array receiver coordinates must have equal lengths");
    }
}

TEST(Core, SoundSpeedFailureWinsOverBathymetryFailure) {
    input::SimulationConfig c = make_fan_config();
    c.ssp.c_m_s.pop_back();
    c.bathymetry.z_bty_m.pop_back();
    const std::string ssp_message = fatal_message([&] { (void)ssp::init_ssp(c); });
    ASSERT_NE(ssp_message, "<no fatal error>");
    EXPECT_EQ(fatal_message([&] { (void)run(c, 2); }), ssp_message);
}

// ---------------------------------------------------------------------------------------------
// Progress output.

struct ParsedLine {
    unsigned long long done = 0, total = 0;
    double percent = 0, elapsed = 0, rate = 0, eta = 0;
};

std::optional<ParsedLine> parse_progress_line(const std::string& line) {
    ParsedLine p;
    int consumed = 0;
    const int n =
        std::sscanf(line.c_str(),
                    "Progress: %llu/%llu (%lf%%) | elapsed %lfs | %lf rays/s | ETA "
                    "%lfs\n%n",
                    &p.done, &p.total, &p.percent, &p.elapsed, &p.rate, &p.eta, &consumed);
    if (n != 6 || static_cast<std::size_t>(consumed) != line.size()) return std::nullopt;
    return p;
}

struct LineCase {
    std::uint64_t done, total;
    double elapsed_s;
    const char* text;
};

class ProgressLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ProgressLine, HasTheFixedTextAndParsesBack) {
    const LineCase& c = GetParam();
    const std::string line = format_progress_line(c.done, c.total, c.elapsed_s);
    EXPECT_EQ(line, c.text);
    const auto parsed = parse_progress_line(line);
    ASSERT_TRUE(parsed.has_value()) << line;
    EXPECT_EQ(parsed->done, c.done);
    EXPECT_EQ(parsed->total, c.total);
    EXPECT_NEAR(parsed->percent, 100.0 * c.done / c.total, 0.05);
    EXPECT_NEAR(parsed->elapsed, c.elapsed_s, 0.051);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, ProgressLine,
    ::testing::Values(
        LineCase{5, 10, 2.0, "Progress: 5/10 (50.0%) | elapsed 2.0s | 2 rays/s | ETA 2.0s\n"},
        LineCase{10, 10, 0.25,
                 "Progress: 10/10 (100.0%) | elapsed 0.2s | 40 rays/s | ETA 0.0s\n"},
        LineCase{1, 3, 6.0, "Progress: 1/3 (33.3%) | elapsed 6.0s | 0 rays/s | ETA 12.0s\n"},
        LineCase{1200, 4800, 5.04,
                 "Progress: 1200/4800 (25.0%) | elapsed 5.0s | 238 rays/s | ETA 15.1s\n"},
        // No time elapsed: the rate is taken over a nanosecond rather than divided by zero.
        LineCase{2, 4, 0.0,
                 "Progress: 2/4 (50.0%) | elapsed 0.0s | 2000000000 rays/s | ETA 0.0s\n"}),
    [](const auto& info) {
        return std::to_string(info.param.done) + "Of" + std::to_string(info.param.total) +
               "After" + test::number_name(info.param.elapsed_s) + "s";
    });

TEST(ProgressCounter, PrintsAfterTheQuietPeriodAndAtCompletionOnly) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ProgressCounter counter(10, out);
    EXPECT_FALSE(report_progress(counter, 2)); // under 5 s since the start
    counter.start -= std::chrono::seconds(6);
    EXPECT_TRUE(report_progress(counter, 3));  // more than 4999 ms since the last line (none)
    EXPECT_FALSE(report_progress(counter, 1)); // right after it
    EXPECT_TRUE(report_progress(counter, 4));  // completion, whatever the time
    const std::string text = read_all(out);
    std::fclose(out);
    const auto newline = text.find('\n');
    ASSERT_NE(newline, std::string::npos);
    const auto first = parse_progress_line(text.substr(0, newline + 1));
    const auto last = parse_progress_line(text.substr(newline + 1));
    ASSERT_TRUE(first && last) << text;
    EXPECT_EQ(first->done, 5u);
    EXPECT_NEAR(first->elapsed, 6.0, 0.5);
    EXPECT_EQ(last->done, 10u);
    EXPECT_EQ(last->percent, 100.0);
    EXPECT_EQ(last->eta, 0.0);
}

TEST(Core, ShortTextProgressRunPrintsOnlyTheCompletionLine) {
    input::SimulationConfig c = make_fan_config();
    c.beam.show_progress = true;
    c.beam.atomic_progress_counter = true;
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    (void)run(c, 2);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const auto line = parse_progress_line(out);
    ASSERT_TRUE(line.has_value()) << out;
    EXPECT_EQ(line->done, 24u);
    EXPECT_EQ(line->total, 24u);
    EXPECT_NE(out.find("(100.0%)"), std::string::npos);
}

TEST(Core, ProgressIsSilentWhenOffOrWhenTheBarHasNoTerminal) {
    input::SimulationConfig c = make_fan_config();
    for (const auto& [show, atomic] :
         {std::pair{false, true}, std::pair{false, false}, std::pair{true, false}}) {
        c.beam.show_progress = show;
        c.beam.atomic_progress_counter = atomic;
        ::testing::internal::CaptureStderr();
        ::testing::internal::CaptureStdout();
        (void)run(c, 2);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << show << atomic;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << show << atomic;
    }
}

TEST(ProgressBar, RendersTheRunTemplate) {
    const std::string bar = std::string(20, '=') + ">" + std::string(19, '-');
    EXPECT_EQ(
        render_progress_template(kProgressTemplate, {5, 10, 3725.0}, kProgressChars, false),
        "[01:02:05] " + bar + "       5/10       50% eta 01:02:05");
    EXPECT_EQ(
        render_progress_template(kProgressTemplate, {5, 10, 3725.0}, kProgressChars, true),
        "[01:02:05] \x1b[36m" + std::string(20, '=') + ">\x1b[0m\x1b[34m" +
            std::string(19, '-') + "\x1b[0m       5/10       50% eta 01:02:05");
    EXPECT_EQ(render_progress_template(kProgressTemplate, {0, 3, 0.0}, kProgressChars, false),
              "[00:00:00] >" + std::string(39, '-') + "       0/3         0% eta 00:00:00");
    EXPECT_EQ(render_progress_template(kProgressTemplate, {7, 7, 61.9}, kProgressChars, false),
              "[00:01:01] " + std::string(40, '=') + "       7/7       100% eta 00:00:00");
    // One step in three: 13 of 40 cells, and two seconds per step for the remaining two.
    EXPECT_EQ(render_progress_template("{bar:40} {percent}", {1, 3, 2.0}, "#>.", false),
              std::string(13, '#') + ">" + std::string(26, '.') + " 33");
    EXPECT_EQ(render_progress_template("{eta_precise}", {1, 3, 2.0}, "#>.", false), "00:00:04");
}

TEST(ProgressBar, RefusesMalformedTemplates) {
    for (const char* t : {"{pos", "{nope}", "{bar:40.teal/blue}", "{pos:x}", "{bar:4x}"}) {
        EXPECT_EQ(render_progress_template(t, {1, 2, 0.0}, kProgressChars, false), std::nullopt)
            << t;
    }
    EXPECT_EQ(render_progress_template("{pos}", {1, 2, 0.0}, "=>", false), std::nullopt);
}

TEST(ProgressBar, FormatsElapsedTimeAsHoursMinutesSeconds) {
    EXPECT_EQ(format_hms(0.0), "00:00:00");
    EXPECT_EQ(format_hms(59.99), "00:00:59");
    EXPECT_EQ(format_hms(3600.0), "01:00:00");
    EXPECT_EQ(format_hms(360000.0), "100:00:00");
    EXPECT_EQ(format_hms(-3.0), "00:00:00");
    EXPECT_EQ(format_hms(std::numeric_limits<double>::quiet_NaN()), "00:00:00");
}

// Two threads hammer the bar: every step counts, the redraws stay within 20 per second
// (plus the first and the final one), and the final drawing ends the line.
TEST(ProgressBar, IsThreadSafeRateLimitedAndFinishedOnItsOwnLine) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    {
        ProgressBar bar(4000, out, true);
        auto work = [&] {
            for (int i = 0; i < 2000; ++i)
                advance_progress_bar(bar, 1);
        };
        std::thread a(work), b(work);
        a.join();
        b.join();
        EXPECT_EQ(bar.pos.load(), 4000u);
        finish_progress_bar(bar);
    }
    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
            .count();
    const std::string text = read_all(out);
    std::fclose(out);
    const auto draws = static_cast<double>(std::count(text.begin(), text.end(), '\r'));
    EXPECT_GE(draws, 2.0);
    EXPECT_LE(draws, 2.0 + elapsed_ms / 50.0);
    ASSERT_GE(text.size(), 1u);
    EXPECT_EQ(text.back(), '\n');
    const std::string last = text.substr(text.rfind('\r'));
    EXPECT_NE(last.find("\x1b[36m" + std::string(40, '=') + "\x1b[0m"), std::string::npos);
    EXPECT_NE(last.find("   4000/4000    100% eta 00:00:00"), std::string::npos) << last;
}

// 9 x 9 x 3 receivers, 2 frequencies, 3 x 2 beams: the certain part is (chunks + 1) fields of
// 243 receivers x (2 complex + delay + amplitude), the prepared receivers (21 axis values,
// each with its node index) and the caller's copy of the axes, and, with stored paths, an
// entry per beam in the chunk and merged lists and a header in the final list; max_steps does
// not enter. 1000 array receivers are held once, in cells, whatever the chunk count: point
// and index twice while bucketing, at most 4 cells per receiver plus 65, and a list of three
// per point for the caller.
TEST(MemoryBudget, EstimateCountsFieldsReceiversAndPathLists) {
    input::SimulationConfig c = make_config({-10.0f, 0.0f, 10.0f}, {0.0f, 90.0f});
    c.beam.store_ray_paths = true;
    c.beam.max_steps = ~std::uint64_t{0};
    const MemoryEstimate e = estimate_run_memory(c, 4, {});
    EXPECT_DOUBLE_EQ(e.field_bytes, 5.0 * 243.0 * (8.0 * 2.0 + 8.0));
    EXPECT_DOUBLE_EQ(e.path_list_bytes, 6.0 * (2.0 * 32.0 + 24.0));
    const MemoryEstimate with_output = estimate_run_memory(c, 4, {32.0, 160.0, 64.0});
    EXPECT_DOUBLE_EQ(with_output.field_bytes - e.field_bytes, 243.0 * 6.0 * 32.0);
    EXPECT_DOUBLE_EQ(with_output.path_list_bytes - e.path_list_bytes, 6.0 * 64.0);
    EXPECT_DOUBLE_EQ(path_point_bytes({32.0, 160.0, 64.0}), 172.0);
    EXPECT_DOUBLE_EQ(e.receiver_bytes, 21.0 * 12.0);
    EXPECT_DOUBLE_EQ(with_output.receiver_bytes - e.receiver_bytes, 21.0 * 32.0);
    c.beam.store_ray_paths = false;
    EXPECT_EQ(estimate_run_memory(c, 4, {}).path_list_bytes, 0.0);
    // An arrivals table of 5 per receiver beside every field, at worst full, and the caller's
    // columns: 9 values and 2 complex amplitudes per arrival, a dropped count per receiver.
    EXPECT_EQ(e.arrival_bytes, 0.0);
    c.beam.max_arrivals = 5;
    EXPECT_DOUBLE_EQ(estimate_run_memory(c, 4, {32.0, 160.0, 64.0}).arrival_bytes,
                     5.0 * influence::arrival_table_bytes(243, 5, 2) +
                         (243.0 * 5.0 * 13.0 + 243.0) * 32.0);
    c.beam.max_arrivals = 0;

    c.receivers = {"array", input::ReceiverLayout::Array, std::vector<float>(1000, 1.0f),
                   std::vector<float>(1000, 2.0f), std::vector<float>(1000, 3.0f)};
    const double cells = 1000.0 * 2.0 * 20.0 + 4065.0 * 8.0;
    for (const std::size_t chunks : {1u, 8u}) {
        EXPECT_DOUBLE_EQ(estimate_run_memory(c, chunks, {}).receiver_bytes, cells);
        EXPECT_DOUBLE_EQ(estimate_run_memory(c, chunks, {32.0, 160.0, 64.0}).receiver_bytes,
                         cells + 1000.0 * 160.0);
    }
}

TEST(MemoryBudget, GrowthGetsWhatTheCertainPartLeaves) {
    const MemoryEstimate certain{300.0, 100.0};
    EXPECT_EQ(growth_limit_bytes(std::nullopt, certain), UINT64_MAX);
    EXPECT_EQ(growth_limit_bytes(1000.0, certain), 600u);
    EXPECT_EQ(growth_limit_bytes(400.0, certain), 0u);
    EXPECT_EQ(growth_limit_bytes(1e30, certain), UINT64_MAX);
}

TEST(MemoryBudget, OversizedFieldIsRefusedBeforeTracing) {
    input::SimulationConfig c = make_config({-10.0f, 0.0f, 10.0f}, {0.0f, 90.0f});
    c.receivers.z_rcvr_m = linspace(10.0f, 130.0f, 40);
    CoreOptions options;
    options.memory_limit_bytes = 1000.0;
    std::atomic<int> traced{0};
    options.before_beam = [&](std::size_t) { ++traced; };
    const std::string what = fatal_message([&] { (void)core(c, options); });
    EXPECT_EQ(what.rfind("not enough memory for this simulation: it needs about ", 0), 0u)
        << what;
    EXPECT_NE(what.find(", mostly for the pressure field (receivers x frequencies), but only "
                        "0.0 MiB is available; reduce the receivers"),
              std::string::npos)
        << what;
    EXPECT_EQ(traced.load(), 0);
}

// A max_steps meant as "no limit" is not refused: the rays end at max_range_m after a few
// dozen steps, and only what they use is charged (the old start-of-run estimate asked for
// hundreds of GiB here). Six beams and one receiver; then stored paths with the largest
// max_steps and a 200 m range, which come back whole.
TEST(MemoryBudget, UnboundedMaxStepsCostsOnlyWhatTheRaysUse) {
    input::SimulationConfig c = make_config({-10.0f, 0.0f, 10.0f}, {0.0f, 90.0f});
    c.receivers.config_type = "array";
    c.receivers.layout = kelp::input::ReceiverLayout::Array;
    c.receivers.x_rcvr_m = {300.0f};
    c.receivers.y_rcvr_m = {0.0f};
    c.receivers.z_rcvr_m = {40.0f};
    CoreOptions options;
    options.memory_limit_bytes = 1024.0 * 1024.0 * 1024.0;
    options.output_cost = {32.0, 160.0, 64.0};
    c.beam.max_steps = 1'000'000'000;
    const SimulationResult r = core(c, options);
    EXPECT_TRUE(std::isfinite(r.field.delay_s.data[0]));

    c.beam.max_steps = ~std::uint64_t{0};
    c.beam.max_range_m = 200.0f;
    c.beam.store_ray_paths = true;
    const SimulationResult p = core(c, options);
    ASSERT_TRUE(p.ray_paths.has_value());
    ASSERT_EQ(p.ray_paths->size(), 6u);
    for (const RayPath& path : *p.ray_paths) {
        ASSERT_GE(path.size(), 2u);
        EXPECT_LT(path.size(), 100u);
        const auto& end = path.back();
        EXPECT_GE(std::hypot(end[0], end[1]), 200.0f);
    }
}

// Paths at 172 bytes a point (as the Python module holds them) outgrow a budget of 192 KiB
// part-way through the 24-beam fan, well before the rays in flight (a few KiB per worker): the
// run stops with the message naming them, and the pool runs the same configuration afterwards.
class PathBudget : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PathBudget, PathsOutgrowingTheBudgetStopTheRun) {
    input::SimulationConfig c = make_fan_config();
    c.beam.store_ray_paths = true;
    CoreOptions options;
    options.max_threads = GetParam();
    options.output_cost = {32.0, 160.0, 64.0};
    options.growth_limit_bytes = 192.0 * 1024.0;
    const std::string what = fatal_message([&] { (void)core(c, options); });
    EXPECT_EQ(
        what.rfind("not enough memory for this simulation: the stored ray paths reached ", 0),
        0u)
        << what;
    EXPECT_NE(what.find(" of 24 beams"), std::string::npos) << what;
    EXPECT_NE(
        what.find(", but only 0.2 MiB is available beyond the pressure fields; reduce the "
                  "beams, beam.max_steps or beam.max_range_m, or set "
                  "beam.store_ray_paths to false"),
        std::string::npos)
        << what;
    EXPECT_EQ(run(c, GetParam()).ray_paths->size(), 24u);
}

INSTANTIATE_TEST_SUITE_P(Engine, PathBudget, ::testing::Values(1, 2), [](const auto& info) {
    return "On" + std::to_string(info.param) + "Threads";
});

TEST(MemoryBudget, AvailableMemoryIsReadOnLinux) {
    const auto available = available_memory_bytes();
    ASSERT_TRUE(available.has_value());
    EXPECT_GT(*available, 0.0);
}

} // namespace
} // namespace kelp::engine
