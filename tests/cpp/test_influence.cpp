// Pressure field and Gaussian-beam summation. Most rays here are built by hand: straight rays
// in water of constant sound speed c, where the dynamic-ray solution is known in closed form
// (q grows as c s along both normals, p stays at its launch value), so every beam quantity
// has an exact value to compare with.

#include "test_names.hpp"

#include "core/constants.hpp"
#include "core/fatal.hpp"
#include "influence/influence.hpp"
#include "rays/rays.hpp"
#include "reflect/reflect.hpp"
#include "ssp/ssp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string_view>
#include <vector>

// The references are double precision; promoting the single-precision results into them is
// intended throughout.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

namespace kelp::influence {
namespace {

using kelp::RayState;
constexpr double kPiD = 3.14159265358979323846;
constexpr float kC = 1500.0f;
const float kInf = std::numeric_limits<float>::infinity();

input::SimulationConfig make_config(std::string type, std::vector<float> x,
                                    std::vector<float> y, std::vector<float> z,
                                    std::size_t n_freq = 1) {
    input::SimulationConfig cfg;
    cfg.receivers = {type, input::receiver_layout(type), std::move(x), std::move(y),
                     std::move(z)};
    cfg.source.freq_hz.assign(n_freq, 100.0f);
    return cfg;
}

// A field with the receivers it was made for: the summation needs both.
struct TestField : PressureField {
    input::Receivers receivers;
};

TestField make_field(const input::SimulationConfig& cfg) {
    return {init_pressure_field(cfg), cfg.receivers};
}

TestField make_field(std::string type, std::vector<float> x, std::vector<float> y,
                     std::vector<float> z, std::size_t n_freq = 1) {
    return make_field(
        make_config(std::move(type), std::move(x), std::move(y), std::move(z), n_freq));
}

// One beam added to f on its own receivers, with the widest lanes available.
void add_beam(std::vector<RayState>& ray, TestField& f, const bty::BTYfield& bty,
              std::span<const float> omegas, float elev0, float dazim, float delev) {
    InfluenceWorkspace work;
    gaussian_beam_influence(ray, f, prepare_receivers(f.receivers), bty, omegas,
                            {elev0, dazim, delev, 0}, work);
}

// Unit direction for azimuth (from +y towards +x) and elevation (positive down), radians.
std::array<double, 3> direction(double azim, double elev) {
    return {std::sin(azim) * std::cos(elev), std::cos(azim) * std::cos(elev), std::sin(elev)};
}

// The state at arc length s of a straight ray from `src` along unit `u`, as the tracer
// produces it in constant sound speed: q_tilde = (c s, 0), q_hat = (0, c s).
RayState straight_state(std::array<double, 3> src, std::array<double, 3> u, double s,
                        double c = kC) {
    RayState st;
    st.position = {static_cast<float>(src[0] + s * u[0]), static_cast<float>(src[1] + s * u[1]),
                   static_cast<float>(src[2] + s * u[2])};
    st.slowness = {static_cast<float>(u[0] / c), static_cast<float>(u[1] / c),
                   static_cast<float>(u[2] / c)};
    st.travel_time = static_cast<float>(s / c);
    st.q_tilde = {static_cast<float>(c * s), 0.0f};
    st.q_hat = {0.0f, static_cast<float>(c * s)};
    st.sound_speed = static_cast<float>(c);
    return st;
}

std::vector<RayState> straight_ray(std::array<double, 3> src, double azim, double elev,
                                   double step, int n_steps) {
    std::vector<RayState> ray;
    for (int i = 0; i <= n_steps; ++i)
        ray.push_back(straight_state(src, direction(azim, elev), i * step));
    return ray;
}

std::complex<double> at(const PressureField& f, std::size_t k, std::size_t r) {
    const Complex32 p = f.pressure.flat()[k * f.delay_s.size() + r];
    return {p.re, p.im};
}

double wrap(double a) {
    return std::remainder(a, 2.0 * kPiD);
}

const bty::BTYfield kRigid{};

// ---------------------------------------------------------------- pressure field

TEST(PressureField, GridModeShapesAndFill) {
    const TestField f = make_field("grid", {3, 1}, {5, 6, 7}, {9}, 2);
    EXPECT_EQ(f.pressure.shape, (std::array<std::size_t, 4>{2, 2, 3, 1}));
    EXPECT_EQ(f.delay_s.shape, (std::array<std::size_t, 3>{2, 3, 1}));
    EXPECT_EQ(f.amplitude.shape, f.delay_s.shape);
    for (float d : f.delay_s.flat())
        EXPECT_EQ(d, kInf);
    for (float a : f.amplitude.flat())
        EXPECT_EQ(a, 0.0f);
    for (Complex32 p : f.pressure.flat())
        EXPECT_TRUE(p.re == 0.0f && p.im == 0.0f);
}

TEST(PressureField, ArrayModeIgnoresCase) {
    for (const char* type : {"array", "ARRAY", "ArRaY"}) {
        const TestField f = make_field(type, {1, 2}, {3, 4}, {5, 6}, 3);
        EXPECT_EQ(f.receivers.layout, input::ReceiverLayout::Array) << type;
        EXPECT_EQ(f.pressure.shape, (std::array<std::size_t, 4>{3, 2, 1, 1}));
        EXPECT_EQ(f.delay_s.shape, (std::array<std::size_t, 3>{2, 1, 1}));
    }
    EXPECT_EQ(make_field("arrays", {1}, {1}, {1}).receivers.layout,
              input::ReceiverLayout::Grid);
}

TEST(PressureField, RaggedArrayIsFatal) {
    for (auto [nx, ny, nz] : {std::array{3, 3, 2}, {2, 3, 3}, {3, 2, 3}}) {
        try {
            make_field("array", std::vector<float>(nx, 1.0f), std::vector<float>(ny, 1.0f),
                       std::vector<float>(nz, 1.0f));
            ADD_FAILURE() << "no error for " << nx << ny << nz;
        } catch (const FatalError& e) {
            EXPECT_STREQ(e.what(), "array receiver coordinates must have equal lengths");
        }
    }
}

TEST(PressureField, EmptyReceiversAndFrequencies) {
    const TestField a = make_field("array", {}, {}, {});
    EXPECT_EQ(a.delay_s.shape, (std::array<std::size_t, 3>{0, 1, 1}));
    EXPECT_EQ(a.pressure.size(), 0u);
    const TestField g = make_field("grid", {1, 2}, {}, {3});
    EXPECT_EQ(g.pressure.shape, (std::array<std::size_t, 4>{1, 2, 0, 1}));
    EXPECT_EQ(g.delay_s.size(), 0u);
    const TestField nf = make_field("grid", {1, 2}, {3}, {4}, 0);
    EXPECT_EQ(nf.pressure.size(), 0u);
    EXPECT_EQ(nf.delay_s.size(), 2u);
}

// The arrival rule of the in-field update: strictly earlier wins, an equal delay with a larger
// |amplitude| wins, a full tie (|-0.5| = |0.5|) keeps left; NaN never wins.
TEST(PressureField, MergeSumsAndKeepsTheEarliestStrongestArrival) {
    struct Arrival {
        float l_delay, l_amp, r_delay, r_amp, want_delay, want_amp;
    };
    const float nan = std::nanf("");
    const Arrival cases[] = {
        {2.0f, 0.1f, 2.0f, 0.9f, 2.0f, 0.9f},   // equal delay, larger |amplitude| right
        {2.0f, -0.9f, 2.0f, 0.1f, 2.0f, -0.9f}, // equal delay, smaller |amplitude| right
        {2.0f, 0.5f, 2.0f, -0.5f, 2.0f, 0.5f},  // full tie keeps the earlier beams
        {2.0f, 0.1f, 1.5f, -0.3f, 1.5f, -0.3f}, // strictly earlier right
        {1.0f, 0.2f, nan, 5.0f, 1.0f, 0.2f},    // NaN delay
        {1.0f, 0.2f, 1.0f, nan, 1.0f, 0.2f},    // NaN amplitude
        {0.5f, 0.3f, kInf, 0.0f, 0.5f, 0.3f},   // right never reached
        {kInf, 0.0f, 3.0f, 0.4f, 3.0f, 0.4f},   // left never reached
    };
    constexpr std::size_t n = std::size(cases);
    const std::vector<float> zeros(n, 0.0f);
    const auto cfg = make_config("array", zeros, zeros, zeros, 2);
    TestField left = make_field(cfg), right = make_field(cfg);
    for (std::size_t i = 0; i < n; ++i) {
        left.delay_s.flat()[i] = cases[i].l_delay;
        left.amplitude.flat()[i] = cases[i].l_amp;
        right.delay_s.flat()[i] = cases[i].r_delay;
        right.amplitude.flat()[i] = cases[i].r_amp;
    }
    for (std::size_t i = 0; i < 2 * n; ++i) {
        left.pressure.flat()[i] = {0.25f * i, -1.0f};
        right.pressure.flat()[i] = {1.0f, 0.5f * i};
    }
    const PressureField m = merge_pressure_fields(std::move(left), std::move(right));
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(m.delay_s.flat()[i], cases[i].want_delay) << i;
        EXPECT_EQ(m.amplitude.flat()[i], cases[i].want_amp) << i;
    }
    for (std::size_t i = 0; i < 2 * n; ++i) {
        EXPECT_EQ(m.pressure.flat()[i].re, 0.25f * i + 1.0f);
        EXPECT_EQ(m.pressure.flat()[i].im, -1.0f + 0.5f * i);
    }
}

TEST(PressureField, MergeWithFreshFieldIsIdentity) {
    const auto cfg = make_config("grid", {0, 100}, {0, 500, 1000}, {50, 60}, 2);
    TestField f = make_field(cfg);
    auto ray = straight_ray({0, 0, 55}, 0.0, 0.0, 50.0, 30);
    const std::vector<float> omegas{628.0f, 1256.0f};
    add_beam(ray, f, kRigid, omegas, 0.0f, 0.02f, 0.02f);
    const PressureField copy = f;
    const PressureField m = merge_pressure_fields(std::move(f), make_field(cfg));
    for (std::size_t i = 0; i < copy.pressure.size(); ++i) {
        EXPECT_EQ(m.pressure.flat()[i].re, copy.pressure.flat()[i].re);
        EXPECT_EQ(m.pressure.flat()[i].im, copy.pressure.flat()[i].im);
    }
    EXPECT_EQ(m.delay_s.data, copy.delay_s.data);
    EXPECT_EQ(m.amplitude.data, copy.amplitude.data);
}

// ---------------------------------------------------------------- one beam

struct Offset {
    double u1, u2; // along e1 and e2, in beam widths (a, b)
};

class OneBeam : public ::testing::TestWithParam<Offset> {};

// A beam along +y from the origin at 1000 m depth. At arc length S its two widths are
// S delev and S dazim |cos elev0| (q scaled by the fan spacings), so a receiver offset by
// (a S delev) e1 + (b S dazim) e2 gets exp(-(a^2 + b^2) / 2) / (2 pi S) with the phase of the
// spherical wavefront through the receiver, omega (S + r^2 / (2 S)) / c for an offset r (the
// beam's curvature P Q^-1 = 1 / (c S)); its earliest arrival is the axial time S / c.
TEST_P(OneBeam, AmplitudeIsSphericalSpreadingTimesGaussian) {
    const Offset o = GetParam();
    const double step = 50.0, s_rx = 725.0; // mid-segment
    const float delev = 0.01f, dazim = 0.02f, omega = 2.0f * kPi * 100.0f;
    auto ray = straight_ray({0, 0, 1000}, 0.0, 0.0, step, 20);
    // Horizontal ray along +y: e1 = (0, 0, -1) (up), e2 = (-1, 0, 0).
    const double off1 = o.u1 * s_rx * delev, off2 = o.u2 * s_rx * dazim;
    TestField f = make_field("array", {static_cast<float>(-off2)}, {static_cast<float>(s_rx)},
                             {static_cast<float>(1000.0 - off1)});
    add_beam(ray, f, kRigid, std::vector<float>{omega}, 0.0f, dazim, delev);
    const double s_proj = s_rx;
    const double want = std::exp(-0.5 * (o.u1 * o.u1 + o.u2 * o.u2)) / (2.0 * kPiD * s_proj);
    const std::complex<double> p = at(f, 0, 0);
    if (std::fabs(o.u1) + std::fabs(o.u2) > 4.0) {
        EXPECT_EQ(std::abs(p), 0.0);
        EXPECT_EQ(f.delay_s.flat()[0], kInf);
        return;
    }
    // Single-precision positions of order 1000 m carry about 1e-4 m, a relative error of a
    // few 1e-5 in the offsets of a few metres.
    EXPECT_NEAR(std::abs(p) / want, 1.0, 2e-4);
    const double r2 = off1 * off1 + off2 * off2;
    EXPECT_NEAR(wrap(std::arg(p) - omega * (s_proj + r2 / (2.0 * s_proj)) / kC), 0.0, 2e-3);
    EXPECT_NEAR(f.delay_s.flat()[0], s_proj / kC, 1e-6);
    EXPECT_NEAR(f.amplitude.flat()[0] / want, 1.0, 2e-4);
}

INSTANTIATE_TEST_SUITE_P(Offsets, OneBeam,
                         ::testing::Values(Offset{0, 0}, Offset{1, 0}, Offset{0, 1},
                                           Offset{-1.5, 0.5}, Offset{2, -1.5}, Offset{-3, 0.9},
                                           Offset{3, 1.2}, Offset{0, -4.5}),
                         [](const auto& info) {
                             return "Widths" + test::number_name(info.param.u1) + "And" +
                                    test::number_name(info.param.u2);
                         });

TEST(BeamInfluence, RayOfOneStateChangesNothing) {
    TestField f = make_field("array", {0}, {0}, {0});
    std::vector<RayState> ray{straight_state({0, 0, 0}, {0, 1, 0}, 0.0)};
    ray[0].q_tilde = {3.0f, 4.0f};
    add_beam(ray, f, kRigid, std::vector<float>{1.0f}, 0.0f, 0.1f, 0.1f);
    EXPECT_EQ(ray[0].amplitude, 1.0f);
    EXPECT_EQ(ray[0].q_tilde.x, 3.0f);
    EXPECT_EQ(ray[0].det_q, 0.0f);
    EXPECT_EQ(f.delay_s.flat()[0], kInf);
}

TEST(BeamInfluence, NormalisesTheRayInPlace) {
    auto ray = straight_ray({0, 0, 100}, 0.3, 0.2, 10.0, 3);
    ray[2].sound_speed = 1510.0f;
    TestField f = make_field("array", {}, {}, {});
    const float elev = -0.2f, dazim = 0.05f, delev = 0.02f;
    add_beam(ray, f, kRigid, {}, elev, dazim, delev);
    const double a0 = std::sqrt(dazim * delev) * std::sqrt(std::cos(0.2)) / kC / (2.0 * kPiD);
    EXPECT_NEAR(ray[1].amplitude, kC * a0, 1e-6 * kC * a0);
    EXPECT_NEAR(ray[2].amplitude, 1510.0 * a0, 1e-6 * kC * a0);
    // det_q from the unscaled q vectors, then q scaled to the fan's ray-tube widths.
    EXPECT_NEAR(ray[3].det_q / ((kC * 30.0) * (kC * 30.0)), 1.0, 1e-6);
    EXPECT_NEAR(ray[3].q_tilde.x, 30.0 * delev, 1e-5);
    EXPECT_NEAR(ray[3].q_hat.y, 30.0 * dazim * std::cos(0.2), 1e-5);
}

// A receiver exactly on an interior state projects to s = 1 of one segment and s = 0 of the
// next: it is counted once. Only the ray's last segment also owns its end point.
TEST(BeamInfluence, ReceiverOnAStateCountedOnce) {
    auto ray = straight_ray({0, 0, 500}, 0.0, 0.0, 100.0, 5);
    TestField f =
        make_field("array", {0, 0, 0, 0}, {200, 500, 500.5f, 501}, {500, 500, 500, 500});
    add_beam(ray, f, kRigid, std::vector<float>{100.0f}, 0.0f, 0.01f, 0.01f);
    for (std::size_t r : {0u, 1u}) {
        const double s = r == 0 ? 200.0 : 500.0;
        EXPECT_NEAR(std::abs(at(f, 0, r)) * 2.0 * kPiD * s, 1.0, 1e-4) << r;
    }
    EXPECT_EQ(std::abs(at(f, 0, 2)), 0.0); // ahead of the last state
    EXPECT_EQ(std::abs(at(f, 0, 3)), 0.0);
}

// Caustic phase: crossing or touching zero adds pi/2, leaving zero adds nothing. q_hat is
// (0, 1) throughout and q_tilde.x follows the determinant; one receiver sits at three
// quarters of each segment (where the interpolated determinant is not zero).
struct CausticCase {
    std::array<float, 5> det;
    std::array<double, 4> phase; // expected caustic phase at 3/4 of each segment
};

class CausticPhase : public ::testing::TestWithParam<CausticCase> {};

TEST_P(CausticPhase, CountsCrossingsOnce) {
    const CausticCase cc = GetParam();
    auto ray = straight_ray({0, 0, 500}, 0.0, 0.0, 100.0, 4);
    for (std::size_t i = 0; i < 5; ++i) {
        ray[i].q_tilde = {cc.det[i], 0.0f};
        ray[i].q_hat = {0.0f, 1.0f};
    }
    // With c0 = 1500 and both spacings 1500 rad the scaled q equal the ones set here.
    TestField f = make_field("array", {0, 0, 0, 0}, {75, 175, 275, 375}, {500, 500, 500, 500});
    const float omega = 10.0f;
    add_beam(ray, f, kRigid, std::vector<float>{omega}, 0.0f, kC, kC);
    for (std::size_t r = 0; r < 4; ++r) {
        const double tau = (75.0 + 100.0 * r) / kC;
        EXPECT_NEAR(wrap(std::arg(at(f, 0, r)) - (omega * tau - cc.phase[r])), 0.0, 1e-4)
            << "segment " << r;
    }
}

constexpr double kH = kPiD / 2.0;
INSTANTIATE_TEST_SUITE_P(
    Sequences, CausticPhase,
    ::testing::Values(
        CausticCase{{0, 1, 0, 1, 1}, {0, 0, kH, kH}},
        CausticCase{{0, 1, 0, -1, -1}, {0, 0, kH, kH}},
        CausticCase{{1, 1, 1, 1, 1}, {0, 0, 0, 0}},
        // Sign changes inside segments 1 -> 2 and 3 -> 4 count from where D changes sign.
        CausticCase{{1, 1, -1, -1, 1}, {0, kH, kH, 2 * kH}}),
    // The signs of det Q along the ray: Z for zero, P positive, N negative.
    [](const auto& info) {
        std::string name = "Signs";
        for (const float d : info.param.det)
            name += d == 0.0f ? 'Z' : (d > 0.0f ? 'P' : 'N');
        return name;
    });

// A receiver beyond a sign change within the same segment already carries -i; one before it
// does not.
TEST(BeamInfluence, CausticInsideSegment) {
    auto ray = straight_ray({0, 0, 500}, 0.0, 0.0, 100.0, 1);
    ray[0].q_tilde = {1.0f, 0.0f};
    ray[1].q_tilde = {-1.0f, 0.0f};
    ray[0].q_hat = ray[1].q_hat = {0.0f, 1.0f};
    TestField f = make_field("array", {0, 0}, {25, 75}, {500, 500});
    add_beam(ray, f, kRigid, std::vector<float>{0.0f}, 0.0f, kC, kC);
    EXPECT_NEAR(std::arg(at(f, 0, 0)), 0.0, 1e-6);
    EXPECT_NEAR(std::arg(at(f, 0, 1)), -kH, 1e-6);
}

TEST(BeamInfluence, SurfaceReflectionFlipsSign) {
    TestField plain = make_field("grid", {-1, 0, 2}, {120, 333}, {498, 500, 503}, 3);
    TestField flipped = plain;
    const std::vector<float> omegas{100.0f, 628.0f, 3000.0f};
    auto ray = straight_ray({0, 0, 500}, 0.0, 0.0, 50.0, 10);
    auto bounced = ray;
    for (RayState& st : bounced)
        st.phase = kPi;
    add_beam(ray, plain, kRigid, omegas, 0.0f, 0.02f, 0.02f);
    add_beam(bounced, flipped, kRigid, omegas, 0.0f, 0.02f, 0.02f);
    for (std::size_t i = 0; i < plain.pressure.size(); ++i) {
        const Complex32 a = plain.pressure.flat()[i], b = flipped.pressure.flat()[i];
        // omega tau reaches 700 rad, where one float ulp of the phase is 6e-5 rad.
        const double tol = 2e-4 * std::hypot(a.re, a.im);
        EXPECT_NEAR(b.re, -a.re, tol) << i;
        EXPECT_NEAR(b.im, -a.im, tol) << i;
    }
    EXPECT_EQ(plain.amplitude.data, flipped.amplitude.data); // stored without phase
}

// The arrival keeps the earliest tau; on a tie the larger |Amp|, and the first on equal |Amp|.
TEST(BeamInfluence, ArrivalTieBreakWithinAField) {
    TestField f = make_field("array", {0}, {250}, {500}, 0);
    const auto run = [&f](float initial_amplitude) {
        auto ray = straight_ray({0, 0, 500}, 0.0, 0.0, 100.0, 5);
        for (RayState& st : ray)
            st.amplitude = initial_amplitude;
        add_beam(ray, f, kRigid, {}, 0.0f, 0.01f, 0.01f);
    };
    run(1.0f);
    const float a1 = f.amplitude.flat()[0];
    EXPECT_GT(a1, 0.0f);
    EXPECT_NEAR(f.delay_s.flat()[0], 250.0 / kC, 1e-7); // F = 0 still records arrivals
    run(0.5f);
    EXPECT_EQ(f.amplitude.flat()[0], a1);
    run(-2.0f);
    EXPECT_EQ(f.amplitude.flat()[0], -2.0f * a1);
    run(2.0f);
    EXPECT_EQ(f.amplitude.flat()[0], -2.0f * a1);
}

TEST(BeamInfluence, ZeroElevationSpacingContributesNothing) {
    TestField f = make_field("grid", {-5, 0, 5}, {100, 250, 400}, {495, 500});
    auto ray = straight_ray({0, 0, 500}, 0.0, 0.0, 100.0, 5);
    add_beam(ray, f, kRigid, std::vector<float>{100.0f}, 0.0f, 0.01f, 0.0f);
    for (float d : f.delay_s.flat())
        EXPECT_EQ(d, kInf);
    for (Complex32 p : f.pressure.flat())
        EXPECT_TRUE(p.re == 0.0f && p.im == 0.0f);
}

// Bottom reflection at the end of a segment multiplies everything after it, and only that;
// also when the segment ending there is too short to reach a receiver.
TEST(BeamInfluence, BottomReflectionAppliesAfterItsSegment) {
    const bty::BTYfield fluid{{}, {}, {}, bty::AcousticBottom{1600.0f, 1.8f, 0.5f}, 1.0f};
    const std::vector<float> omegas{300.0f, 900.0f};
    for (double gap : {1e-5, 20.0}) {
        auto ray = straight_ray({0, 0, 500}, 0.0, 0.0, 100.0, 4);
        // Insert a state `gap` beyond state 2 carrying the bottom event (geometry is that of
        // an event record; the straight ray itself is not bent here).
        RayState ev = straight_state({0, 0, 500}, {0, 1, 0}, 200.0 + gap);
        ev.event = {kEventBottom, {0.0f, 0.2f, 0.98f}, {0.0f, 6e-4f, 2e-4f}, 1490.0f};
        ray.insert(ray.begin() + 3, ev);
        auto plain_ray = ray;
        plain_ray[3].event.kind = kEventNone;
        // Receivers beyond the reach of the legs' continuation past the reflection (a few
        // beam windows over the sine of the grazing angle, here 60 m around y = 200).
        const auto cfg = make_config("array", {0, 0}, {120, 350}, {500, 500}, 2);
        TestField with = make_field(cfg), without = make_field(cfg);
        add_beam(ray, with, fluid, omegas, 0.0f, 0.01f, 0.01f);
        add_beam(plain_ray, without, fluid, omegas, 0.0f, 0.01f, 0.01f);
        for (std::size_t k = 0; k < 2; ++k) {
            const Complex32 rk = reflect::compute_bottom_reflection_coefficient(
                fluid.bottom_model, ev.event.incident_slowness, ev.event.normal, 1490.0f, 1.0f,
                omegas[k]);
            EXPECT_EQ(at(with, k, 0), at(without, k, 0)) << "before the reflection";
            const std::complex<double> want =
                std::complex<double>(rk.re, rk.im) * at(without, k, 1);
            EXPECT_LT(std::abs(at(with, k, 1) - want), 1e-6 * std::abs(want)) << gap;
            EXPECT_GT(std::abs(at(without, k, 1)), 0.0);
        }
    }
}

// At a reflection point the end state's slowness is mirrored and its frame turned; the
// segment into the reflection must still measure offsets across the incident direction. A
// receiver a * width off the axis in the plane of incidence gets exp(-a^2 / 2), not
// exp(-(a cos 2 theta)^2 / 2).
TEST(BeamInfluence, SegmentIntoAReflectionUsesIncidentNormals) {
    const double grazing = kPiD / 6.0; // cos 2 theta = 1/2
    const double l_hit = 200.0;        // from 100 m depth up to the surface
    const std::array<double, 3> src{0, 0, 100.0};
    const auto u_in = direction(0.0, -grazing), u_out = direction(0.0, grazing);
    const float delev = 0.01f, dazim = 0.01f;
    for (bool bottom : {false, true}) {
        std::vector<RayState> ray{straight_state(src, u_in, 0.0),
                                  straight_state(src, u_in, l_hit),
                                  straight_state({0, l_hit * u_in[1], 0}, u_out, 100.0)};
        ray[1].position.z = 0.0f;
        ray[1].slowness.z = -ray[1].slowness.z; // mirrored at the reflection
        ray[2].travel_time += ray[1].travel_time;
        ray[2].q_tilde.x += ray[1].q_tilde.x;
        ray[2].q_hat.y += ray[1].q_hat.y;
        for (std::size_t i = 1; i < 3; ++i) {
            if (bottom) {
                ray[i].bottom_bounces = 1;
            } else {
                ray[i].surface_bounces = 1;
                ray[i].phase = kPi;
            }
        }
        if (bottom) ray[1].event = {kEventBottom, {0, 0, 1}, ray[0].slowness, kC};
        // Receiver at arc length 100 m, two widths off along the incident e1; its projection
        // onto the reflected segment falls before that segment's start.
        const double s = 100.0, a = 2.0, off = a * s * delev;
        const RayBasis basis = ray_normal_basis(ray[0].slowness, kC, 0.0f);
        TestField f =
            make_field("array", {0}, {static_cast<float>(s * u_in[1] + off * basis.e1.y)},
                       {static_cast<float>(src[2] + s * u_in[2] + off * basis.e1.z)});
        add_beam(ray, f, kRigid, std::vector<float>{100.0f}, 0.0f, dazim, delev);
        const double want = std::exp(-0.5 * a * a) / (2.0 * kPiD * s);
        EXPECT_NEAR(std::abs(at(f, 0, 0)) / want, 1.0, 1e-3) << (bottom ? "bottom" : "surface");
    }
}

// Receiver axes in any order (here reversed, shuffled and repeated) give every receiver the
// value an ascending grid gives the same point.
TEST(BeamInfluence, UnorderedGridAxesMatchSortedOnes) {
    const std::vector<float> xs{-3, 0, 4}, ys{100, 260, 420, 580}, zs{497, 500, 506};
    const std::vector<float> xu{4, -3, 0, 4}, yu{580, 260, 100, 420, 260}, zu{506, 500, 497};
    const std::vector<float> omegas{200.0f, 700.0f};
    TestField sorted = make_field("grid", xs, ys, zs, 2);
    TestField unordered = make_field("grid", xu, yu, zu, 2);
    for (double az : {-0.01, 0.0, 0.012}) {
        for (double el : {-0.01, 0.0, 0.011}) {
            auto r1 = straight_ray({0, 0, 500}, az, el, 60.0, 12);
            auto r2 = r1;
            add_beam(r1, sorted, kRigid, omegas, 0.0f, 0.012f, 0.011f);
            add_beam(r2, unordered, kRigid, omegas, 0.0f, 0.012f, 0.011f);
        }
    }
    const auto pos = [](const std::vector<float>& axis, float v) {
        return static_cast<std::size_t>(std::find(axis.begin(), axis.end(), v) - axis.begin());
    };
    std::size_t reached = 0;
    for (std::size_t i = 0; i < xu.size(); ++i) {
        for (std::size_t j = 0; j < yu.size(); ++j) {
            for (std::size_t k = 0; k < zu.size(); ++k) {
                const std::size_t ru = (i * yu.size() + j) * zu.size() + k;
                const std::size_t rs =
                    (pos(xs, xu[i]) * ys.size() + pos(ys, yu[j])) * zs.size() + pos(zs, zu[k]);
                EXPECT_EQ(unordered.delay_s.flat()[ru], sorted.delay_s.flat()[rs]);
                EXPECT_EQ(unordered.amplitude.flat()[ru], sorted.amplitude.flat()[rs]);
                for (std::size_t q = 0; q < 2; ++q)
                    EXPECT_EQ(at(unordered, q, ru), at(sorted, q, rs));
                reached += sorted.delay_s.flat()[rs] < kInf;
            }
        }
    }
    EXPECT_GT(reached, 20u);
}

// Grid and array mode run the same arithmetic on the same points.
TEST(BeamInfluence, ArrayModeMatchesGridMode) {
    const std::vector<float> xs{-2, 1}, ys{150, 330}, zs{498, 503};
    std::vector<float> ax, ay, az;
    for (float x : xs)
        for (float y : ys)
            for (float z : zs)
                ax.push_back(x), ay.push_back(y), az.push_back(z);
    TestField grid = make_field("grid", xs, ys, zs);
    TestField list = make_field("array", ax, ay, az);
    auto r1 = straight_ray({0, 0, 500}, 0.003, -0.004, 45.0, 10);
    auto r2 = r1;
    add_beam(r1, grid, kRigid, std::vector<float>{628.0f}, 0.0f, 0.01f, 0.01f);
    add_beam(r2, list, kRigid, std::vector<float>{628.0f}, 0.0f, 0.01f, 0.01f);
    EXPECT_EQ(grid.delay_s.data, list.delay_s.data);
    for (std::size_t r = 0; r < ax.size(); ++r)
        EXPECT_EQ(at(grid, 0, r), at(list, 0, r));
}

// Constant speed (a sound-speed grid out of the rays' reach clamps every lookup to c) over a
// flat bottom at 5000 m, source at 2500 m: the traced rays below stay in open water.
input::SimulationConfig deep_water_config() {
    input::SimulationConfig cfg;
    cfg.ssp.x_ssp_m = cfg.ssp.y_ssp_m = cfg.ssp.z_ssp_m = {-2.0f, -1.0f};
    cfg.ssp.c_m_s.assign(8, kC);
    cfg.bathymetry.x_bty_m = cfg.bathymetry.y_bty_m = {-1e6f, 1e6f};
    cfg.bathymetry.z_bty_m = {5000.0f, 5000.0f, 5000.0f, 5000.0f};
    cfg.source.position = {0.0f, 0.0f, 2500.0f};
    cfg.beam.step_m = 20.0f;
    cfg.beam.max_steps = 200;
    cfg.beam.max_range_m = 2100.0f;
    return cfg;
}

TEST(BeamInfluence, TracedBeamOnAxisIsSphericalSpreading) {
    const auto cfg = deep_water_config();
    const ssp::SSPFields ssp = ssp::init_ssp(cfg);
    const bty::BTYfield bty = bty::init_bty(cfg);
    auto ray = rays::trace_ray(cfg, ssp, bty, 0.0f, 0.0f);
    const std::vector<float> ranges{105.0f, 333.0f, 1010.0f, 1999.0f};
    TestField f = make_field("grid", {0}, ranges, {2500});
    add_beam(ray, f, bty, std::vector<float>{628.0f}, 0.0f, 0.01f, 0.01f);
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_NEAR(std::abs(at(f, 0, i)) * 2.0 * kPiD * ranges[i], 1.0, 1e-3) << ranges[i];
    }
}

