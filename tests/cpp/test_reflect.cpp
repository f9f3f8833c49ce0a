// Surface and bottom reflection of the last ray state: geometry, counters, events and the
// carrying of the dynamic-ray quantities across the boundary.

#include "core/constants.hpp"
#include "reflect/reflect.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace kelp {
namespace {

using kelp::RayState;

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
    EXPECT_EQ(r.event.kind, kEventNone);
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
    // 0.5 m of height back along a ray rising at |u_z| is 0.5 / |u_z| m of arc, and of travel.
    EXPECT_NEAR(r.travel_time, s.travel_time - (0.5 / std::fabs(u.z)) / kC, 2e-7);
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
    EXPECT_EQ(rb.event.kind, kEventBottom);
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

    EXPECT_EQ(r.event.kind, kEventBottom);
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
    EXPECT_EQ(r.event.kind, kEventNone);
    EXPECT_EQ(moved, 0u);
}

TEST(BottomReflection, BelowBottomMovingAwayIsLeftAloneAndEventCleared) {
    const Vec3 u = unit({0.0f, 0.6f, -0.8f});
    RayState s = make_state({50.0f, 50.0f, 101.0f}, u);
    s.event.kind = kEventBottom; // stale from a copy: cleared on every call
    const auto [r, moved] = reflect_one(s, flat_bottom(100.0f));
    EXPECT_EQ(r.event.kind, kEventNone);
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

Vec3 mirror(Vec3 x, Vec3 n) {
    const float k = 2.0f * dot(x, n);
    return {x.x - k * n.x, x.y - k * n.y, x.z - k * n.z};
}

// In uniform water over a plane boundary the reflected tube is the mirror image of the
// incident one: p and q keep their components on the mirrored normals, and since a mirror
// reverses handedness the stored right-handed frame becomes e1' = -M e1, e2' = M e2 for every
// incoming rotation, boundary and angle, normal incidence included.
struct MirrorCase {
    const char* name;
    Vec3 position, direction;
    float phi;
};

class MirroredFrame : public ::testing::TestWithParam<MirrorCase> {};

TEST_P(MirroredFrame, StoredFrameIsTheMirrorImageAndPQAreKept) {
    const MirrorCase& mc = GetParam();
    const bty::BTYfield sloped = make_bottom(100.0f, 100.0f, 200.0f, 200.0f);
    const RayState s = make_state(mc.position, unit(mc.direction), mc.phi);
    const auto [r, moved] = reflect_one(s, sloped);
    ASSERT_EQ(r.surface_bounces + r.bottom_bounces, 1u);
    const Vec3 n = r.bottom_bounces ? r.event.normal : Vec3{0.0f, 0.0f, -1.0f};
    const RayBasis before = ray_normal_basis(s.slowness, kC, s.phi);
    const RayBasis after = ray_normal_basis(r.slowness, kC, r.phi);
    const Vec3 e1 = mirror(before.e1, n), e2 = mirror(before.e2, n);
    EXPECT_NEAR(after.e1.x, -e1.x, 2e-6f);
    EXPECT_NEAR(after.e1.y, -e1.y, 2e-6f);
    EXPECT_NEAR(after.e1.z, -e1.z, 2e-6f);
    EXPECT_NEAR(after.e2.x, e2.x, 2e-6f);
    EXPECT_NEAR(after.e2.y, e2.y, 2e-6f);
    EXPECT_NEAR(after.e2.z, e2.z, 2e-6f);
    EXPECT_EQ(ray_tube_sign(r), -1.0f);
    EXPECT_EQ(r.p_tilde.x, s.p_tilde.x);
    EXPECT_EQ(r.p_tilde.y, s.p_tilde.y);
    EXPECT_EQ(r.p_hat.x, s.p_hat.x);
    EXPECT_EQ(r.p_hat.y, s.p_hat.y);
    // Put back on the boundary by the arc sigma (< 0), the state's travel time and q move
    // back with it: tau + sigma / c, q + sigma c p. (The arc is measured here from positions
    // near 500 m, whose float spacing is 3e-5 m: 1e-4 of the arc.)
    const double sigma = -norm(r.position - s.position);
    EXPECT_NEAR(r.travel_time, s.travel_time + sigma / kC, 1e-6);
    const double qt = s.q_tilde.x + sigma * kC * s.p_tilde.x;
    const double qh = s.q_hat.y + sigma * kC * s.p_hat.y;
    EXPECT_NEAR(r.q_tilde.x, qt, 1e-4 * std::fabs(qt - s.q_tilde.x) + 1e-3);
    EXPECT_NEAR(r.q_hat.y, qh, 1e-4 * std::fabs(qh - s.q_hat.y) + 1e-3);
    EXPECT_EQ(r.det_q, r.q_tilde.x * r.q_hat.y - r.q_tilde.y * r.q_hat.x);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, MirroredFrame,
    ::testing::Values(
        MirrorCase{"SlopeObliquePhi0", {500.0f, 300.0f, 152.0f}, {0.7f, 0.2f, 0.4f}, 0.0f},
        MirrorCase{"SlopeObliquePhi03", {500.0f, 300.0f, 152.0f}, {0.7f, 0.2f, 0.4f}, 0.3f},
        MirrorCase{
            "SlopeObliquePhiMinus2", {500.0f, 300.0f, 152.0f}, {0.7f, 0.2f, 0.4f}, -2.0f},
        MirrorCase{"SurfacePhi1", {500.0f, 300.0f, -0.3f}, {0.2f, -0.6f, -0.5f}, 1.0f},
        MirrorCase{"SurfacePhiMinus1", {500.0f, 300.0f, -0.3f}, {0.2f, -0.6f, -0.5f}, -1.0f},
        MirrorCase{"SurfaceInVerticalPlane", {0.0f, 0.0f, -0.1f}, {0.0f, 0.866f, -0.5f}, 0.0f},
        MirrorCase{
            "SurfaceNormalIncidence", {10.0f, 10.0f, -0.5f}, {0.0f, 0.0f, -1.0f}, 0.25f}),
    [](const ::testing::TestParamInfo<MirrorCase>& info) {
        return std::string(info.param.name);
    });

// A flat bottom in c = 1500 + g z, met in the plane x = 0 at grazing angle alpha: with
// u = (0, cos, sin), e1 = (0, sin, -cos), e2 = (-1, 0, 0) and n = (0, 0, 1) the neighbouring
// rays of the elevation direction hit the bottom shifted along the ray by cos / sin per unit
// q1, where the incident and reflected rays turn oppositely: p1 jumps by
// 2 g cos^2 / (c^2 sin) q1, p2 not at all (n . e2 = 0).
TEST(DynamicQuantities, GradientAtTheBottomBendsTheReflectedTube) {
    const float g = 0.05f, depth = 100.0f, alpha = 0.3f;
    input::SimulationConfig cfg;
    cfg.ssp.x_ssp_m = {-1e4f, 1e4f};
    cfg.ssp.y_ssp_m = {-1e4f, 1e4f};
    cfg.ssp.z_ssp_m = {0.0f, 1000.0f};
    for (int i = 0; i < 4; ++i) {
        cfg.ssp.c_m_s.push_back(1500.0f);
        cfg.ssp.c_m_s.push_back(1500.0f + g * 1000.0f);
    }
    const ssp::SSPFields field = ssp::init_ssp(cfg);
    const float c = 1500.0f + g * depth;
    RayState s =
        make_state({0.0f, 0.0f, depth + 0.01f}, {0.0f, std::cos(alpha), std::sin(alpha)});
    s.slowness = {0.0f, std::cos(alpha) / c, std::sin(alpha) / c};
    s.sound_speed = c;
    std::vector<RayState> ray{RayState{}, s};
    bty::BTYfield bottom = flat_bottom(depth);
    bty::BTYCursor cur = bty::init_bty_cursor({0.0f, 0.0f}, bottom);
    const ssp::SSPCursor ssp_cur = ssp::init_ssp_cursor(s.position, field);
    reflect::reflect_boundaries(ray, bottom, cur, field, ssp_cur);
    const RayState& r = ray.back();
    ASSERT_EQ(r.bottom_bounces, 1u);
    const float ca = std::cos(alpha), sa = std::sin(alpha);
    const float jump = 2.0f * g * ca * ca / (c * c * sa);
    // The jump acts on q at the bottom, 0.01 / sin(alpha) m of arc back from the state.
    const float sigma_c = -0.01f / sa * c;
    const float qt = s.q_tilde.x + sigma_c * s.p_tilde.x, qh = s.q_hat.x + sigma_c * s.p_hat.x;
    EXPECT_NEAR(r.p_tilde.x, s.p_tilde.x + jump * qt, 1e-6f);
    EXPECT_NEAR(r.p_hat.x, s.p_hat.x + jump * qh, 1e-6f);
    EXPECT_FLOAT_EQ(r.p_tilde.y, s.p_tilde.y);
    EXPECT_FLOAT_EQ(r.p_hat.y, s.p_hat.y);
}

} // namespace
} // namespace kelp
