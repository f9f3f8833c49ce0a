#include "core/constants.hpp"
#include "reflect/reflect.hpp"

#include <cmath>
#include <cstdint>

namespace kelp::reflect {

namespace {

// Carries the dynamic-ray vectors across a boundary of unit normal n (pointing out of the
// water) met with incident slowness t at sound speed c, where the sound-speed gradient is
// grad_c (1/s) and the boundary's normal turns by dn = -twist n_z (w_y, w_x, 0)_tangential
// per tangential displacement w (the bilinear bottom z = ... + twist x y; 0 for the surface).
//
// The reflected ray tube is the mirror image M x = x - 2 (x . n) n of the incident one: the
// q vectors keep their components on the mirrored normals (M e1, M e2). A mirror reverses
// handedness, so the stored right-handed frame becomes e1' = -M e1, e2' = M e2 and the tube's
// first component changes sign relative to it once per reflection; the marcher and the beam
// summation read that sign from the parity of the bounce count. q is continuous; p jumps by
// R q, where R collects what the mirror misses when neighbouring rays hit the boundary at
// different points, shifted along the ray by sigma_j = -(n . E_j) / cos(theta) per unit q_j:
// - the gradient: over sigma the incident slowness turns by -grad c / c^2, the reflected one
//   back by the same; mirrored, the two differ by their normal parts, giving
//   R_ij += 2 (n . grad c) / (c^2 cos theta) (n . E_i)(n . E_j);
// - the curvature: the normal at the neighbour's hit point turns the reflected slowness,
//   giving R_ij += -(2 cos theta / c) h_i . dn(h_j), with h_j = E_j + sigma_j u the tangential
//   trace of E_j on the boundary.
// E1, E2 are the incident tube's normals (the stored frame with the first sign applied).
void carry_dynamic_quantities(RayState& s, Vec3 t, Vec3 n, float c, Vec3 grad_c, float twist) {
    const std::uint32_t bounces_before = s.surface_bounces + s.bottom_bounces - 1u;
    const float sign1 = (bounces_before & 1u) ? -1.0f : 1.0f;
    const RayBasis e = ray_normal_basis(t, c, s.phi);
    const Vec3 u{c * t.x, c * t.y, c * t.z};
    const Vec3 big_e[2] = {sign1 * e.e1, e.e2};
    const float cos_i = dot(n, u);

    float r[2][2] = {{0.0f, 0.0f}, {0.0f, 0.0f}};
    if (cos_i > 1e-6f) {
        const float en[2] = {dot(n, big_e[0]), dot(n, big_e[1])};
        const float gn = dot(n, grad_c) * 2.0f / (c * c * cos_i);
        Vec3 h[2];
        for (int j = 0; j < 2; ++j)
            h[j] = big_e[j] - (en[j] / cos_i) * u;
        const float curv = 2.0f * cos_i * twist * n.z / c;
        for (int i = 0; i < 2; ++i) {
            for (int j = 0; j < 2; ++j) {
                r[i][j] = gn * en[i] * en[j] + curv * (h[i].x * h[j].y + h[i].y * h[j].x);
            }
        }
    }
    const auto jump = [&r](Vec2 p, Vec2 q) {
        return Vec2{p.x + r[0][0] * q.x + r[0][1] * q.y, p.y + r[1][0] * q.x + r[1][1] * q.y};
    };
    s.p_tilde = jump(s.p_tilde, s.q_tilde);
    s.p_hat = jump(s.p_hat, s.q_hat);
    s.det_q = s.q_tilde.x * s.q_hat.y - s.q_tilde.y * s.q_hat.x;

    // The new rotation angle puts e1' = -M e1 on the reflected ray's phi = 0 frame.
    const float en1 = dot(e.e1, n);
    const Vec3 e1r{-(e.e1.x - 2.0f * en1 * n.x), -(e.e1.y - 2.0f * en1 * n.y),
                   -(e.e1.z - 2.0f * en1 * n.z)};
    const RayBasis f = ray_normal_basis(s.slowness, c, 0.0f);
    s.phi = std::atan2(-dot(e1r, f.e2), dot(e1r, f.e1));
}

// The event of a reflection of s (before its p vectors and frame are rewritten).
ReflectionEvent incident_event(const RayState& s, std::uint32_t kind, Vec3 n, Vec3 t, float c) {
    return {.kind = kind,
            .normal = n,
            .incident_slowness = t,
            .sound_speed = c,
            .incident_phi = s.phi,
            .incident_p_tilde = s.p_tilde,
            .incident_p_hat = s.p_hat};
}

// The step that crossed the boundary ended beyond it; the point goes back along the ray by
// `back` (in units of the slowness, <= 0) to the boundary, and with it the travel time and
// the beam widths gathered past it: sigma = back |t| of arc, tau + sigma / c, q + sigma c p.
// Left as they were, a step that overshoots by metres would leave the reflection point that
// much later and wider than the boundary it sits on.
void pull_back(RayState& s, float back, Vec3 t, float c) {
    const float sigma = back * norm(t);
    if (!(sigma < 0.0f)) return; // also NaN
    const float sigma_c = sigma * c;
    s.travel_time = s.travel_time + sigma / c;
    s.q_tilde = {s.q_tilde.x + sigma_c * s.p_tilde.x, s.q_tilde.y + sigma_c * s.p_tilde.y};
    s.q_hat = {s.q_hat.x + sigma_c * s.p_hat.x, s.q_hat.y + sigma_c * s.p_hat.y};
}

unsigned moved_coordinates(Vec3 before, Vec3 after) {
    return (after.x != before.x ? kMovedX : 0u) | (after.y != before.y ? kMovedY : 0u) |
           (after.z != before.z ? kMovedZ : 0u);
}

} // namespace

namespace {

// The sound-speed gradient at p, or zero in a uniform medium (no field given).
Vec3 gradient_at(Vec3 p, const ssp::SSPFields* ssp, const ssp::SSPCursor* ssp_cur) {
    if (ssp == nullptr) return {};
    ssp::SSPCursor probe = *ssp_cur;
    const ssp::SSPSample smp = ssp::interpolate_all_with_cursor(p, *ssp, probe);
    return {smp.dc_dx, smp.dc_dy, smp.dc_dz};
}

unsigned reflect_state(RayState& s, const bty::BTYfield& bty, bty::BTYCursor& cur,
                       const ssp::SSPFields* ssp, const ssp::SSPCursor* ssp_cur) {
    s.event.kind = kEventNone;
    const Vec3 p0 = s.position;
    const Vec3 t = s.slowness;
    const float c = s.sound_speed;

    if (p0.z <= 0.0f && t.z < 0.0f) {
        // Back along the ray to z = 0, then mirror: the pressure-release surface flips the sign
        // of the pressure (a phase of pi) and records no event. The point is left 1e-9 m below
        // the surface so the next step starts in the water.
        const float back = -p0.z / t.z;
        pull_back(s, back, t, c);
        s.event = incident_event(s, kEventNone, {0.0f, 0.0f, -1.0f}, t, c);
        s.position = {p0.x + back * t.x, p0.y + back * t.y, 1e-9f};
        s.slowness.z = -t.z;
        s.surface_bounces += 1;
        s.phase = s.phase + kPi;
        carry_dynamic_quantities(s, t, {0.0f, 0.0f, -1.0f}, c,
                                 gradient_at(s.position, ssp, ssp_cur), 0.0f);
        return moved_coordinates(p0, s.position);
    }

    const Vec2 h{p0.x, p0.y};
    bty::update_bty_cursor(h, bty, cur);
    const float depth = bty::interpolate_bty_from_cursor(h, bty, cur);
    // Most states are in the water: the normal (a square root and divisions) is only needed
    // for one that reached the bottom.
    if (!(p0.z >= depth)) return 0u;
    Vec3 n = bty::bottom_normal_from_cursor(h, bty, cur);
    if (n.z < 0.0f) n = {-n.x, -n.y, -n.z};
    const float dn = (n.x * t.x + n.y * t.y) + n.z * t.z;
    if (!(dn > 0.0f)) return 0u; // already moving away from the bottom

    // Back along the ray to the bottom's tangent plane through (x, y, depth); at grazing
    // incidence that intersection is ill-conditioned, so the point only drops to the depth.
    Vec3 p = p0;
    if (dn > 1e-12f) {
        const float back = (depth - p0.z) * n.z / dn;
        p = {p0.x + back * t.x, p0.y + back * t.y, p0.z + back * t.z};
        pull_back(s, back, t, c);
    } else {
        p.z = depth;
    }
    const float twice = 2.0f * dn;
    s.slowness = {t.x - twice * n.x, t.y - twice * n.y, t.z - twice * n.z};
    s.bottom_bounces += 1;
    s.event = incident_event(s, kEventBottom, n, t, c);
    // Nudged 1e-9 m towards the water, like the surface point; in single precision this only
    // changes coordinates close to zero.
    s.position = {p.x - 1e-9f * n.x, p.y - 1e-9f * n.y, p.z - 1e-9f * n.z};
    carry_dynamic_quantities(s, t, n, c, gradient_at(s.position, ssp, ssp_cur),
                             bty::bottom_twist_from_cursor(bty, cur));
    return moved_coordinates(p0, s.position);
}

} // namespace

unsigned reflect_boundaries(std::vector<RayState>& ray, const bty::BTYfield& bty,
                            bty::BTYCursor& cur) {
    return reflect_state(ray.back(), bty, cur, nullptr, nullptr);
}

unsigned reflect_boundaries(std::vector<RayState>& ray, const bty::BTYfield& bty,
                            bty::BTYCursor& cur, const ssp::SSPFields& ssp,
                            const ssp::SSPCursor& ssp_cur) {
    return reflect_state(ray.back(), bty, cur, &ssp, &ssp_cur);
}

unsigned reflect_boundaries(RayState& state, const bty::BTYfield& bty, bty::BTYCursor& cur,
                            const ssp::SSPFields& ssp, const ssp::SSPCursor& ssp_cur) {
    return reflect_state(state, bty, cur, &ssp, &ssp_cur);
}

} // namespace kelp::reflect
