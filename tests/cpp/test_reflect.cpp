// Surface and bottom reflection of the last ray state: geometry, counters, events and the
// carrying of the dynamic-ray quantities across the boundary.

#include "test_names.hpp"

#include "input/constants.hpp"
#include "reflect/reflect.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kelp {
namespace {

using rays::RayState;

constexpr float kC = 1500.0f;

// Bottom on the axes x = [0, 1000], y = [0, 1000] with the four corner depths z00, z01, z10,
// z11 (y fastest).
bty::BTYfield make_bottom(float z00, float z01, float z10, float z11) {
    input::SimulationConfig cfg;
    cfg.bathymetry.x_bty_m = {0.0f, 1000.0f};
    cfg.bathymetry.y_bty_m = {0.0f, 1000.0f};
    cfg.bathymetry.z_bty_m = {z00, z01, z10, z11};
    return bty::init_bty(cfg);
}

bty::BTYfield flat_bottom(float depth) {
    return make_bottom(depth, depth, depth, depth);
}

// A state travelling in the unit direction u at speed kC, with a generic set of dynamic-ray
// vectors so that their fate across the boundary is visible.
RayState make_state(Vec3 position, Vec3 u, float phi = 0.0f) {
    RayState s;
    s.position = position;
    s.slowness = {u.x / kC, u.y / kC, u.z / kC};
    s.phi = phi;
    s.sound_speed = kC;
    s.travel_time = 3.0f;
    s.p_tilde = {0.8f, -0.3f};
    s.p_hat = {0.25f, 1.1f};
    s.q_tilde = {40.0f, 5.0f};
    s.q_hat = {-7.0f, 60.0f};
    return s;
}

Vec3 unit(Vec3 v) {
    const float n = norm(v);
    return {v.x / n, v.y / n, v.z / n};
}

struct Reflected {
    RayState state;
    unsigned moved;
};

Reflected reflect_one(const RayState& s, const bty::BTYfield& bty) {
    std::vector<RayState> ray{RayState{}, s};
    bty::BTYCursor cur = bty::init_bty_cursor({s.position.x, s.position.y}, bty);
    const unsigned moved = reflect::reflect_boundaries(ray, bty, cur);
    EXPECT_EQ(ray.size(), 2u) << "reflection must never append";
    return {ray.back(), moved};
}

TEST(SurfaceReflection, AtZeroDepthFlipsTzAndKeepsHorizontalPosition) {
    const Vec3 u = unit({0.3f, 0.5f, -0.6f});
    RayState s = make_state({12.0f, 34.0f, 0.0f}, u);
    s.phase = 0.5f;
    s.surface_bounces = 2;
    const auto [r, moved] = reflect_one(s, flat_bottom(100.0f));

    EXPECT_EQ(r.position.x, 12.0f);
    EXPECT_EQ(r.position.y, 34.0f);
    EXPECT_EQ(r.position.z, 1e-9f);
    EXPECT_EQ(moved, reflect::kMovedZ);
    EXPECT_EQ(r.slowness.x, s.slowness.x);
    EXPECT_EQ(r.slowness.y, s.slowness.y);
    EXPECT_EQ(r.slowness.z, -s.slowness.z);
    EXPECT_EQ(r.surface_bounces, 3u);
    EXPECT_EQ(r.bottom_bounces, 0u);
    EXPECT_EQ(r.phase, 0.5f + kPi);
    EXPECT_EQ(r.event.kind, rays::kEventNone);
    EXPECT_EQ(r.travel_time, s.travel_time);
    EXPECT_EQ(r.sound_speed, s.sound_speed);
}

TEST(SurfaceReflection, AboveSurfaceMovesBackAlongTheSlowness) {
    const Vec3 u = unit({0.3f, -0.5f, -0.6f});
    const RayState s = make_state({12.0f, 34.0f, -0.5f}, u);
    const auto [r, moved] = reflect_one(s, flat_bottom(100.0f));

    const float back = -(-0.5f) / s.slowness.z; // negative: back up the ray
    EXPECT_EQ(r.position.x, 12.0f + back * s.slowness.x);
    EXPECT_EQ(r.position.y, 34.0f + back * s.slowness.y);
    EXPECT_EQ(r.position.z, 1e-9f);
    EXPECT_EQ(moved, reflect::kMovedX | reflect::kMovedY | reflect::kMovedZ);
    // Rising 0.6 per 0.3 of x and -0.5 of y: 0.5 m of height back is 0.25 m of x, -0.4167 of y.
    EXPECT_NEAR(r.position.x, 11.75, 1e-5);
    EXPECT_NEAR(r.position.y, 34.0 + 0.5 * 0.5 / 0.6, 1e-5);
    EXPECT_EQ(r.surface_bounces, 1u);
}

TEST(SurfaceReflection, DownwardStateAboveSurfaceIsLeftToTheBottomTest) {
    const Vec3 u = unit({0.0f, 0.6f, 0.8f});
    const RayState s = make_state({100.0f, 100.0f, -0.2f}, u);

    const auto [r, moved] = reflect_one(s, flat_bottom(100.0f));
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(r.surface_bounces, 0u);
    EXPECT_EQ(r.slowness.z, s.slowness.z);

    // With the bottom above the point (a depth of -1 m), the same state is a bottom hit.
    const auto [rb, moved_b] = reflect_one(s, flat_bottom(-1.0f));
    EXPECT_EQ(rb.bottom_bounces, 1u);
    EXPECT_EQ(rb.surface_bounces, 0u);
    EXPECT_EQ(rb.event.kind, rays::kEventBottom);
    EXPECT_NE(moved_b, 0u);
}

TEST(BottomReflection, FlatBottomBelowDepthMovingDown) {
    const Vec3 u = unit({0.4f, 0.2f, 0.5f});
    RayState s = make_state({300.0f, 400.0f, 100.75f}, u);
    s.bottom_bounces = 4;
    const auto [r, moved] = reflect_one(s, flat_bottom(100.0f));

    const float back = (100.0f - 100.75f) * 1.0f / s.slowness.z;
    EXPECT_EQ(r.position.x, 300.0f + back * s.slowness.x);
    EXPECT_EQ(r.position.y, 400.0f + back * s.slowness.y);
    EXPECT_EQ(r.position.z, 100.0f); // the 1e-9 m nudge is below the resolution of 100 m
    EXPECT_EQ(moved, reflect::kMovedX | reflect::kMovedY | reflect::kMovedZ);
    EXPECT_EQ(r.slowness.x, s.slowness.x);
    EXPECT_EQ(r.slowness.y, s.slowness.y);
    EXPECT_EQ(r.slowness.z, -s.slowness.z);
    EXPECT_EQ(r.bottom_bounces, 5u);
    EXPECT_EQ(r.surface_bounces, 0u);
    EXPECT_EQ(r.phase, s.phase);

    EXPECT_EQ(r.event.kind, rays::kEventBottom);
    EXPECT_EQ(r.event.normal.x, 0.0f);
    EXPECT_EQ(r.event.normal.y, 0.0f);
    EXPECT_EQ(r.event.normal.z, 1.0f);
    EXPECT_EQ(r.event.incident_slowness.z, s.slowness.z);
    EXPECT_EQ(r.event.incident_slowness.x, s.slowness.x);
    EXPECT_EQ(r.event.sound_speed, kC);
}

TEST(BottomReflection, ExactlyAtDepthReflectsAndJustAboveDoesNot) {
    const Vec3 u = unit({0.0f, 0.6f, 0.8f});
    const bty::BTYfield bottom = flat_bottom(100.0f);

    const auto [at, moved_at] = reflect_one(make_state({50.0f, 50.0f, 100.0f}, u), bottom);
    EXPECT_EQ(at.bottom_bounces, 1u);
    EXPECT_EQ(at.position.z, 100.0f);
    EXPECT_LT(at.slowness.z, 0.0f);
    // Already on the plane: the back-projection is zero, so nothing is moved.
    EXPECT_EQ(moved_at, 0u);

    const float above = std::nextafter(100.0f, 0.0f);
    const auto [r, moved] = reflect_one(make_state({50.0f, 50.0f, above}, u), bottom);
    EXPECT_EQ(r.bottom_bounces, 0u);
    EXPECT_EQ(r.event.kind, rays::kEventNone);
    EXPECT_EQ(moved, 0u);
}

TEST(BottomReflection, BelowBottomMovingAwayIsLeftAloneAndEventCleared) {
    const Vec3 u = unit({0.0f, 0.6f, -0.8f});
    RayState s = make_state({50.0f, 50.0f, 101.0f}, u);
    s.event.kind = rays::kEventBottom; // stale from a copy: cleared on every call
    const auto [r, moved] = reflect_one(s, flat_bottom(100.0f));
    EXPECT_EQ(r.event.kind, rays::kEventNone);
    EXPECT_EQ(r.position.z, 101.0f);
    EXPECT_EQ(r.slowness.z, s.slowness.z);
    EXPECT_EQ(moved, 0u);
}

TEST(BottomReflection, ShallowBottomAtZeroKeepsTheNudge) {
    // On a bottom at depth 0 the 1e-9 m nudge towards the water is representable.
    const Vec3 u = unit({0.0f, 0.6f, 0.8f});
    const auto [r, moved] = reflect_one(make_state({50.0f, 50.0f, 0.0f}, u), flat_bottom(0.0f));
    EXPECT_EQ(r.bottom_bounces, 1u);
    EXPECT_EQ(r.position.z, -1e-9f);
    EXPECT_EQ(moved, reflect::kMovedZ);
}

// Bottom deepening along x by 0.1 m per m: depth 100 + 0.1 x, inward normal (-0.1, 0, 1) / |.|.
TEST(BottomReflection, SlopedBottomIsSpecularAndLandsOnTheTangentPlane) {
    const bty::BTYfield bottom = make_bottom(100.0f, 100.0f, 200.0f, 200.0f);
    const Vec3 u = unit({0.7f, 0.2f, 0.4f});
    const RayState s = make_state({500.0f, 300.0f, 152.0f}, u); // depth there: 150
    const auto [r, moved] = reflect_one(s, bottom);
    ASSERT_EQ(r.bottom_bounces, 1u);

    const double inv = 1.0 / std::sqrt(1.01);
    const double n[3] = {-0.1 * inv, 0.0, inv};
    EXPECT_NEAR(r.event.normal.x, n[0], 1e-7);
    EXPECT_NEAR(r.event.normal.y, n[1], 1e-7);
    EXPECT_NEAR(r.event.normal.z, n[2], 1e-7);

    // Specular: equal angles to the normal, the same length, and the change along n only.
    const double ti[3] = {s.slowness.x, s.slowness.y, s.slowness.z};
    const double to[3] = {r.slowness.x, r.slowness.y, r.slowness.z};
    const double dot_in = ti[0] * n[0] + ti[1] * n[1] + ti[2] * n[2];
    const double dot_out = to[0] * n[0] + to[1] * n[1] + to[2] * n[2];
    EXPECT_GT(dot_in, 0.0);
    EXPECT_NEAR(dot_out, -dot_in, 1e-6 * kC * dot_in);
    EXPECT_NEAR(std::hypot(to[0], to[1], to[2]), 1.0 / kC, 1e-7 / kC);
    const double tangential_change = (to[1] - ti[1]);
    EXPECT_NEAR(tangential_change, 0.0, 1e-12);
    EXPECT_NEAR((to[0] - ti[0]) / n[0], (to[2] - ti[2]) / n[2], 1e-9);

    // The reflected point lies on the plane through (500, 300, 150) with normal n, on the
    // incident line. Float positions near 500 carry ~3e-5 m of rounding.
    const double px = r.position.x - 500.0, py = r.position.y - 300.0,
                 pz = r.position.z - 150.0;
    EXPECT_NEAR(px * n[0] + py * n[1] + pz * n[2], 0.0, 1e-4);
    const double back = (r.position.z - 152.0) / u.z;
    EXPECT_NEAR(r.position.x, 500.0 + back * u.x, 1e-4);
    EXPECT_NEAR(r.position.y, 300.0 + back * u.y, 1e-4);
    EXPECT_EQ(moved, reflect::kMovedX | reflect::kMovedY | reflect::kMovedZ);
}

TEST(BottomReflection, NormalIsTurnedIntoTheBottom) {
    // A bottom shallower towards +x seen from a ray moving towards -x: the event normal keeps
    // z >= 0 and the ray is reflected back up the slope.
    const bty::BTYfield bottom = make_bottom(200.0f, 200.0f, 100.0f, 100.0f);
    const auto [r, moved] =
        reflect_one(make_state({500.0f, 500.0f, 151.0f}, unit({-0.5f, 0.0f, 0.5f})), bottom);
    ASSERT_EQ(r.bottom_bounces, 1u);
    EXPECT_GT(r.event.normal.z, 0.0f);
    EXPECT_GT(r.event.normal.x, 0.0f);
    EXPECT_LT(r.slowness.z, 0.0f);
    EXPECT_NE(moved, 0u);
}

// For every basis rotation the frame change in and out of the boundary plane is a rotation, so
// p comes back unchanged up to rounding, q and the kinematic scalars are untouched, and det_q
// is refreshed from q.
class DynamicQuantitiesAcrossBoundary : public ::testing::TestWithParam<float> {};

TEST_P(DynamicQuantitiesAcrossBoundary, PUnchangedAndDetQRefreshed) {
    const float phi = GetParam();
    const bty::BTYfield sloped = make_bottom(100.0f, 100.0f, 200.0f, 200.0f);
    const RayState hits[2] = {
        make_state({500.0f, 300.0f, 152.0f}, unit({0.7f, 0.2f, 0.4f}), phi),
        make_state({500.0f, 300.0f, -0.3f}, unit({0.2f, -0.6f, -0.5f}), phi)};
    for (const RayState& s : hits) {
        const auto [r, moved] = reflect_one(s, sloped);
        ASSERT_EQ(r.surface_bounces + r.bottom_bounces, 1u);
        // a^2 + b^2 = 1 holds to a few ulps; p of order 1 comes back within ~1e-6.
        EXPECT_NEAR(r.p_tilde.x, s.p_tilde.x, 2e-6);
        EXPECT_NEAR(r.p_tilde.y, s.p_tilde.y, 2e-6);
        EXPECT_NEAR(r.p_hat.x, s.p_hat.x, 2e-6);
        EXPECT_NEAR(r.p_hat.y, s.p_hat.y, 2e-6);
        EXPECT_EQ(r.q_tilde.x, s.q_tilde.x);
        EXPECT_EQ(r.q_hat.y, s.q_hat.y);
        EXPECT_EQ(r.det_q, 40.0f * 60.0f - 5.0f * -7.0f);
        EXPECT_EQ(r.travel_time, s.travel_time);
        EXPECT_EQ(r.amplitude, s.amplitude);
        EXPECT_TRUE(std::isfinite(r.phi));
        EXPECT_GE(r.phi, phi);
        EXPECT_LE(r.phi, phi + 2.0f * kPi);
    }
}

INSTANTIATE_TEST_SUITE_P(Phi, DynamicQuantitiesAcrossBoundary,
                         ::testing::Values(0.0f, 0.3f, 1.0f, -2.0f, kTwoPi),
                         [](const auto& info) {
                             return "Phi" + test::number_name(info.param);
                         });

TEST(DynamicQuantities, SurfaceHitInTheVerticalPlaneTurnsPhiByTwoPi) {
    // Azimuth 0 (along +y) rising at 30 degrees: e1 = (0, -sin, -cos), e2 = (-1, 0, 0) and the
    // boundary frame m = (1, 0, 0), v = (0, -sin, -cos), so a = d = -1, b = 0 and phi grows by
    // 2 acos(-1). acos is ill-conditioned at -1: a rounding of a by one ulp moves the result by
    // ~3.5e-4 rad, hence the tolerance.
    const RayState s = make_state({0.0f, 0.0f, -0.1f}, {0.0f, 0.8660254f, -0.5f});
    const auto [r, moved] = reflect_one(s, flat_bottom(100.0f));
    EXPECT_NEAR(r.phi, 2.0f * kPi, 1e-3f);
    EXPECT_NEAR(r.p_tilde.x, s.p_tilde.x, 2e-6);
    EXPECT_NEAR(r.p_hat.y, s.p_hat.y, 2e-6);
}

TEST(DynamicQuantities, NormalIncidenceZeroesPAndTurnsPhiByPi) {
    // A ray exactly along the normal has no plane of incidence: a = b = d = 0. It also has no
    // horizontal slowness, so this checks that the fixed vertical frame keeps it finite.
    const RayState down = make_state({10.0f, 10.0f, 100.5f}, {0.0f, 0.0f, 1.0f}, 0.25f);
    const auto [r, moved] = reflect_one(down, flat_bottom(100.0f));
    ASSERT_EQ(r.bottom_bounces, 1u);
    EXPECT_EQ(r.slowness.z, -down.slowness.z);
    EXPECT_EQ(r.position.z, 100.0f);
    EXPECT_EQ(r.p_tilde.x, 0.0f);
    EXPECT_EQ(r.p_tilde.y, 0.0f);
    EXPECT_EQ(r.p_hat.x, 0.0f);
    EXPECT_EQ(r.p_hat.y, 0.0f);
    EXPECT_FLOAT_EQ(r.phi, 0.25f + kPi);

    const RayState up = make_state({10.0f, 10.0f, -0.5f}, {0.0f, 0.0f, -1.0f});
    const auto [ru, moved_u] = reflect_one(up, flat_bottom(100.0f));
    ASSERT_EQ(ru.surface_bounces, 1u);
    EXPECT_EQ(ru.position.x, 10.0f);
    EXPECT_EQ(ru.p_tilde.x, 0.0f);
    EXPECT_FLOAT_EQ(ru.phi, kPi);
}

} // namespace
} // namespace kelp
