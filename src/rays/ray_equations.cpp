#include "rays/rays.hpp"

namespace kelp::rays {

namespace {

// e^T H f for the symmetric Hessian of c, written out so that the diagonal-pair case e == f
// gives the same numbers as the doubled mixed terms (ex fy + ey fx == 2 ex ey exactly).
float hessian_form(const ssp::SSPSample& s, Vec3 e, Vec3 f) {
    return s.d2c_dx2 * e.x * f.x + s.d2c_dy2 * e.y * f.y + s.d2c_dz2 * e.z * f.z +
           s.d2c_dxdy * (e.x * f.y + e.y * f.x) + s.d2c_dxdz * (e.x * f.z + e.z * f.x) +
           s.d2c_dydz * (e.y * f.z + e.z * f.y);
}

} // namespace

RayDerivatives compute_ray_derivatives(const RayState& state, const ssp::SSPFields& ssp,
                                       ssp::SSPCursor& cur) {
    const ssp::SSPSample s = ssp::interpolate_all_with_cursor(state.position, ssp, cur);
    const float c = s.c;
    const float c2 = c * c;
    const Vec3 t = state.slowness;

    RayDerivatives d{};
    d.d_position = {c * t.x, c * t.y, c * t.z};
    // Snell's law in gradient form: the slowness turns towards slower water.
    d.d_slowness = {-s.dc_dx / c2, -s.dc_dy / c2, -s.dc_dz / c2};

    // Torsion of the ray-centred frame: the horizontal gradient across the ray's vertical
    // plane twists e1, e2 about the tangent at a rate that grows as 1 / RL near vertical.
    // Within RL <= 1e-6 s/m (about c * 1e-6 rad, under 0.1 degree, of vertical in water) the
    // azimuth the twist refers to is ill-defined, so the frame is held instead.
    const float rl2 = t.x * t.x + t.y * t.y;
    d.d_phi = rl2 > 1e-12f ? ((s.dc_dx * t.y - s.dc_dy * t.x) * (1.0f / c) * t.z) / rl2 : 0.0f;

    // Transverse curvature K = -(1/c^2) [e_i^T H e_j] drives the paraxial equations
    // dp/ds = K q, dq/ds = c p for both beam-width solutions.
    const RayBasis b = ray_normal_basis(t, c, state.phi);
    const float k11 = -hessian_form(s, b.e1, b.e1) / c2;
    const float k22 = -hessian_form(s, b.e2, b.e2) / c2;
    // The q vectors live on (sign e1, e2) after an odd number of mirrors.
    const float k12 = -ray_tube_sign(state) * hessian_form(s, b.e1, b.e2) / c2;

    const Vec2 qt = state.q_tilde;
    const Vec2 qh = state.q_hat;
    d.d_p_tilde = {k11 * qt.x + k12 * qt.y, k22 * qt.y + k12 * qt.x};
    d.d_p_hat = {k11 * qh.x + k12 * qh.y, k22 * qh.y + k12 * qh.x};
    d.d_q_tilde = {c * state.p_tilde.x, c * state.p_tilde.y};
    d.d_q_hat = {c * state.p_hat.x, c * state.p_hat.y};
    d.c = c;
    return d;
}

} // namespace kelp::rays
