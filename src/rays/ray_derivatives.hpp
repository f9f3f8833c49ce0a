#pragma once
// The right-hand side of the ray equations from a sound-speed sample, inline for the marcher's
// step loop (compute_ray_derivatives is the same after the lookup).

#include "core/lanes.hpp"
#include "core/ray_state.hpp"
#include "ssp/ssp.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace kelp::rays {

// Whether the paraxial curvature terms may be left out at `state` for sample s: no curvature
// of the sound speed (all six second derivatives +0, as in isovelocity or constant-gradient
// water) makes the forms e^T H f signed zeros for any finite frame, so K q is a signed zero for
// finite q, and the step p + h K q gives p back bit for bit unless p is -0 (the one value a
// zero of the other sign changes). The frame is finite when phi is and c |t|^2, |t|^2 are far
// from overflow; c^2 > 0 keeps K from 0 / 0. Where all that holds, K = 0 gives the same states.
inline bool curvature_free(const RayState& state, const ssp::SSPSample& s) {
    const auto bits = [](float v) { return std::bit_cast<std::uint32_t>(v); };
    if ((bits(s.d2c_dx2) | bits(s.d2c_dy2) | bits(s.d2c_dz2) | bits(s.d2c_dxdy) |
         bits(s.d2c_dxdz) | bits(s.d2c_dydz)) != 0u) {
        return false;
    }
    constexpr std::uint32_t kMinusZero = 0x80000000u;
    const Vec2 pt = state.p_tilde;
    const Vec2 ph = state.p_hat;
    if (bits(pt.x) == kMinusZero || bits(pt.y) == kMinusZero || bits(ph.x) == kMinusZero ||
        bits(ph.y) == kMinusZero) {
        return false;
    }
    const Vec2 qt = state.q_tilde;
    const Vec2 qh = state.q_hat;
    if (!(std::isfinite(qt.x) && std::isfinite(qt.y) && std::isfinite(qh.x) &&
          std::isfinite(qh.y) && std::isfinite(state.phi))) {
        return false;
    }
    const Vec3 t = state.slowness;
    const float m = std::fabs(t.x) + std::fabs(t.y) + std::fabs(t.z);
    return s.c * s.c > 0.0f && m < 1e18f && std::fabs(s.c) * m * m < 1e37f;
}

// Independent quotients and sums share vector lanes: each lane is the scalar operation on the
// scalar operands, so the numbers are those of the one-at-a-time formulas in the comments.
// `frame` holds the sine and cosine of the last frame rotation met; they are computed again
// only for a phi of other bits.
inline RayDerivatives derive_ray(const RayState& state, const ssp::SSPSample& s,
                                 FrameTurn& frame) {
    const float c = s.c;
    const float c2 = c * c;
    const Vec3 t = state.slowness;

    RayDerivatives d{};
    d.d_position = {c * t.x, c * t.y, c * t.z};
    // Snell's law in gradient form: the slowness turns towards slower water,
    // d(slowness)/ds = -grad c / c^2; lane 3 is 1 / c for the frame's torsion.
    const Lanes4 turn = Lanes4{-s.dc_dx, -s.dc_dy, -s.dc_dz, 1.0f} / Lanes4{c2, c2, c2, c};
    d.d_slowness = {turn[0], turn[1], turn[2]};

    // Torsion of the ray-centred frame: the horizontal gradient across the ray's vertical
    // plane twists e1, e2 about the tangent at a rate that grows as 1 / RL near vertical.
    // Within RL <= 1e-6 s/m (about c * 1e-6 rad, under 0.1 degree, of vertical in water) the
    // azimuth the twist refers to is ill-defined, so the frame is held instead.
    const float rl2 = t.x * t.x + t.y * t.y;
    d.d_phi = rl2 > 1e-12f ? ((s.dc_dx * t.y - s.dc_dy * t.x) * turn[3] * t.z) / rl2 : 0.0f;

    d.d_q_tilde = {c * state.p_tilde.x, c * state.p_tilde.y};
    d.d_q_hat = {c * state.p_hat.x, c * state.p_hat.y};
    d.c = c;
    if (curvature_free(state, s)) return d; // d_p_tilde = d_p_hat = +0

    // Transverse curvature K = -(1/c^2) [e_i^T H e_j] drives the paraxial equations
    // dp/ds = K q, dq/ds = c p for both beam-width solutions. Lanes 0, 1, 2 hold the forms
    // e^T H f for (e, f) = (e1, e1), (e2, e2), (e1, e2), each written out so that a diagonal
    // pair gives the same numbers as the doubled mixed terms (ex fy + ey fx == 2 ex ey).
    if (std::bit_cast<std::uint32_t>(state.phi) != std::bit_cast<std::uint32_t>(frame.phi)) {
        frame = frame_turn(state.phi);
    }
    const RayBasis b = ray_normal_basis(t, c, frame);
    const Lanes4 ex = {b.e1.x, b.e2.x, b.e1.x, 0.0f};
    const Lanes4 ey = {b.e1.y, b.e2.y, b.e1.y, 0.0f};
    const Lanes4 ez = {b.e1.z, b.e2.z, b.e1.z, 0.0f};
    const Lanes4 fx = {b.e1.x, b.e2.x, b.e2.x, 0.0f};
    const Lanes4 fy = {b.e1.y, b.e2.y, b.e2.y, 0.0f};
    const Lanes4 fz = {b.e1.z, b.e2.z, b.e2.z, 0.0f};
    const Lanes4 form = s.d2c_dx2 * ex * fx + s.d2c_dy2 * ey * fy + s.d2c_dz2 * ez * fz +
                        s.d2c_dxdy * (ex * fy + ey * fx) + s.d2c_dxdz * (ex * fz + ez * fx) +
                        s.d2c_dydz * (ey * fz + ez * fy);
    // k11 = -form11 / c^2, k22 = -form22 / c^2, and k12 = (-sign form12) / c^2: the q
    // vectors live on (sign e1, e2) after an odd number of mirrors.
    const Lanes4 k = Lanes4{-form[0], -form[1], -ray_tube_sign(state) * form[2], 0.0f} / c2;
    const float k11 = k[0];
    const float k22 = k[1];
    const float k12 = k[2];

    // dp~ = (k11 q~x + k12 q~y, k22 q~y + k12 q~x), and the same for the ^ pair.
    const Vec2 qt = state.q_tilde;
    const Vec2 qh = state.q_hat;
    const Lanes4 dp = Lanes4{k11, k22, k11, k22} * Lanes4{qt.x, qt.y, qh.x, qh.y} +
                      k12 * Lanes4{qt.y, qt.x, qh.y, qh.x};
    d.d_p_tilde = {dp[0], dp[1]};
    d.d_p_hat = {dp[2], dp[3]};
    return d;
}

} // namespace kelp::rays