// A dense fan in unbounded water of constant speed: the beams sum to the point-source field
// exp(i omega r / c) / r. The fan spacing (0.5 degree) keeps the beams' missing wavefront
// curvature below 0.07 rad at 2 km and 100 Hz, and the window of 4 widths loses well under
// 1 % of the Gaussian sum, so 1 dB and 0.1 rad are generous yet catch any factor of 2, a
// missing neighbour row or a wrong phase sign. Run once on hand-built straight rays and once
// on rays from the tracer.
class DenseFan : public ::testing::TestWithParam<bool> {};

TEST_P(DenseFan, GivesSphericalSpreading) {
    const bool traced = GetParam();
    const auto cfg = deep_water_config();
    const ssp::SSPFields ssp = ssp::init_ssp(cfg);
    const bty::BTYfield bty = bty::init_bty(cfg);
    const double spacing = 0.5 * kPiD / 180.0;
    std::vector<float> ranges;
    for (int r = 100; r <= 2000; r += 100)
        ranges.push_back(static_cast<float>(r));
    TestField f = make_field("grid", {0}, ranges, {2500});
    const float omega = 2.0f * kPi * 100.0f;
    for (int ia = -6; ia <= 6; ++ia) {
        for (int ie = -6; ie <= 6; ++ie) {
            const float az = static_cast<float>(ia * spacing);
            const float el = static_cast<float>(ie * spacing);
            auto ray = traced ? rays::trace_ray(cfg, ssp, bty, az, el)
                              : straight_ray({0, 0, 2500}, az, el, 20.0, 105);
            add_beam(ray, f, bty, std::vector<float>{omega}, el, static_cast<float>(spacing),
                     static_cast<float>(spacing));
        }
    }
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const std::complex<double> p = at(f, 0, i);
        const double r = ranges[i];
        EXPECT_LT(std::fabs(20.0 * std::log10(std::abs(p) * r)), 1.0) << r;
        EXPECT_NEAR(wrap(std::arg(p) - omega * r / kC), 0.0, 0.1) << r;
        EXPECT_NEAR(f.delay_s.flat()[i], r / kC, 1e-3 * r / kC);
    }
}

