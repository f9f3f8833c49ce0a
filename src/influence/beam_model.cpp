#include "influence/beam_model.hpp"

#include "core/constants.hpp"
#include "influence/receiver_search.hpp"
#include "reflect/reflect.hpp"

#include <cmath>
#include <utility>

namespace kelp::influence {
namespace {

float length(Vec2 q) {
    return std::sqrt(q.x * q.x + q.y * q.y);
}

// A determinant that reaches or crosses zero from either side is a caustic; one that starts
// from exactly zero (the source) is not.
bool crosses_caustic(float det, float det_prev) {
    return (det <= 0.0f && det_prev > 0.0f) || (det >= 0.0f && det_prev < 0.0f);
}

// Segments shorter than this reach no receiver.
bool is_live(const RayState& a, const RayState& b) {
    const Vec3 d = b.position - a.position;
    const float l2 = dot(d, d);
    return !(l2 < 1e-12f) && std::sqrt(l2) > 1e-4f;
}

// A reflection is recorded on the state that follows it: a bottom event, or one more
// surface bounce than the state before.
bool reflects_at(std::span<const RayState> ray, std::size_t i) {
    return i >= 1 && (ray[i].event.kind == kEventBottom ||
                      ray[i].surface_bounces > ray[i - 1].surface_bounces);
}

// How far (in beam windows) a leg is continued past a reflection at most: a grazing leg's
// window reaches water over window / sin(grazing angle), bounded here.
inline constexpr float kReachWidths = 10.0f;

struct FanScales {
    float c0, cos_e, tilde, hat;
};

// The beam widths are the ray tube spanned by the neighbouring rays of the fan.
FanScales fan_scales(std::span<const RayState> ray, const BeamLaunch& launch) {
    const float c0 = ray[0].sound_speed;
    const float cos_e = std::fabs(std::cos(launch.elev0_rad));
    return {c0, cos_e, launch.delev_rad / c0, launch.dazim_rad * cos_e / c0};
}

} // namespace

void normalise_beam(std::span<RayState> ray, const BeamLaunch& launch) {
    if (ray.size() < 2) return;
    // Each beam carries the solid angle dazim delev |cos elev0| of its launch cell, so the
    // sum of the Gaussian weights over the fan reproduces the point-source spreading 1/r
    // (with unit amplitude at 1 m).
    const FanScales scale = fan_scales(ray, launch);
    const float a0 = std::sqrt(launch.dazim_rad * launch.delev_rad) * std::sqrt(scale.cos_e) /
                     scale.c0 / kTwoPi;
    for (RayState& st : ray) {
        st.amplitude = (st.sound_speed * a0) * st.amplitude;
        st.det_q = st.q_tilde.x * st.q_hat.y - st.q_tilde.y * st.q_hat.x;
        st.q_tilde = {st.q_tilde.x * scale.tilde, st.q_tilde.y * scale.tilde};
        st.q_hat = {st.q_hat.x * scale.hat, st.q_hat.y * scale.hat};
    }
}

namespace {

// A leg's end at a reflection, from which the leg's beam is continued past the boundary: the
// reflection point, the leg's unit direction there, its scaled q and p, travel time, phase
// with the caustic phase, traced det_q, the tube's normals and the row of reflection
// products that applies to it.
struct LegEnd {
    Vec3 position, u;
    float c;
    Vec2 qt, qh, pt, ph;
    float tau, phase, det, amp;
    Vec3 e1, e2;
    std::uint32_t surface_bounces, bottom_bounces, row;
};

Vec3 unit(Vec3 v) {
    return (1.0f / norm(v)) * v;
}

// The end at reflection state r of the leg that travels along slowness t with frame rotation
// phi, scaled p vectors p and phase (caustic phase included); `leg` is a state of the leg (its
// bounce counts and the tube's sign).
LegEnd leg_end(const RayState& r, Vec3 t, float phi, std::pair<Vec2, Vec2> p, float phase,
               const RayState& leg, std::uint32_t row) {
    const RayBasis basis = ray_normal_basis(t, r.sound_speed, phi);
    return {.position = r.position,
            .u = unit(t),
            .c = r.sound_speed,
            .qt = r.q_tilde,
            .qh = r.q_hat,
            .pt = p.first,
            .ph = p.second,
            .tau = r.travel_time,
            .phase = phase,
            .det = r.det_q,
            .amp = r.amplitude,
            .e1 = ray_tube_sign(leg) * basis.e1,
            .e2 = basis.e2,
            .surface_bounces = leg.surface_bounces,
            .bottom_bounces = leg.bottom_bounces,
            .row = row};
}

// How far past the reflection the leg's window can reach water, m: the window over the
// sine of the grazing angle, at most kReachWidths windows.
float continuation_length(const LegEnd& end, Vec3 normal) {
    const float window = 4.0f * larger(length(end.qt), length(end.qh));
    const float sin_graze = std::fabs(dot(end.u, normal));
    return smaller(window / larger(sin_graze, 0.1f), kReachWidths * window);
}

Vec2 along_p(Vec2 q, float sigma_c, Vec2 p) {
    return {q.x + sigma_c * p.x, q.y + sigma_c * p.y};
}

// The segment of the leg through `end` from arc length sigma0 to sigma1 (m, 0 at the
// reflection point), with the ray equations of uniform water about the end state:
// position + sigma u, q + sigma c p, p constant, tau + sigma / c.
BeamSegment continuation(const LegEnd& end, float sigma0, float sigma1) {
    const float span = sigma1 - sigma0;
    const Vec3 a = end.position + sigma0 * end.u;
    const Vec3 d = span * end.u;
    const Vec2 qt0 = along_p(end.qt, sigma0 * end.c, end.pt);
    const Vec2 qh0 = along_p(end.qh, sigma0 * end.c, end.ph);
    const Vec2 qt1 = along_p(end.qt, sigma1 * end.c, end.pt);
    const Vec2 qh1 = along_p(end.qh, sigma1 * end.c, end.ph);
    const Vec2 dqt{span * end.c * end.pt.x, span * end.c * end.pt.y};
    const Vec2 dqh{span * end.c * end.ph.x, span * end.c * end.ph.y};
    const float window =
        4.0f * larger(larger(length(qt0), length(qt1)), larger(length(qh0), length(qh1)));
    // Before the reflection point the caustics between there and the point are undone.
    float phase = end.phase, det_a = end.det;
    if (sigma0 < 0.0f) {
        det_a = qt0.x * qh0.y - qt0.y * qh0.x;
        if (crosses_caustic(end.det, det_a)) phase -= kHalfPi;
    }
    // Every receiver the window takes lies within `window` of the axis (|a| + |b| <= 4 in
    // units of q vectors no longer than at the ends), measured square to it at the receiver's
    // foot: the radius need not grow with the continuation's length.
    const float rb = window + 1e-6f;
    return {.a = a,
            .d = d,
            .l2 = dot(d, d),
            .rb = rb,
            .rb2 = rb * rb,
            .closed_end = false,
            .qt0 = qt0,
            .dqt = dqt,
            .qh0 = qh0,
            .dqh = dqh,
            .pt0 = end.pt,
            .dpt = {},
            .ph0 = end.ph,
            .dph = {},
            .det_a = det_a,
            .tau0 = end.tau + sigma0 / end.c,
            .dtau = span / end.c,
            .amp_b = end.amp,
            .phase = phase,
            .e1 = end.e1,
            .e2 = end.e2,
            .surface_bounces = end.surface_bounces,
            .bottom_bounces = end.bottom_bounces,
            .reflection_row = end.row};
}

bool is_live_length(float l2) {
    return !(l2 < 1e-12f) && std::sqrt(l2) > 1e-4f;
}

} // namespace

void build_beam_model(std::span<const RayState> ray, const BeamLaunch& launch,
                      const bty::BTYfield& bty, std::span<const float> omegas,
                      SegmentFilter may_reach, BeamModel& model) {
    model.beam_index = launch.beam_index;
    model.frequencies = omegas.size();
    model.segments.clear();
    model.reflection.assign(omegas.size(), Complex32{1.0f, 0.0f});
    const std::size_t n = ray.size();
    if (n < 2) return;
    const FanScales scale = fan_scales(ray, launch);
    const auto scaled_p = [&scale](Vec2 pt, Vec2 ph) {
        return std::pair{Vec2{scale.tilde * pt.x, scale.tilde * pt.y},
                         Vec2{scale.hat * ph.x, scale.hat * ph.y}};
    };

    // The last segment that reaches receivers also owns a receiver projecting exactly onto
    // its end state.
    std::size_t last_live = 0;
    for (std::size_t i = n - 1; i >= 1; --i) {
        if (is_live(ray[i - 1], ray[i])) {
            last_live = i;
            break;
        }
    }

    // The previous live segment of the current leg, whose arithmetic settles the hand-over
    // of receivers near the next segment's start; none at the start of a leg's image.
    struct Previous {
        bool valid = false;
        Vec3 a, d;
        float l2 = 1.0f;
    } prev;
    // Keeps a segment that may reach a receiver, after `finish` has completed it (work left
    // for the few that do).
    const auto emit = [&](BeamSegment g, auto&& finish) {
        g.has_prev = prev.valid;
        g.prev_a = prev.a;
        g.prev_d = prev.d;
        g.prev_l2 = prev.l2;
        prev = {true, g.a, g.d, g.l2};
        if (may_reach(g.a, g.d, g.l2, g.rb)) {
            finish(g);
            model.segments.push_back(g);
        }
    };
    const auto as_is = [](BeamSegment&) {};

    float psi = 0.0f; // caustic phase accumulated up to state A
    std::uint32_t row = 0;
    float len_t = length(ray[0].q_tilde), len_h = length(ray[0].q_hat);
    for (std::size_t i = 1; i < n; ++i) {
        const RayState& sa = ray[i - 1];
        const RayState& sb = ray[i];
        const float len_t_b = length(sb.q_tilde), len_h_b = length(sb.q_hat);
        const float psi_b = psi + (crosses_caustic(sb.det_q, sa.det_q) ? kHalfPi : 0.0f);
        // A leg between reflections is the beam of one image source. Receivers near the
        // boundary whose foot on the ray lies beyond the reflection point (or before the
        // reflected leg's start) are still inside that image's beam, so each leg is continued
        // past the reflection by as far as its window can reach water. The continuation
        // starts from the leg's own state at the reflection, with the derivatives of the ray
        // equations there, not from differences over whatever step happened to end on the
        // boundary (a millimetre step's differences are rounding).
        const bool reflects = reflects_at(ray, i);
        const Vec3 normal = sb.event.normal;
        LegEnd incident{};
        float incident_length = 0.0f;
        if (reflects) {
            incident = leg_end(sb, sb.event.incident_slowness, sb.event.incident_phi,
                               scaled_p(sb.event.incident_p_tilde, sb.event.incident_p_hat),
                               sa.phase + psi_b, sa, row);
            incident_length = continuation_length(incident, normal);
        }
        const bool continued = reflects && is_live_length(incident_length * incident_length);

        if (is_live(sa, sb)) {
            const float w_tilde = 4.0f * larger(len_t, len_t_b);
            const float w_hat = 4.0f * larger(len_h, len_h_b);
            const Vec3 d = sb.position - sa.position;
            // At a reflection B's slowness is already mirrored and its frame turned, while
            // the segment still runs along the incident direction: measure with A's normals,
            // and keep A's p (p jumps at a reflection, q does not).
            const RayState& frame = reflects ? sa : sb;
            const Vec2 pb_t = reflects ? sa.p_tilde : sb.p_tilde;
            const Vec2 pb_h = reflects ? sa.p_hat : sb.p_hat;
            const float rb = 0.5f * std::sqrt(dot(d, d)) + larger(w_hat, w_tilde) + 1e-6f;
            emit({.a = sa.position,
                  .d = d,
                  .l2 = dot(d, d),
                  .rb = rb,
                  .rb2 = rb * rb,
                  // A continuation takes over the end point at a reflection.
                  .closed_end = i == last_live && !continued,
                  .qt0 = sa.q_tilde,
                  .dqt = {sb.q_tilde.x - sa.q_tilde.x, sb.q_tilde.y - sa.q_tilde.y},
                  .qh0 = sa.q_hat,
                  .dqh = {sb.q_hat.x - sa.q_hat.x, sb.q_hat.y - sa.q_hat.y},
                  .pt0 = {scale.tilde * sa.p_tilde.x, scale.tilde * sa.p_tilde.y},
                  .dpt = {scale.tilde * (pb_t.x - sa.p_tilde.x),
                          scale.tilde * (pb_t.y - sa.p_tilde.y)},
                  .ph0 = {scale.hat * sa.p_hat.x, scale.hat * sa.p_hat.y},
                  .dph = {scale.hat * (pb_h.x - sa.p_hat.x), scale.hat * (pb_h.y - sa.p_hat.y)},
                  .det_a = sa.det_q,
                  .tau0 = sa.travel_time,
                  .dtau = sb.travel_time - sa.travel_time,
                  .amp_b = sb.amplitude,
                  .phase = sa.phase + psi,
                  .state_index = static_cast<std::uint32_t>(i),
                  .surface_bounces = sa.surface_bounces,
                  .bottom_bounces = sa.bottom_bounces,
                  .reflection_row = row},
                 [&frame](BeamSegment& g) {
                     const RayBasis basis =
                         ray_normal_basis(frame.slowness, frame.sound_speed, frame.phi);
                     g.e1 = ray_tube_sign(frame) * basis.e1;
                     g.e2 = basis.e2;
                 });
        }

        if (reflects) {
            // The incident leg past the boundary.
            if (continued) {
                BeamSegment g = continuation(incident, 0.0f, incident_length);
                g.state_index = static_cast<std::uint32_t>(i);
                g.closed_end = true;
                emit(g, as_is);
            }
            // The coefficient applies to everything after the reflection point, also when
            // the segment leading to it was too short to reach any receiver.
            if (sb.event.kind == kEventBottom && !omegas.empty()) {
                const std::size_t f = omegas.size(), from = model.reflection.size() - f;
                for (std::size_t k = 0; k < f; ++k) {
                    const Complex32 c = reflect::compute_bottom_reflection_coefficient(
                        bty.bottom_model, sb.event.incident_slowness, sb.event.normal,
                        sb.event.sound_speed, bty.water_density_g_cm3, omegas[k]);
                    model.reflection.push_back(model.reflection[from + k] * c);
                }
                ++row;
            }
            // The reflected leg before the boundary: a new image, no hand-over from the
            // incident leg. It reaches back no further than half way to its image source,
            // so that it never arrives before the sound left.
            const LegEnd reflected =
                leg_end(sb, sb.slowness, sb.phi, scaled_p(sb.p_tilde, sb.p_hat),
                        sb.phase + psi_b, sb, row);
            const float back = smaller(continuation_length(reflected, normal),
                                       0.5f * sb.sound_speed * sb.travel_time);
            prev = {};
            if (is_live_length(back * back)) {
                BeamSegment g = continuation(reflected, -back, 0.0f);
                g.state_index = static_cast<std::uint32_t>(i);
                emit(g, as_is);
            }
        }
        psi = psi_b;
        len_t = len_t_b;
        len_h = len_h_b;
    }
}

bool owns_receiver(const BeamSegment& g, Vec3 r, float& s) {
    if (!g.has_prev || !(s < kHandoverBand)) return s >= 0.0f;
    if (!(s > -kHandoverBand)) return false;
    const float sp = dot(r - g.prev_a, g.prev_d) / g.prev_l2;
    if (sp >= 0.0f && sp < 1.0f) return false; // the previous segment counted it
    if (s < 0.0f) {
        if (!(sp >= 1.0f)) return false;
        s = 0.0f;
    }
    return true;
}

} // namespace kelp::influence
