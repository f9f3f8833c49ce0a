#include "input/constants.hpp"
#include "reflect/reflect.hpp"

#include <cmath>

namespace kelp::reflect {

namespace {

// Carries the dynamic-ray vectors across a boundary of unit normal n (pointing out of the
// water) met with incident slowness t at sound speed c.
//
// The reflected ray tube is the mirror image M x = x - 2 (x . n) n of the incident one: p and
// q keep their components on the mirrored normals (M e1, M e2). A mirror reverses
// handedness, so the stored right-handed frame becomes e1' = -M e1, e2' = M e2 and the tube's
// first component changes sign relative to it once per reflection; the marcher and the beam
// summation read that sign from the parity of the bounce count. The boundary is taken as flat
// in uniform water here, so p is continuous.
void carry_dynamic_quantities(rays::RayState& s, Vec3 t, Vec3 n, float c) {
    const rays::RayBasis e = rays::ray_normal_basis(t, c, s.phi);
    s.det_q = s.q_tilde.x * s.q_hat.y - s.q_tilde.y * s.q_hat.x;

    // The new rotation angle puts e1' = -M e1 on the reflected ray's phi = 0 frame.
    const float en1 = dot(e.e1, n);
    const Vec3 e1r{-(e.e1.x - 2.0f * en1 * n.x), -(e.e1.y - 2.0f * en1 * n.y),
                   -(e.e1.z - 2.0f * en1 * n.z)};
    const rays::RayBasis f = rays::ray_normal_basis(s.slowness, c, 0.0f);
    s.phi = std::atan2(-dot(e1r, f.e2), dot(e1r, f.e1));
}

unsigned moved_coordinates(Vec3 before, Vec3 after) {
    return (after.x != before.x ? kMovedX : 0u) | (after.y != before.y ? kMovedY : 0u) |
           (after.z != before.z ? kMovedZ : 0u);
}

} // namespace

namespace {

unsigned reflect_last(std::vector<rays::RayState>& ray, const bty::BTYfield& bty,
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
    s.event = {rays::kEventBottom, n, t, c};
    // Nudged 1e-9 m towards the water, like the surface point; in single precision this only
    // changes coordinates close to zero.
    s.position = {p.x - 1e-9f * n.x, p.y - 1e-9f * n.y, p.z - 1e-9f * n.z};
    carry_dynamic_quantities(s, t, n, c);
    return moved_coordinates(p0, s.position);
}

} // namespace

unsigned reflect_boundaries(std::vector<rays::RayState>& ray, const bty::BTYfield& bty,
                            bty::BTYCursor& cur) {
    return reflect_last(ray, bty, cur);
}

} // namespace kelp::reflect