INSTANTIATE_TEST_SUITE_P(Rays, DenseFan, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Traced" : "HandBuilt"; });

namespace search {

// Rays traced through a sound-speed gradient with surface and bottom reflections off a
// sloping bottom, and hand-made rays whose q vectors shear, shrink through zero and change
// sign, with segments from 0.5 mm to 40 m.
std::vector<std::vector<RayState>> random_rays(std::mt19937& rng) {
    std::vector<std::vector<RayState>> rays;
    input::SimulationConfig cfg;
    cfg.ssp.x_ssp_m = cfg.ssp.y_ssp_m = {-3000.0f, 3000.0f};
    cfg.ssp.z_ssp_m = {0.0f, 400.0f};
    cfg.ssp.c_m_s = {1500, 1530, 1500, 1530, 1500, 1530, 1500, 1530};
    cfg.bathymetry.x_bty_m = cfg.bathymetry.y_bty_m = {-3000.0f, 3000.0f};
    cfg.bathymetry.z_bty_m = {300.0f, 120.0f, 260.0f, 90.0f};
    cfg.source.position = {10.0f, -20.0f, 60.0f};
    cfg.beam = {.step_m = 25.0f, .max_steps = 400, .max_range_m = 900.0f};
    const ssp::SSPFields ssp = ssp::init_ssp(cfg);
    const bty::BTYfield bty = bty::init_bty(cfg);
    std::uniform_real_distribution<float> angle(-1.4f, 1.4f), azim(0.0f, 6.2831855f);
    for (int k = 0; k < 6; ++k)
        rays.push_back(rays::trace_ray(cfg, ssp, bty, azim(rng), angle(rng)));

    std::uniform_real_distribution<float> unit(-1.0f, 1.0f), len(0.0005f, 40.0f);
    for (int k = 0; k < 6; ++k) {
        std::vector<RayState> ray;
        RayState st = straight_state({0, 0, 100}, direction(azim(rng), 0.5 * angle(rng)), 0.0);
        for (int i = 0; i < 40; ++i) {
            ray.push_back(st);
            const Vec3 u{unit(rng), unit(rng), 0.5f * unit(rng)};
            const float h = (i % 7 == 3) ? 0.0005f : len(rng);
            st.position = st.position + (h / std::max(norm(u), 1e-3f)) * u;
            st.slowness = (1.0f / (kC * std::max(norm(u), 1e-3f))) * u;
            st.travel_time += h / kC;
            st.phi += 0.3f * unit(rng);
            st.q_tilde = {st.q_tilde.x + 3e3f * h * unit(rng),
                          st.q_tilde.y + 1e3f * h * unit(rng)};
            st.q_hat = {st.q_hat.x + 1e3f * h * unit(rng), st.q_hat.y + 3e3f * h * unit(rng)};
        }
        rays.push_back(std::move(ray));
    }
    return rays;
}

struct Layout {
    const char* name;
    std::string type;
    std::vector<float> x, y, z;
};

// Grids with ascending, unordered and repeated axes; arrays scattered in a volume, on a
// plane, on a line, clustered, and with non-finite points.
std::vector<Layout> layouts(std::mt19937& rng) {
    std::uniform_real_distribution<float> h(-900.0f, 900.0f), d(0.0f, 320.0f);
    std::vector<Layout> out;
    std::vector<float> gx, gy, gz;
    for (int i = 0; i < 31; ++i)
        gx.push_back(-900.0f + 60.0f * static_cast<float>(i));
    for (int i = 0; i < 23; ++i)
        gy.push_back(-880.0f + 80.0f * static_cast<float>(i));
    for (int i = 0; i < 9; ++i)
        gz.push_back(5.0f + 38.0f * static_cast<float>(i));
    out.push_back({"grid", "grid", gx, gy, gz});
    std::vector<float> ux = gx, uy = gy;
    std::shuffle(ux.begin(), ux.end(), rng);
    std::reverse(uy.begin(), uy.end());
    uy.push_back(uy[3]);
    out.push_back({"grid_unordered", "grid", ux, uy, {200.0f, 30.0f, 30.0f, kInf}});
    Layout volume{"array_volume", "array", {}, {}, {}};
    Layout plane{"array_plane", "ARRAY", {}, {}, {}};
    Layout line{"array_line", "array", {}, {}, {}};
    Layout cluster{"array_cluster", "array", {}, {}, {}};
    for (int i = 0; i < 3000; ++i) {
        volume.x.push_back(h(rng)), volume.y.push_back(h(rng)), volume.z.push_back(d(rng));
        plane.x.push_back(h(rng)), plane.y.push_back(h(rng)), plane.z.push_back(30.0f);
        line.x.push_back(20.0f), line.y.push_back(0.1f * h(rng)), line.z.push_back(d(rng));
        const float r = (i % 2) ? 2.0f : 800.0f;
        cluster.x.push_back(r * std::sin(static_cast<float>(i)));
        cluster.y.push_back(r * std::cos(static_cast<float>(i)));
        cluster.z.push_back(i % 3 ? 70.0f : std::numeric_limits<float>::quiet_NaN());
    }
    // Receivers a hair apart near the source, and two at the far ends of the float range.
    Layout extreme{"array_extreme", "array", {3e38f, -3e38f}, {0.0f, 0.0f}, {60.0f, 60.0f}};
    for (int i = 0; i < 200; ++i) {
        extreme.x.push_back(1e-7f * static_cast<float>(i));
        extreme.y.push_back(5.0f);
        extreme.z.push_back(90.0f);
    }
    out.insert(out.end(), {volume, plane, line, cluster, extreme});
    return out;
}

} // namespace search

// The search visits only the receivers near each segment; they must get exactly what a scan
// of every receiver gives them, bit for bit, whatever the cell size and whatever the lane
// width of the kernel (the reference is the one-lane kernel over the full scan).
TEST(BeamInfluence, SearchAndLanesGiveExactlyTheScalarFullScan) {
    std::mt19937 rng(20261208);
    const auto rays = search::random_rays(rng);
    const std::vector<float> omegas{628.0f, 1900.0f};
    const auto run = [&](const input::SimulationConfig& cfg, const ReceiverSet& set,
                         LaneWidth lanes) {
        TestField f = make_field(cfg);
        InfluenceWorkspace work;
        work.lanes = lanes;
        for (auto ray : rays)
            gaussian_beam_influence(ray, f, set, kRigid, omegas, {0.2f, 0.02f, 0.03f, 0}, work);
        return f;
    };
    const auto same_bits = [](const PressureField& a, const PressureField& b) {
        return std::memcmp(a.pressure.data.data(), b.pressure.data.data(),
                           a.pressure.size() * sizeof(Complex32)) == 0 &&
               std::memcmp(a.delay_s.data.data(), b.delay_s.data.data(),
                           a.delay_s.size() * sizeof(float)) == 0 &&
               std::memcmp(a.amplitude.data.data(), b.amplitude.data.data(),
                           a.amplitude.size() * sizeof(float)) == 0;
    };
    for (const search::Layout& layout : search::layouts(rng)) {
        SCOPED_TRACE(layout.name);
        const auto cfg = make_config(layout.type, layout.x, layout.y, layout.z, 2);
        const TestField full = run(
            cfg, prepare_receivers(cfg.receivers, ReceiverSearch::FullScan), LaneWidth::One);
        std::size_t reached = 0;
        for (const float d : full.delay_s.data)
            reached += d < kInf;
        // (The extreme layout checks the cells only: no beam comes near its receivers.)
        if (std::string_view(layout.name) != "array_extreme") {
            EXPECT_GT(reached, full.delay_s.size() / 100);
        }
        for (const LaneWidth lanes : available_lane_widths()) {
            for (const float scale : {0.3f, 1.0f, 3.0f}) {
                const ReceiverSet set =
                    prepare_receivers(cfg.receivers, ReceiverSearch::Indexed, scale);
                EXPECT_TRUE(same_bits(run(cfg, set, lanes), full))
                    << static_cast<int>(lanes) << " lanes, cells x" << scale;
            }
        }
    }
}

// Segments searched together: every receiver a segment can take (s in [-band, 1] of its own
// segment, within its rb) must lie in the group's cover and within the segment's stretch of
// the chord, on bending polylines with radii that change along them.
TEST(BeamInfluence, CoverHoldsEveryReceiverItsSegmentsCanTake) {
    std::mt19937 rng(20261209);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 2 + static_cast<std::size_t>(trial) % (kMaxCoveredSegments - 1);
        const float step = 1.0f + 20.0f * std::fabs(unit(rng));
        Vec3 a{1000.0f * unit(rng), 1000.0f * unit(rng), 50.0f + 40.0f * unit(rng)};
        Vec3 dir{1.0f, 0.3f * unit(rng), 0.3f * unit(rng)};
        std::vector<SegmentReach> reaches;
        for (std::size_t k = 0; k < n; ++k) {
            dir = dir + Vec3{0.0f, 0.05f * unit(rng), 0.05f * unit(rng)};
            const Vec3 d = (step / norm(dir)) * dir;
            const float rb = 30.0f + 10.0f * unit(rng);
            reaches.push_back({a, d, dot(d, d), rb});
            a = a + d;
        }
        const std::optional<SegmentCover> cover = cover_reaches(reaches);
        ASSERT_TRUE(cover.has_value());
        const SegmentReach& c = cover->reach;
        for (std::size_t k = 0; k < n; ++k) {
            const SegmentReach& g = reaches[k];
            const Vec3 side = norm(cross(g.d, {0.0f, 0.0f, 1.0f})) > 0.0f
                                  ? cross(g.d, {0.0f, 0.0f, 1.0f})
                                  : Vec3{1.0f, 0.0f, 0.0f};
            const Vec3 e1 = (1.0f / norm(side)) * side;
            const Vec3 e2 = (1.0f / norm(g.d)) * cross(g.d, e1);
            for (int j = 0; j < 50; ++j) {
                // The extremes of the reach: s at its ends, offsets on the radius.
                const float s =
                    j % 2 == 0 ? (j % 4 == 0 ? -kHandoverBand : 1.0f) : 0.5f + 0.5f * unit(rng);
                const float angle = kPi * unit(rng);
                const Vec3 r =
                    g.a + s * g.d + g.rb * (std::cos(angle) * e1 + std::sin(angle) * e2);
                const float t = along_chord(*cover, r.x, r.y, r.z);
                EXPECT_GE(t, cover->t_lo[k]);
                EXPECT_LE(t, cover->t_hi[k]);
                const float sc = dot(r - c.a, c.d) / c.l2;
                EXPECT_GE(sc, 0.0f);
                EXPECT_LE(sc, 1.0f);
                EXPECT_LE(norm(r - (c.a + sc * c.d)), c.rb);
            }
        }
    }
}

