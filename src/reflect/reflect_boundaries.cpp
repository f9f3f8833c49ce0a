#include "input/constants.hpp"
#include "reflect/reflect.hpp"

#include <cmath>

namespace kelp::reflect {

namespace {

// Carries the dynamic-ray vectors across a boundary of normal n met with incident slowness t.
// (m, v) is the frame of the boundary plane around the tangent u = c t; a, b, d are the
// components of the ray-normal frame (e1, e2) in it. The boundary is taken as flat, so the
// curvature terms that would couple q into p vanish and only the rotation in and out of the
// boundary frame is applied (the identity up to rounding unless u is along n, where the
// boundary frame degenerates and p is zeroed). phi turns by twice the frame angle.
void carry_dynamic_quantities(rays::RayState& s, Vec3 t, Vec3 n, float c) {
    const rays::RayBasis e = rays::ray_normal_basis(t, c, s.phi);
    const Vec3 u{c * t.x, c * t.y, c * t.z};
    Vec3 m = cross(n, u);
    const float m2 = dot(m, m);
    if (m2 > 0.0f) {
        const float len = std::sqrt(m2);
        m = {m.x / len, m.y / len, m.z / len};
    }
    const Vec3 v = cross(u, m);

    const float a = -dot(e.e1, v);
    const float b = -dot(e.e2, v);
    const float d = dot(e.e2, m);

    const Vec2 pt = s.p_tilde;
    const Vec2 ph = s.p_hat;
    const Vec2 bx{a * pt.x + b * ph.x, a * pt.y + b * ph.y};
    const Vec2 by{d * ph.x - b * pt.x, d * ph.y - b * pt.y};
    s.p_tilde = {a * bx.x - b * by.x, a * bx.y - b * by.y};
    s.p_hat = {b * bx.x + d * by.x, b * bx.y + d * by.y};

    s.det_q = s.q_tilde.x * s.q_hat.y - s.q_tilde.y * s.q_hat.x;

    // Clamp against rounding just outside [-1, 1]; a NaN stays NaN rather than turning into
    // a plausible angle.
    float ca = a;
    if (ca > 1.0f) ca = 1.0f;
    if (ca < -1.0f) ca = -1.0f;
    s.phi = s.phi + 2.0f * std::acos(ca);
}

unsigned moved_coordinates(Vec3 before, Vec3 after) {
    return (after.x != before.x ? kMovedX : 0u) | (after.y != before.y ? kMovedY : 0u) |
           (after.z != before.z ? kMovedZ : 0u);
}

} // namespace

unsigned reflect_boundaries(std::vector<rays::RayState>& ray, const bty::BTYfield& bty,
                            bty::BTYCursor& cur) {
    rays::RayState& s = ray.back();
    s.event.kind = rays::kEventNone;
    const Vec3 p0 = s.position;
    const Vec3 t = s.slowness;
    const float c = s.sound_speed;

    if (p0.z <= 0.0f && t.z < 0.0f) {
        // Back along the ray to z = 0, then mirror: the pressure-release surface flips the sign
        // of the pressure (a phase of pi) and records no event. The point is left 1e-9 m below
        // the surface so the next step starts in the water.
        const float back = -p0.z / t.z;
        s.position = {p0.x + back * t.x, p0.y + back * t.y, 1e-9f};
        s.slowness.z = -t.z;
        s.surface_bounces += 1;
        s.phase = s.phase + kPi;
        carry_dynamic_quantities(s, t, {0.0f, 0.0f, -1.0f}, c);
        return moved_coordinates(p0, s.position);
    }

    const Vec2 h{p0.x, p0.y};
    bty::update_bty_cursor(h, bty, cur);
    const float depth = bty::interpolate_bty_from_cursor(h, bty, cur);
    Vec3 n = bty::bottom_normal_from_cursor(h, bty, cur);
    if (!(p0.z >= depth)) return 0u;
    if (n.z < 0.0f) n = {-n.x, -n.y, -n.z};
    const float dn = (n.x * t.x + n.y * t.y) + n.z * t.z;
    if (!(dn > 0.0f)) return 0u; // already moving away from the bottom

    // Back along the ray to the bottom's tangent plane through (x, y, depth); at grazing
    // incidence that intersection is ill-conditioned, so the point only drops to the depth.
    Vec3 p = p0;
    if (dn > 1e-12f) {
        const float back = (depth - p0.z) * n.z / dn;
        p = {p0.x + back * t.x, p0.y + back * t.y, p0.z + back * t.z};
    } else {
        p.z = depth;
    }
    const float twice = 2.0f * dn;
    s.slowness = {t.x - twice * n.x, t.y - twice * n.y, t.z - twice * n.z};
    s.bottom_bounces += 1;
    s.event = {
        .kind = rays::kEventBottom, .normal = n, .incident_slowness = t, .sound_speed = c};
    // Nudged 1e-9 m towards the water, like the surface point; in single precision this only
    // changes coordinates close to zero.
    s.position = {p.x - 1e-9f * n.x, p.y - 1e-9f * n.y, p.z - 1e-9f * n.z};
    carry_dynamic_quantities(s, t, n, c);
    return moved_coordinates(p0, s.position);
}

} // namespace kelp::reflect
