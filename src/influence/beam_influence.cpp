#include "influence/influence.hpp"
#include "input/constants.hpp"
#include "reflect/reflect.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>

namespace kelp::influence {
namespace {

// A grid axis as the bisection needs it: ascending values and, for each, the node's index in
// the receivers' own axis. An axis already ascending is used in place (order empty); any
// other axis is searched through a sorted copy without its NaN nodes (they can never lie in
// an interval), so an unordered or repeated axis still reaches every receiver exactly once.
struct AxisView {
    std::span<const float> values;
    std::span<const std::uint32_t> order;

    std::size_t node(std::size_t i) const { return order.empty() ? i : order[i]; }
};

struct AxisScratch {
    std::vector<float> values;
    std::vector<std::uint32_t> order;
};

// Per-thread scratch reused across calls: after the first beams of a worker nothing is
// allocated (the vectors keep their capacity).
struct Scratch {
    std::vector<Complex32> reflection; // product of bottom coefficients, per frequency
    AxisScratch axes[3];
};

thread_local Scratch t_scratch;

bool is_ascending(std::span<const float> axis) {
    for (std::size_t i = 0; i < axis.size(); ++i) {
        if (std::isnan(axis[i])) return false;
        if (i > 0 && axis[i] < axis[i - 1]) return false;
    }
    return true;
}

AxisView make_axis_view(std::span<const float> axis, AxisScratch& scratch) {
    if (is_ascending(axis)) return {axis, {}};
    scratch.order.clear();
    for (std::size_t i = 0; i < axis.size(); ++i) {
        if (!std::isnan(axis[i])) scratch.order.push_back(static_cast<std::uint32_t>(i));
    }
    std::stable_sort(scratch.order.begin(), scratch.order.end(),
                     [axis](std::uint32_t a, std::uint32_t b) { return axis[a] < axis[b]; });
    scratch.values.resize(scratch.order.size());
    for (std::size_t i = 0; i < scratch.order.size(); ++i) {
        scratch.values[i] = axis[scratch.order[i]];
    }
    return {scratch.values, scratch.order};
}

// Positions [first, last) of the sorted nodes inside the closed interval [lo, hi].
struct IndexRange {
    std::size_t first = 0, last = 0;
    bool empty() const { return first >= last; }
};

IndexRange nodes_within(std::span<const float> sorted, float lo, float hi) {
    if (!(lo <= hi)) return {};
    const auto b = sorted.begin();
    return {static_cast<std::size_t>(std::lower_bound(b, sorted.end(), lo) - b),
            static_cast<std::size_t>(std::upper_bound(b, sorted.end(), hi) - b)};
}

float length(Vec2 q) {
    return std::sqrt(q.x * q.x + q.y * q.y);
}

// A determinant that reaches or crosses zero from either side is a caustic; one that starts
// from exactly zero (the source) is not.
bool crosses_caustic(float det, float det_prev) {
    return (det <= 0.0f && det_prev > 0.0f) || (det >= 0.0f && det_prev < 0.0f);
}

// Everything the receiver test needs about one segment A -> B, computed once per segment.
struct Segment {
    Vec3 a, d;
    float l2;
    bool closed_end; // accept s = 1 (only the last segment reaching receivers)
    float rb2;
    Vec2 qt0, dqt, qh0, dqh;
    Vec2 pt0, dpt, ph0, dph; // p vectors scaled like the q vectors
    float det_a;
    float tau0, dtau;
    float amp_b;
    float phase; // A.phase + caustic phase accumulated up to A
    Vec3 e1, e2;
    // The previous segment, when it reached receivers: near this segment's start the two
    // projection parameters are rounded independently, so ownership of a receiver there is
    // settled with the previous segment's own arithmetic.
    bool has_prev;
    Vec3 prev_a, prev_d;
    float prev_l2;
};

struct FieldView {
    std::span<Complex32> pressure; // (F, receivers)
    std::span<float> delay_s;
    std::span<float> amplitude;
    std::size_t receivers; // pressure stride between frequencies
    std::size_t ny, nz;    // grid receiver strides (1 in array mode)
    std::span<const float> omegas;
    std::span<const Complex32> reflection;
};

// A receiver projecting onto the state shared by two segments belongs to the later one;
// only the last segment that reaches receivers keeps its end point.
inline bool below_segment_end(const Segment& g, float s) {
    return s < 1.0f || (g.closed_end && s <= 1.0f);
}
// Width of the band around a segment's start where rounding can put a receiver that sits on
// the shared state at s = 1 of the previous segment and s < 0 of this one (lost to both), or
// at s < 1 of the previous and s = 0 of this one (counted twice).
inline constexpr float kHandoverBand = 1e-4f;
// How far (in beam windows) a leg is continued past a reflection at most: a grazing leg's
// window reaches water over window / sin(grazing angle), bounded here.
inline constexpr float kReachWidths = 10.0f;

// Whether this segment owns receiver r at projection parameter s (already below the end):
// away from the start, s >= 0; inside the band, exactly when the previous segment, with the
// very arithmetic it used, did not take it. `s` is clamped to 0 when taken from just before.
inline bool owns_receiver(const Segment& g, Vec3 r, float& s) {
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

// Receiver r whose projection parameter s = ((r - A) . d) / L^2 lies on the segment.
template <bool kCount>
inline void add_projected(const Segment& g, Vec3 r, float s, std::size_t rec,
                          const FieldView& f, InfluenceStats* stats) {
    const Vec3 v = r - (g.a + s * g.d);
    if (!(dot(v, v) <= g.rb2)) {
        if constexpr (kCount) ++stats->rejected_radius;
        return;
    }
    const Vec2 qt{g.qt0.x + s * g.dqt.x, g.qt0.y + s * g.dqt.y};
    const Vec2 qh{g.qh0.x + s * g.dqh.x, g.qh0.y + s * g.dqh.y};
    const float det = qt.x * qh.y - qt.y * qh.x;
    if (!(std::fabs(det) >= 1e-12f)) {
        if constexpr (kCount) ++stats->rejected_determinant;
        return;
    }
    // Offsets along the tube's normals, expressed in units of the beam's two q vectors: the
    // solution of [qt qh] (a, b) = (u1, u2). The offsets keep their signs: once reflections
    // or 3-D gradients shear the tube, q_tilde and q_hat are no longer along e1 and e2, and
    // the four quadrants around the ray lie at different distances in launch angle. A
    // vanishing diagonal entry falls back to the offset scaled by the determinant alone.
    const float u1 = dot(v, g.e1);
    const float u2 = dot(v, g.e2);
    const float a =
        (std::fabs(qh.y) > 1e-12f) ? (u1 * qh.y - u2 * qh.x) / det : u2 / std::fabs(det);
    const float b =
        (std::fabs(qt.x) > 1e-12f) ? (u2 * qt.x - u1 * qt.y) / det : u1 / std::fabs(det);
    if (!(std::fabs(a) + std::fabs(b) <= 4.0f)) {
        if constexpr (kCount) ++stats->rejected_window;
        return;
    }
    if constexpr (kCount) ++stats->evaluated;

    const float weight = std::exp(-0.5f * (a * a + b * b));
    // A receiver beyond a caustic inside this very segment already carries its pi/2.
    const float ph = crosses_caustic(det, g.det_a) ? g.phase + kHalfPi : g.phase;
    const float tau = g.tau0 + s * g.dtau;
    // Travel time off the axis: the wavefront's curvature P Q^-1 adds (1/2) u . P Q^-1 u, with
    // Q^-1 u = (a, b). Without it, beams whose axes pass the receiver at different offsets
    // arrive with different phases and cancel, the more so the wider the beams.
    const Vec2 pt{g.pt0.x + s * g.dpt.x, g.pt0.y + s * g.dpt.y};
    const Vec2 phv{g.ph0.x + s * g.dph.x, g.ph0.y + s * g.dph.y};
    const float tau_off =
        tau + 0.5f * (u1 * (a * pt.x + b * phv.x) + u2 * (a * pt.y + b * phv.y));
    const float amp = (g.amp_b / std::sqrt(std::fabs(det))) * weight;

    float& delay = f.delay_s[rec];
    float& arrival_amp = f.amplitude[rec];
    if (delay > tau || (delay == tau && std::fabs(amp) > std::fabs(arrival_amp))) {
        delay = tau;
        arrival_amp = amp;
    }

    Complex32* p = f.pressure.data() + rec;
    for (std::size_t k = 0; k < f.omegas.size(); ++k, p += f.receivers) {
        float sn, cs;
        ::sincosf(f.omegas[k] * tau_off - ph, &sn, &cs);
        const float ac = amp * cs, as = amp * sn;
        const Complex32 rk = f.reflection[k];
        p->re += rk.re * ac - rk.im * as;
        p->im += rk.im * ac + rk.re * as;
    }
}

// Grid receivers inside the segment's bounding box widened by the search radius, x outermost
// and z innermost. Along one z column the projection parameter
// s = (((x - A.x) d.x + (y - A.y) d.y) + (z - A.z) d.z) / L^2 is computed exactly as for a
// single receiver, and every operation in it is monotonic in z: the receivers on the segment
// form one run of the sorted column, found by bisection instead of testing each node.
template <bool kCount>
void add_segment_grid(const Segment& g, Vec3 b, float rb, const AxisView (&axes)[3],
                      const FieldView& f, InfluenceStats* stats) {
    const float ac[3] = {g.a.x, g.a.y, g.a.z};
    const float bc[3] = {b.x, b.y, b.z};
    IndexRange range[3];
    for (int ax = 0; ax < 3; ++ax) {
        range[ax] = nodes_within(axes[ax].values, std::min(ac[ax], bc[ax]) - rb,
                                 std::max(ac[ax], bc[ax]) + rb);
        if (range[ax].empty()) return;
    }
    const std::span<const float> zs = axes[2].values;
    const auto z_first = zs.begin() + static_cast<std::ptrdiff_t>(range[2].first);
    const auto z_last = zs.begin() + static_cast<std::ptrdiff_t>(range[2].last);
    const bool descending = g.d.z < 0.0f;
    for (std::size_t i = range[0].first; i < range[0].last; ++i) {
        const float x = axes[0].values[i];
        const float tx = (x - g.a.x) * g.d.x;
        const std::size_t row_x = axes[0].node(i) * f.ny;
        for (std::size_t j = range[1].first; j < range[1].last; ++j) {
            const float y = axes[1].values[j];
            const float txy = tx + (y - g.a.y) * g.d.y;
            const auto s_at = [&](float z) { return (txy + (z - g.a.z) * g.d.z) / g.l2; };
            auto lo = z_first, hi = z_last;
            if (descending) {
                lo = std::partition_point(
                    z_first, z_last, [&](float z) { return !below_segment_end(g, s_at(z)); });
                hi = std::partition_point(lo, z_last,
                                          [&](float z) { return s_at(z) > -kHandoverBand; });
            } else {
                lo = std::partition_point(z_first, z_last,
                                          [&](float z) { return !(s_at(z) > -kHandoverBand); });
                hi = std::partition_point(
                    lo, z_last, [&](float z) { return below_segment_end(g, s_at(z)); });
            }
            if constexpr (kCount) {
                const auto column = static_cast<std::uint64_t>(z_last - z_first);
                const auto kept = static_cast<std::uint64_t>(hi - lo);
                stats->candidates += column;
                stats->rejected_projection += column - kept;
            }
            const std::size_t row_xy = (row_x + axes[1].node(j)) * f.nz;
            for (auto it = lo; it < hi; ++it) {
                const auto k = static_cast<std::size_t>(it - zs.begin());
                const Vec3 r{x, y, *it};
                float s = s_at(*it);
                if (!owns_receiver(g, r, s)) {
                    if constexpr (kCount) ++stats->rejected_projection;
                    continue;
                }
                add_projected<kCount>(g, r, s, row_xy + axes[2].node(k), f, stats);
            }
        }
    }
}

template <bool kCount>
void add_ray(std::vector<rays::RayState>& ray, PressureField& field, const bty::BTYfield& bty,
             std::span<const float> omegas, float elev0, float dazim, float delev,
             InfluenceStats* stats) {
    const std::size_t n = ray.size();
    if (n < 2) return;

    // Normalisation of the fan: each beam carries the solid angle dazim * delev * |cos elev0|
    // of its launch cell, so the sum of the Gaussian weights over the fan reproduces the
    // point-source spreading 1/r (with unit amplitude at 1 m).
    const float c0 = ray[0].sound_speed;
    const float cos_e = std::fabs(std::cos(elev0));
    const float a0 = std::sqrt(dazim * delev) * std::sqrt(cos_e) / c0 / kTwoPi;
    // The beam widths are the ray tube spanned by the neighbouring rays of the fan.
    const float scale_tilde = delev / c0;
    const float scale_hat = dazim * cos_e / c0;
    for (rays::RayState& st : ray) {
        st.amplitude = (st.sound_speed * a0) * st.amplitude;
        st.det_q = st.q_tilde.x * st.q_hat.y - st.q_tilde.y * st.q_hat.x;
        st.q_tilde = {st.q_tilde.x * scale_tilde, st.q_tilde.y * scale_tilde};
        st.q_hat = {st.q_hat.x * scale_hat, st.q_hat.y * scale_hat};
    }

    // Segments shorter than this reach no receiver; the last one that does also owns a
    // receiver projecting exactly onto its end state.
    const auto is_live = [&ray](std::size_t i) {
        const Vec3 d = ray[i].position - ray[i - 1].position;
        const float l2 = dot(d, d);
        return !(l2 < 1e-12f) && std::sqrt(l2) > 1e-4f;
    };
    std::size_t last_live = 0;
    for (std::size_t i = n - 1; i >= 1; --i) {
        if (is_live(i)) {
            last_live = i;
            break;
        }
    }

    Scratch& scratch = t_scratch;
    scratch.reflection.assign(omegas.size(), Complex32{1.0f, 0.0f});

    const bool array_mode = field.is_array_mode;
    AxisView axes[3];
    if (!array_mode) {
        axes[0] = make_axis_view(field.x_m, scratch.axes[0]);
        axes[1] = make_axis_view(field.y_m, scratch.axes[1]);
        axes[2] = make_axis_view(field.z_m, scratch.axes[2]);
    }
    const std::span<const std::array<float, 3>> points =
        (array_mode && field.receiver_positions_m)
            ? std::span<const std::array<float, 3>>(*field.receiver_positions_m)
            : std::span<const std::array<float, 3>>();
    const FieldView f{field.pressure.flat(),
                      field.delay_s.flat(),
                      field.amplitude.flat(),
                      field.delay_s.size(),
                      array_mode ? std::size_t{1} : field.y_m.size(),
                      array_mode ? std::size_t{1} : field.z_m.size(),
                      omegas,
                      scratch.reflection};

    float psi = 0.0f; // caustic phase accumulated up to state A
    bool prev_live = false;
    Vec3 prev_a{}, prev_d{};
    float prev_l2 = 1.0f;
    float len_t = length(ray[0].q_tilde), len_h = length(ray[0].q_hat);
    for (std::size_t i = 1; i < n; ++i) {
        const rays::RayState& sa = ray[i - 1];
        const rays::RayState& sb = ray[i];
        const float len_t_b = length(sb.q_tilde), len_h_b = length(sb.q_hat);
        const float w_tilde = 4.0f * std::fmax(len_t, len_t_b);
        const float w_hat = 4.0f * std::fmax(len_h, len_h_b);

        if (is_live(i)) {
            const Vec3 d0 = sb.position - sa.position;
            // At a reflection B's slowness is already mirrored and its frame turned, while
            // the segment still runs along the incident direction: measure with A's normals.
            const bool ends_in_reflection =
                sb.event.kind == rays::kEventBottom || sb.surface_bounces > sa.surface_bounces;
            const bool starts_at_reflection =
                i >= 2 && (sa.event.kind == rays::kEventBottom ||
                           sa.surface_bounces > ray[i - 2].surface_bounces);
            const rays::RayState& frame = ends_in_reflection ? sa : sb;
            // The tube's normals: the stored frame with the sign its reflections left on e1.
            const rays::RayBasis basis =
                rays::ray_normal_basis(frame.slowness, frame.sound_speed, frame.phi);
            const float tube_sign = rays::ray_tube_sign(frame);
            // p jumps at a reflection (q does not): the incident segment keeps A's p.
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
            const auto reach = [&](const rays::RayState& at) {
                const Vec3 n = at.event.kind == rays::kEventBottom ? at.event.normal
                                                                   : Vec3{0.0f, 0.0f, -1.0f};
                const float sin_graze = std::fabs(dot(d0, n)) / len0;
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
            const Vec2 pt0{scale_tilde * sa.p_tilde.x, scale_tilde * sa.p_tilde.y};
            const Vec2 dpt{scale_tilde * (pb_t.x - sa.p_tilde.x),
                           scale_tilde * (pb_t.y - sa.p_tilde.y)};
            const Vec2 ph0{scale_hat * sa.p_hat.x, scale_hat * sa.p_hat.y};
            const Vec2 dph{scale_hat * (pb_h.x - sa.p_hat.x),
                           scale_hat * (pb_h.y - sa.p_hat.y)};
            const float dtau = sb.travel_time - sa.travel_time;
            // The window grows with q along the continuation.
            const Vec2 qt_far0 = start_of(sa.q_tilde, dqt), qh_far0 = start_of(sa.q_hat, dqh);
            const Vec2 qt_far1{sb.q_tilde.x + ext1 * dqt.x, sb.q_tilde.y + ext1 * dqt.y};
            const Vec2 qh_far1{sb.q_hat.x + ext1 * dqh.x, sb.q_hat.y + ext1 * dqh.y};
            const float window_ext = std::fmax(
                window, 4.0f * std::fmax(std::fmax(length(qt_far0), length(qt_far1)),
                                         std::fmax(length(qh_far0), length(qh_far1))));
            const float rb = 0.5f * std::sqrt(l2) + window_ext + 1e-6f;
            // A continued start is no hand-over from the previous segment (another image).
            const bool has_prev = prev_live && !starts_at_reflection;
            const Segment g{a,
                            d,
                            l2,
                            i == last_live || ends_in_reflection,
                            rb * rb,
                            start_of(sa.q_tilde, dqt),
                            along(dqt),
                            start_of(sa.q_hat, dqh),
                            along(dqh),
                            start_of(pt0, dpt),
                            along(dpt),
                            start_of(ph0, dph),
                            along(dph),
                            sa.det_q,
                            sa.travel_time - ext0 * dtau,
                            span * dtau,
                            sb.amplitude,
                            sa.phase + psi,
                            tube_sign * basis.e1,
                            basis.e2,
                            has_prev,
                            prev_a,
                            prev_d,
                            prev_l2};
            if (array_mode) {
                for (std::size_t j = 0; j < points.size(); ++j) {
                    const Vec3 r{points[j][0], points[j][1], points[j][2]};
                    float s = dot(r - g.a, g.d) / g.l2;
                    if constexpr (kCount) ++stats->candidates;
                    if (!(s > -kHandoverBand && below_segment_end(g, s)) ||
                        !owns_receiver(g, r, s)) {
                        if constexpr (kCount) ++stats->rejected_projection;
                        continue;
                    }
                    add_projected<kCount>(g, r, s, j, f, stats);
                }
            } else {
                add_segment_grid<kCount>(g, a + d, rb, axes, f, stats);
            }
            prev_a = a;
            prev_d = d;
            prev_l2 = l2;
        }
        prev_live = is_live(i);

        // The coefficient applies to everything after the reflection point, also when the
        // segment leading to it was too short to reach any receiver.
        if (sb.event.kind == rays::kEventBottom && !omegas.empty()) {
            for (std::size_t k = 0; k < omegas.size(); ++k) {
                const Complex32 c = reflect::compute_bottom_reflection_coefficient(
                    bty.bottom_model, sb.event.incident_slowness, sb.event.normal,
                    sb.event.sound_speed, bty.water_density_g_cm3, omegas[k]);
                scratch.reflection[k] = scratch.reflection[k] * c;
            }
        }
        if (crosses_caustic(sb.det_q, sa.det_q)) psi += kHalfPi;
        len_t = len_t_b;
        len_h = len_h_b;
    }
}

} // namespace

void gaussian_beam_influence(std::vector<rays::RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad) {
    add_ray<false>(ray, field, bty, omegas, elev0_rad, dazim_rad, delev_rad, nullptr);
}

void gaussian_beam_influence(std::vector<rays::RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad,
                             InfluenceStats& stats) {
    add_ray<true>(ray, field, bty, omegas, elev0_rad, dazim_rad, delev_rad, &stats);
}

} // namespace kelp::influence