// A sheared tube (q_tilde with a component along e2, as a reflection off a slope leaves it)
// weights the four quadrants around the ray differently: with scaled q_tilde = (1.5, 0.75),
// q_hat = (0, 1.5) at the receivers' projection, the offsets (1.5, 1.5) and (1.5, -1.5) along
// the tube's normals lie at (a, b) = (1, 0.5) and (1, -1.5) fan spacings, a ratio of e in the
// Gaussian. After an odd number of reflections the tube's first normal is -e1, so the two
// receivers trade places.
class ShearedTube : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ShearedTube, SignedOffsetsPickTheQuadrant) {
    const std::uint32_t bounces = GetParam();
    std::vector<RayState> ray = straight_ray({0.0, 0.0, 500.0}, 0.0, 0.0, 100.0, 2);
    for (RayState& st : ray) {
        st.q_tilde.y = 0.5f * st.q_tilde.x;
        st.surface_bounces = bounces;
    }
    // Ray along +y: e1 = (0, 0, -1), e2 = (-1, 0, 0); receivers at s = 150 m, where the
    // scaled q vectors (x 0.01 / c) are as above.
    const float u1 = 1.5f;
    TestField f = make_field("array", {-u1, u1}, {150.0f, 150.0f}, {500.0f - u1, 500.0f - u1});
    add_beam(ray, f, kRigid, std::vector<float>{100.0f}, 0.0f, 0.01f, 0.01f);
    const double ratio = std::abs(at(f, 0, 0)) / std::abs(at(f, 0, 1));
    EXPECT_NEAR(ratio, bounces % 2 ? std::exp(-1.0) : std::exp(1.0), 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Bounces, ShearedTube, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param ? "Odd" : "Even"; });

