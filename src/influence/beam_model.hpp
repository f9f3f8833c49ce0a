#pragma once
// The beam model of one traced ray: the fan normalisation applied to its states, and the list
// of its segments with everything the per-receiver contribution needs computed once per
// segment (frames, tube sign, the continuation past reflections, caustic phase, the product
// of bottom reflection coefficients, the beam's identity and bounce counts).

#include "bty/bty.hpp"
#include "core/function_ref.hpp"
#include "core/ndarray.hpp"
#include "core/ray_state.hpp"
#include "core/vec3.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelp::influence {

// One beam of the fan: its launch elevation and the fan's spacings (rad), its index in the
// fan and its launch azimuth (rad; both for outputs that name the beam).
struct BeamLaunch {
    float elev0_rad = 0.0f;
    float dazim_rad = 0.0f;
    float delev_rad = 0.0f;
    std::size_t beam_index = 0;
    float azim0_rad = 0.0f;
};

// One segment A -> B of a ray as the summation sees it. The segment runs from `a` along `d`
// (m); a leg's first or last segment at a reflection is continued past it (see
// build_beam_segments), so `a` and `d` may extend beyond the two states. Along the segment,
// at projection parameter s in [0, 1], the scaled q vectors are q0 + s dq, the scaled p
// vectors p0 + s dp and the travel time tau0 + s dtau.
struct BeamSegment {
    Vec3 a, d;               // m
    float l2 = 0.0f;         // |d|^2, m^2
    float rb = 0.0f;         // search radius around the segment, m
    float rb2 = 0.0f;        // rb^2
    bool closed_end = false; // whether s = 1 belongs to this segment (last live or reflecting)
    Vec2 qt0{}, dqt{}, qh0{}, dqh{}; // scaled q_tilde and q_hat, m
    Vec2 pt0{}, dpt{}, ph0{}, dph{}; // p_tilde and p_hat scaled like the q vectors
    float det_a = 0.0f; // det_q of state A as traced (before scaling), for the caustic
    float tau0 = 0.0f, dtau = 0.0f; // s
    float amp_b = 0.0f;             // normalised amplitude of state B
    float phase = 0.0f;             // A's phase plus the caustic phase accumulated up to A, rad
    Vec3 e1{}, e2{};                // the tube's normals (e1 with the tube's sign)
    // The previous segment, when it was live and is no other image: the hand-over of a
    // receiver near this segment's start is settled with its own arithmetic.
    bool has_prev = false;
    Vec3 prev_a{}, prev_d{};
    float prev_l2 = 1.0f;
    // Identity: state B's index in the ray, the leg's bounce counts (those of A) and the row
    // of the beam's reflection table that applies (bottom reflections before the segment).
    std::uint32_t state_index = 0;
    std::uint32_t surface_bounces = 0;
    std::uint32_t bottom_bounces = 0;
    std::uint32_t reflection_row = 0;
};

// The segments of one beam that may reach a receiver, and the products of the bottom
// reflection coefficients met along it: row r (frequencies in order) is the product of the
// first r coefficients, row 0 is 1.
struct BeamModel {
    std::size_t beam_index = 0;
    std::vector<BeamSegment> segments;
    std::vector<Complex32> reflection; // rows x frequencies
    std::size_t frequencies = 0;

    std::span<const Complex32> reflection_row(const BeamSegment& g) const {
        return std::span<const Complex32>(reflection)
            .subspan(g.reflection_row * frequencies, frequencies);
    }
};

// Whether a segment starting at `a` along `d` (|d|^2 = l2), with search radius rb (m), can
// reach any receiver at all; segments it rejects are left out of the model.
using SegmentFilter = FunctionRef<bool(Vec3 a, Vec3 d, float l2, float rb)>;

// Normalises the ray in place for the fan: amplitude times c_i sqrt(dazim delev |cos elev0|)
// / (c0 2 pi), det_q from the traced q vectors, q_tilde scaled by delev / c0 and q_hat by
// dazim |cos elev0| / c0 (so that the beam widths are the ray tube of the neighbouring rays).
void normalise_beam(std::span<RayState> ray, const BeamLaunch& launch);

// The beam model of a normalised ray (normalise_beam) into `model`, whose storage is reused.
// Segments shorter than 1e-4 m reach nothing and are left out, as are those `may_reach`
// rejects; every bottom reflection enters the reflection table at the frequencies omegas
// (rad/s), coefficients from bty's bottom model.
void build_beam_model(std::span<const RayState> ray, const BeamLaunch& launch,
                      const bty::BTYfield& bty, std::span<const float> omegas,
                      SegmentFilter may_reach, BeamModel& model);

// Whether segment g owns a receiver at r whose projection parameter s lies below the
// segment's end: away from the start, s >= 0; inside the hand-over band, exactly when the
// previous segment, with the very arithmetic it used, did not take it. s is set to 0 when a
// receiver just before the start is taken.
bool owns_receiver(const BeamSegment& g, Vec3 r, float& s);

} // namespace kelp::influence
