#include "influence/beam_model.hpp"

#include "core/constants.hpp"
#include "influence/receiver_search.hpp"
#include "reflect/reflect.hpp"

#include <cmath>

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
    float c0, tilde, hat;
};

// The beam widths are the ray tube spanned by the neighbouring rays of the fan.
FanScales fan_scales(std::span<const RayState> ray, const BeamLaunch& launch) {
    const float c0 = ray[0].sound_speed;
    const float cos_e = std::fabs(std::cos(launch.elev0_rad));
    return {c0, launch.delev_rad / c0, launch.dazim_rad * cos_e / c0};
}

} // namespace

void normalise_beam(std::span<RayState> ray, const BeamLaunch& launch) {
    if (ray.size() < 2) return;
    // Each beam carries the solid angle dazim delev |cos elev0| of its launch cell, so the
    // sum of the Gaussian weights over the fan reproduces the point-source spreading 1/r
    // (with unit amplitude at 1 m).
    const FanScales scale = fan_scales(ray, launch);
    const float cos_e = std::fabs(std::cos(launch.elev0_rad));
    const float a0 =
        std::sqrt(launch.dazim_rad * launch.delev_rad) * std::sqrt(cos_e) / scale.c0 / kTwoPi;
    for (RayState& st : ray) {
        st.amplitude = (st.sound_speed * a0) * st.amplitude;
        st.det_q = st.q_tilde.x * st.q_hat.y - st.q_tilde.y * st.q_hat.x;
        st.q_tilde = {st.q_tilde.x * scale.tilde, st.q_tilde.y * scale.tilde};
        st.q_hat = {st.q_hat.x * scale.hat, st.q_hat.y * scale.hat};
    }
}

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

    // The last segment that reaches receivers also owns a receiver projecting exactly onto
    // its end state.
    std::size_t last_live = 0;
    for (std::size_t i = n - 1; i >= 1; --i) {
        if (is_live(ray[i - 1], ray[i])) {
            last_live = i;
            break;
        }
    }

    float psi = 0.0f; // caustic phase accumulated up to state A
    std::uint32_t row = 0;
    bool prev_live = false;
    Vec3 prev_a{}, prev_d{};
    float prev_l2 = 1.0f;
    float len_t = length(ray[0].q_tilde), len_h = length(ray[0].q_hat);
    for (std::size_t i = 1; i < n; ++i) {
        const RayState& sa = ray[i - 1];
        const RayState& sb = ray[i];
        const float len_t_b = length(sb.q_tilde), len_h_b = length(sb.q_hat);
        const bool live = is_live(sa, sb);
        if (live) {
            const float w_tilde = 4.0f * std::fmax(len_t, len_t_b);
            const float w_hat = 4.0f * std::fmax(len_h, len_h_b);
            const Vec3 d0 = sb.position - sa.position;
            // At a reflection B's slowness is already mirrored and its frame turned, while
            // the segment still runs along the incident direction: measure with A's normals,
            // and keep A's p (p jumps at a reflection, q does not).
            const bool ends_in_reflection = reflects_at(ray, i);
            const bool starts_at_reflection = reflects_at(ray, i - 1);
            const RayState& frame = ends_in_reflection ? sa : sb;
            const Vec2 pb_t = ends_in_reflection ? sa.p_tilde : sb.p_tilde;
            const Vec2 pb_h = ends_in_reflection ? sa.p_hat : sb.p_hat;

            // A leg between reflections is the beam of one image source. Receivers near the
            // boundary whose foot on the ray lies beyond the reflection point (or before the
            // reflected leg's start) are still inside that image's beam: cutting the beam at
            // the boundary left a band one beam width wide along every boundary short of most
            // of its field. The leg's last (first) segment is therefore continued past the
            // reflection by as far as its window can reach water, extrapolating q, p and tau.
            const float len0 = std::sqrt(dot(d0, d0));
            const float window = std::fmax(w_hat, w_tilde);
            const auto reach = [&](const RayState& at) {
                const Vec3 normal =
                    at.event.kind == kEventBottom ? at.event.normal : Vec3{0.0f, 0.0f, -1.0f};
                const float sin_graze = std::fabs(dot(d0, normal)) / len0;
                return std::fmin(window / std::fmax(sin_graze, 0.1f), kReachWidths * window) /
                       len0;
            };
            const float ext0 = starts_at_reflection ? reach(sa) : 0.0f;
            const float ext1 = ends_in_reflection ? reach(sb) : 0.0f;
            const float span = 1.0f + ext0 + ext1;
            const Vec3 d = span * d0;
            const Vec3 a = sa.position - ext0 * d0;
            const float l2 = dot(d, d);
            const auto start_of = [ext0](Vec2 v0, Vec2 dv) {
                return Vec2{v0.x - ext0 * dv.x, v0.y - ext0 * dv.y};
            };
            const auto along = [span](Vec2 dv) { return Vec2{span * dv.x, span * dv.y}; };
            const Vec2 dqt{sb.q_tilde.x - sa.q_tilde.x, sb.q_tilde.y - sa.q_tilde.y};
            const Vec2 dqh{sb.q_hat.x - sa.q_hat.x, sb.q_hat.y - sa.q_hat.y};
            const Vec2 pt0{scale.tilde * sa.p_tilde.x, scale.tilde * sa.p_tilde.y};
            const Vec2 dpt{scale.tilde * (pb_t.x - sa.p_tilde.x),
                           scale.tilde * (pb_t.y - sa.p_tilde.y)};
            const Vec2 ph0{scale.hat * sa.p_hat.x, scale.hat * sa.p_hat.y};
            const Vec2 dph{scale.hat * (pb_h.x - sa.p_hat.x),
                           scale.hat * (pb_h.y - sa.p_hat.y)};
            const float dtau = sb.travel_time - sa.travel_time;
            // The window grows with q along the continuation.
            const Vec2 qt_far0 = start_of(sa.q_tilde, dqt), qh_far0 = start_of(sa.q_hat, dqh);
            const Vec2 qt_far1{sb.q_tilde.x + ext1 * dqt.x, sb.q_tilde.y + ext1 * dqt.y};
            const Vec2 qh_far1{sb.q_hat.x + ext1 * dqh.x, sb.q_hat.y + ext1 * dqh.y};
            const float window_ext = std::fmax(
                window, 4.0f * std::fmax(std::fmax(length(qt_far0), length(qt_far1)),
                                         std::fmax(length(qh_far0), length(qh_far1))));
            // The offset from the axis is measured square to it at the receiver's foot, so the
            // radius need not grow with the continuation: half the leg's own step is enough.
            const float rb = 0.5f * len0 + window_ext + 1e-6f;
            if (may_reach(a, d, l2, rb)) {
                // The tube's normals: the stored frame with the sign its reflections left on
                // e1.
                const RayBasis basis =
                    ray_normal_basis(frame.slowness, frame.sound_speed, frame.phi);
                model.segments.push_back({
                    .a = a,
                    .d = d,
                    .l2 = l2,
                    .rb = rb,
                    .rb2 = rb * rb,
                    .closed_end = i == last_live || ends_in_reflection,
                    .qt0 = start_of(sa.q_tilde, dqt),
                    .dqt = along(dqt),
                    .qh0 = start_of(sa.q_hat, dqh),
                    .dqh = along(dqh),
                    .pt0 = start_of(pt0, dpt),
                    .dpt = along(dpt),
                    .ph0 = start_of(ph0, dph),
                    .dph = along(dph),
                    .det_a = sa.det_q,
                    .tau0 = sa.travel_time - ext0 * dtau,
                    .dtau = span * dtau,
                    .amp_b = sb.amplitude,
                    .phase = sa.phase + psi,
                    .e1 = ray_tube_sign(frame) * basis.e1,
                    .e2 = basis.e2,
                    // A continued start is no hand-over from the previous segment (another
                    // image).
                    .has_prev = prev_live && !starts_at_reflection,
                    .prev_a = prev_a,
                    .prev_d = prev_d,
                    .prev_l2 = prev_l2,
                    .state_index = static_cast<std::uint32_t>(i),
                    .surface_bounces = sa.surface_bounces,
                    .bottom_bounces = sa.bottom_bounces,
                    .reflection_row = row,
                });
            }
            prev_a = a;
            prev_d = d;
            prev_l2 = l2;
        }
        prev_live = live;

        // The coefficient applies to everything after the reflection point, also when the
        // segment leading to it was too short to reach any receiver.
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
        if (crosses_caustic(sb.det_q, sa.det_q)) psi += kHalfPi;
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