// Near a reflection a receiver is reached by two image sources: the incident leg continued
// past the boundary and the reflected leg continued back before it. For a ray rising at 30
// degrees to a pressure-release surface, the reflected ray is the mirror image of the straight
// ray through the surface, so at every receiver near the reflection point the reflected ray's
// field is the straight ray's field there minus the straight ray's field at the mirror point.
TEST(BeamInfluence, ReflectedBeamIsTheSumOfItsTwoImages) {
    const double el = -kPiD / 6.0;
    const auto straight = straight_ray({0, 0, 100}, 0.0, el, 20.0, 20); // z = 0 at s = 200
    auto reflected = straight;
    for (std::size_t i = 10; i < reflected.size(); ++i) {
        RayState& st = reflected[i];
        st.position.z = -st.position.z;
        st.slowness.z = -st.slowness.z;
        st.surface_bounces = 1;
        st.phase = kPi;
    }
    // The tracer records the incident state at the reflection point.
    const RayState& hit = straight[10];
    reflected[10].event = {.kind = kEventNone,
                           .normal = {0.0f, 0.0f, -1.0f},
                           .incident_slowness = hit.slowness,
                           .sound_speed = hit.sound_speed,
                           .incident_phi = hit.phi,
                           .incident_p_tilde = hit.p_tilde,
                           .incident_p_hat = hit.p_hat};
    std::vector<float> xs{0.0f, 1.0f}, ys{170.0f, 175.0f, 180.0f}, zs{1.0f, 2.0f}, mirror_zs;
    for (float z : zs)
        mirror_zs.push_back(-z);
    const std::vector<float> omegas{2.0f * kPi * 50.0f};
    const auto run = [&](std::vector<RayState> ray, const std::vector<float>& z) {
        TestField f = make_field("grid", xs, ys, z);
        add_beam(ray, f, kRigid, omegas, static_cast<float>(el), 0.01f, 0.01f);
        return f;
    };
    const PressureField refl = run(reflected, zs);
    const PressureField direct = run(straight, zs);
    const PressureField image = run(straight, mirror_zs);
    for (std::size_t r = 0; r < refl.delay_s.size(); ++r) {
        const std::complex<double> want = at(direct, 0, r) - at(image, 0, r);
        EXPECT_GT(std::abs(at(direct, 0, r)), 0.0) << r;
        EXPECT_LT(std::abs(at(refl, 0, r) - want), 1e-4 * std::abs(at(direct, 0, r))) << r;
    }
}

