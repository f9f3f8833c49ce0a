#pragma once
// The state of one point of a traced ray and the ray-centred normal basis. Header-only and
// below every stage, so that the marcher, the reflection code it calls and the beam summation
// share it without depending on one another. Units: m, s, s/m (slowness), rad.

#include "core/vec3.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace kelp {

inline constexpr std::uint32_t kEventNone = 0;
inline constexpr std::uint32_t kEventBottom = 1;

struct ReflectionEvent {
    std::uint32_t kind = kEventNone;
    Vec3 normal{};            // unit bottom normal used, z >= 0 (into the bottom)
    Vec3 incident_slowness{}; // slowness just before the reflection, s/m
    float sound_speed = 0.0f; // the state's sound speed at the reflection, m/s
    // The incident state's frame rotation (rad) and p vectors, which the reflection rewrites:
    // the incident leg is continued past the boundary from them. These, the normal ((0, 0, -1)
    // at the surface), the incident slowness and the sound speed are recorded at the surface
    // too, where kind stays none.
    float incident_phi = 0.0f;
    Vec2 incident_p_tilde{};
    Vec2 incident_p_hat{};
};

struct RayState {
    ReflectionEvent event;
    Vec3 position;            // m
    Vec3 slowness;            // unit tangent / c, s/m
    float phi = 0.0f;         // rotation of the ray-normal basis, rad
    float travel_time = 0.0f; // s
    float amplitude = 1.0f;
    float phase = 0.0f; // rad; pi per surface reflection
    std::uint32_t surface_bounces = 0;
    std::uint32_t bottom_bounces = 0;
    Vec2 p_tilde{1.0f, 0.0f};
    Vec2 q_tilde{};
    Vec2 p_hat{0.0f, 1.0f};
    Vec2 q_hat{};
    float det_q = 0.0f;
    float sound_speed = 0.0f; // m/s
};

// The stored path of a ray: the positions of its states in order, m.
using RayPath = std::vector<std::array<float, 3>>;

struct RayDerivatives {
    Vec2 d_p_tilde, d_q_tilde, d_p_hat, d_q_hat;
    Vec3 d_position;
    Vec3 d_slowness;
    float d_phi;
    float c;
};

struct RayBasis {
    Vec3 e1, e2;
};

// Ray-centred normals e1, e2 for slowness t, sound speed c and rotation phi (rad), with
// e1 x e2 = c t for |t| = 1/c. With RL = |(tx, ty)|, phi == 0 gives the closed form
// e1 = (c tx tz, c ty tz, -c RL^2) / RL, e2 = (-ty, tx, 0) / RL (no sine or cosine); any other
// phi (NaN included) rotates that pair by phi: e1' = cos e1 - sin e2, e2' = sin e1 + cos e2.
//
// A slowness without a usable horizontal part (a ray launched or turned exactly vertical, or
// one whose tx^2 + ty^2 is below the smallest normal float, where the squares have lost their
// precision and the closed form would no longer be orthonormal) has no azimuth to orient the
// frame. There the frame is the limit of an azimuth-0 ray (travelling towards +y) turned
// vertical: e1 = (0, sign(c tz), 0), e2 = (-1, 0, 0), so e1 x e2 = (0, 0, sign(c tz)) = u stays
// right-handed; phi rotates it as above. The ray then carries finite numbers instead of NaN.
//
// The rotation enters through its sine and cosine (FrameTurn), which a caller that meets the
// same phi again (a ray whose frame does not twist) can keep.
struct FrameTurn {
    float phi = 0.0f;
    float sin = 0.0f, cos = 1.0f; // left at 0, 1 for phi == 0, where they are not used
};

inline FrameTurn frame_turn(float phi) {
    FrameTurn r{phi};
    if (phi != 0.0f) ::sincosf(phi, &r.sin, &r.cos);
    return r;
}

inline RayBasis ray_normal_basis(Vec3 t, float c, const FrameTurn& turn) {
    const float rl2 = t.x * t.x + t.y * t.y;
    const float sp = turn.sin;
    const float cp = turn.cos;
    if (!(rl2 >= std::numeric_limits<float>::min())) {
        const float uz = (c * t.z >= 0.0f) ? 1.0f : -1.0f;
        const Vec3 f1{0.0f, uz, 0.0f};
        const Vec3 f2{-1.0f, 0.0f, 0.0f};
        if (turn.phi == 0.0f) return {f1, f2};
        return {cp * f1 - sp * f2, sp * f1 + cp * f2};
    }
    const float rl = std::sqrt(rl2);
    if (turn.phi == 0.0f) {
        return {{c * t.x * t.z / rl, c * t.y * t.z / rl, -c * rl}, {-t.y / rl, t.x / rl, 0.0f}};
    }
    return {{(c * t.x * t.z * cp + t.y * sp) / rl, (c * t.y * t.z * cp - t.x * sp) / rl,
             -c * rl * cp},
            {(c * t.x * t.z * sp - t.y * cp) / rl, (c * t.y * t.z * sp + t.x * cp) / rl,
             -c * rl * sp}};
}

inline RayBasis ray_normal_basis(Vec3 t, float c, float phi) {
    return ray_normal_basis(t, c, frame_turn(phi));
}

// Sign of the tube's first component relative to e1: each reflection mirrors the ray tube
// and reverses its handedness while the stored frame stays right-handed, so the q and p
// vectors of a state with an odd number of bounces live on (-e1, e2).
inline float ray_tube_sign(const RayState& s) {
    return ((s.surface_bounces + s.bottom_bounces) & 1u) ? -1.0f : 1.0f;
}

} // namespace kelp