// A state of a traced ray split by an extra state 1e-9 m along (as a step that ends a hair
// short of a boundary leaves one) must leave the field alone: the beam is the physics of the
// ray, not of where its steps fall. Every state of a ray bouncing between a pressure-release
// surface and a rigid bottom is split, just after it and just before the next one (also on
// both sides of every reflection); receivers fill the guide, the boundaries' neighbourhood
// included.
TEST(BeamInfluence, AMicroStepAnywhereLeavesTheFieldAlone) {
    input::SimulationConfig cfg;
    cfg.ssp.x_ssp_m = cfg.ssp.y_ssp_m = {-2000.0f, 2000.0f};
    cfg.ssp.z_ssp_m = {0.0f, 110.0f};
    cfg.ssp.c_m_s.assign(8, kC);
    cfg.bathymetry.x_bty_m = cfg.bathymetry.y_bty_m = {-2000.0f, 2000.0f};
    cfg.bathymetry.z_bty_m.assign(4, 100.0f);
    cfg.source.position = {0.0f, 0.0f, 40.0f};
    cfg.beam = {.step_m = 10.0f,
                .max_steps = 1000,
                .max_range_m = 600.0f,
                .integration_method = input::IntegrationMethod::Rk2};
    const ssp::SSPFields ssp = ssp::init_ssp(cfg);
    const bty::BTYfield bty = bty::init_bty(cfg);
    const std::vector<RayState> ray = rays::trace_ray(cfg, ssp, bty, 0.05f, 0.6f);
    std::vector<float> ys, zs{1.0f, 10.0f, 50.0f, 90.0f, 99.0f};
    for (int i = 1; i <= 30; ++i)
        ys.push_back(20.0f * static_cast<float>(i));
    const std::vector<float> omegas{628.0f, 1885.0f};
    const auto field_of = [&](std::vector<RayState> r) {
        TestField f = make_field("grid", {-6.0f, 0.0f, 6.0f}, ys, zs, 2);
        add_beam(r, f, kRigid, omegas, 0.6f, 0.02f, 0.02f);
        return f;
    };
    const TestField whole = field_of(ray);
    double peak = 0.0;
    for (const Complex32 p : whole.pressure.data)
        peak = std::max(peak, std::hypot(double{p.re}, double{p.im}));
    ASSERT_GT(peak, 0.0);

    std::size_t reflections = 0;
    for (std::size_t i = 0; i + 1 < ray.size(); ++i) {
        reflections += ray[i + 1].surface_bounces + ray[i + 1].bottom_bounces >
                       ray[i].surface_bounces + ray[i].bottom_bounces;
        for (const bool after_start : {true, false}) {
            // The new state lies on the segment i -> i + 1 and belongs to it: the leg of state
            // i, with no event, everything else interpolated.
            const RayState &a = ray[i], &b = ray[i + 1];
            const Vec3 d = b.position - a.position;
            const float f = 1e-9f / std::max(norm(d), 1e-9f);
            const float t = after_start ? f : 1.0f - f;
            RayState mid = a;
            mid.event = ReflectionEvent{};
            mid.position = a.position + t * d;
            mid.travel_time = a.travel_time + t * (b.travel_time - a.travel_time);
            mid.q_tilde = {a.q_tilde.x + t * (b.q_tilde.x - a.q_tilde.x),
                           a.q_tilde.y + t * (b.q_tilde.y - a.q_tilde.y)};
            mid.q_hat = {a.q_hat.x + t * (b.q_hat.x - a.q_hat.x),
                         a.q_hat.y + t * (b.q_hat.y - a.q_hat.y)};
            std::vector<RayState> split = ray;
            split.insert(split.begin() + static_cast<std::ptrdiff_t>(i) + 1, mid);
            const TestField f_split = field_of(split);
            double worst = 0.0;
            for (std::size_t k = 0; k < whole.pressure.size(); ++k) {
                const Complex32 p = whole.pressure.data[k], q = f_split.pressure.data[k];
                worst = std::max(worst, std::hypot(double{p.re} - q.re, double{p.im} - q.im));
            }
            EXPECT_LT(worst, 1e-4 * peak) << "state " << i << (after_start ? " +" : " -");
        }
    }
    EXPECT_GE(reflections, 4u);
}

// The summation's own sine, cosine and exponential against double-precision references:
// the error bounds quoted in the header, over the phases a run meets (to 1.5 M rad, also
// just off multiples of pi/2 where the reduction cancels) and the Gaussian weights' range,
// and the C library's sincosf beyond.
TEST(LaneFunctions, StayWithinTheirErrorBounds) {
    std::mt19937 rng(7);
    std::vector<float> x;
    // Phases of short and of long paths at high frequencies, multiples of pi/2 (where the
    // reduction cancels most), Gaussian exponents.
    std::uniform_real_distribution<float> phase(-12000.0f, 12000.0f), far(-1.5e6f, 1.5e6f),
        weight(-87.0f, 88.0f);
    for (int i = 0; i < 200000; ++i) {
        x.push_back(phase(rng));
        x.push_back(far(rng));
        x.push_back(std::nextafter(static_cast<float>(i % 7000) * 1.5707964f, 0.0f));
        x.push_back(std::nextafter(static_cast<float>(i * 4) * 1.5707964f, 0.0f));
        x.push_back(weight(rng));
    }
    x.push_back(2e6f);
    x.push_back(-1e7f);
    std::vector<float> s(x.size()), c(x.size()), e(x.size());
    evaluate_lane_functions(LaneWidth::One, x, s, c, e);
    // Every lane width computes the very same bits.
    for (const LaneWidth lanes : available_lane_widths()) {
        std::vector<float> sw(x.size()), cw(x.size()), ew(x.size());
        evaluate_lane_functions(lanes, x, sw, cw, ew);
        EXPECT_EQ(0, std::memcmp(sw.data(), s.data(), s.size() * sizeof(float)));
        EXPECT_EQ(0, std::memcmp(cw.data(), c.data(), c.size() * sizeof(float)));
        EXPECT_EQ(0, std::memcmp(ew.data(), e.data(), e.size() * sizeof(float)));
    }
    double worst_trig = 0.0, worst_exp = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double xi = x[i];
        if (std::fabs(x[i]) > 1.5e6f) {
            float sn, cs;
            ::sincosf(x[i], &sn, &cs);
            EXPECT_EQ(s[i], sn);
            EXPECT_EQ(c[i], cs);
            continue;
        }
        worst_trig = std::max(
            {worst_trig, std::fabs(s[i] - std::sin(xi)), std::fabs(c[i] - std::cos(xi))});
        if (xi >= -87.0 && xi <= 88.0) {
            const double exact = std::exp(xi);
            worst_exp = std::max(worst_exp, std::fabs(e[i] - exact) / exact);
        }
    }
    EXPECT_LE(worst_trig, std::ldexp(1.0, -23));
    EXPECT_LE(worst_exp, 2.0 * std::ldexp(1.0, -23));
}

// The search radii and continuation lengths go through larger/smaller instead of the library's
// fmax/fmin: the same value for every pair, a NaN operand ignored.
TEST(Bounds, LargerAndSmallerAreFmaxAndFmin) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float values[] = {0.0f, -0.0f, 1.0f, -1.0f, nan, -nan, kInf, -kInf, 1e-40f};
    const auto same = [](float x, float y) { return x == y || (x != x && y != y); };
    for (const float a : values) {
        for (const float b : values) {
            EXPECT_TRUE(same(larger(a, b), std::fmax(a, b))) << a << ", " << b;
            EXPECT_TRUE(same(smaller(a, b), std::fmin(a, b))) << a << ", " << b;
        }
    }
}

} // namespace
} // namespace kelp::influence
