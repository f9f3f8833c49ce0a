#pragma once
// The contribution of one beam segment to the receivers near it, written once over a lane
// type L (simd/lanes.hpp): L = OneLane is the scalar reading of the formula, the wider lane
// types evaluate the same operations for several receivers at once.
//
// A receiver r at projection parameter s = ((r - a) . d) / |d|^2 on the segment, offset v
// from the axis point a + s d, receives at angular frequency omega_k
//
//     R_k (amp_B / sqrt|det|) exp(-(alpha^2 + beta^2) / 2) exp(i (omega_k tau' - phase))
//
// where qt, qh are the scaled q vectors at s and det = qt x qh; (alpha, beta) solve
// [qt qh] (alpha, beta) = (u1, u2), the offsets of v along the tube's normals; tau' is the
// travel time at s plus the wavefront's curvature term (1/2) u . P Q^-1 u; phase is the
// ray's phase with the caustic phase (pi/2 more past a sign change of det inside this
// segment); R_k the product of the bottom reflection coefficients met before the segment.
// The receiver takes it when s lies on the segment (owned by exactly one segment at a shared
// state), |v| <= rb, |det| >= 1e-12 and |alpha| + |beta| <= 4. The earliest contribution
// (delay tau, amplitude without R_k and phase) is kept per receiver; with an arrivals table,
// every contribution is also added to the arrival of its path (arrivals.hpp).
//
// Everything here has internal linkage: each translation unit builds the kernel for its own
// instruction set (one of them for AVX2, behind its target switch), and no copy built for
// one may be picked by the linker for another. Include this header only after the headers it
// includes, in a unit that instantiates it.

#include "core/constants.hpp"
#include "core/vec3.hpp"
#include "influence/beam_model.hpp"
#include "influence/kernels.hpp"
#include "influence/pressure_field.hpp"
#include "influence/receiver_search.hpp"
#include "influence/simd/lane_math.hpp"
#include "influence/simd/lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace kelp::influence {
namespace {

// The segment's constants, one copy per lane.
template <class L> struct SegmentLanes {
    using F = typename L::F;
    F ax, ay, az, dx, dy, dz, l2, rb2;
    F qt0x, qt0y, dqtx, dqty, qh0x, qh0y, dqhx, dqhy;
    F e1x, e1y, e1z, e2x, e2y, e2z;

    explicit SegmentLanes(const BeamSegment& g)
        : ax(L::splat(g.a.x)), ay(L::splat(g.a.y)), az(L::splat(g.a.z)), dx(L::splat(g.d.x)),
          dy(L::splat(g.d.y)), dz(L::splat(g.d.z)), l2(L::splat(g.l2)), rb2(L::splat(g.rb2)),
          qt0x(L::splat(g.qt0.x)), qt0y(L::splat(g.qt0.y)), dqtx(L::splat(g.dqt.x)),
          dqty(L::splat(g.dqt.y)), qh0x(L::splat(g.qh0.x)), qh0y(L::splat(g.qh0.y)),
          dqhx(L::splat(g.dqh.x)), dqhy(L::splat(g.dqh.y)), e1x(L::splat(g.e1.x)),
          e1y(L::splat(g.e1.y)), e1z(L::splat(g.e1.z)), e2x(L::splat(g.e2.x)),
          e2y(L::splat(g.e2.y)), e2z(L::splat(g.e2.z)) {}
};

// The tests of receivers (x, y, z) at projection parameter s, past the projection test.
template <class L> struct LaneTest {
    typename L::M radius, regular, window;
    typename L::F u1, u2, a, b, det;
};

template <class L>
[[gnu::always_inline]] inline LaneTest<L> test_receivers(const SegmentLanes<L>& g,
                                                         typename L::F x, typename L::F y,
                                                         typename L::F z, typename L::F s) {
    using F = typename L::F;
    using M = typename L::M;
    const F tiny = L::splat(1e-12f);
    LaneTest<L> t;
    const F vx = x - (g.ax + s * g.dx), vy = y - (g.ay + s * g.dy), vz = z - (g.az + s * g.dz);
    t.radius = ((vx * vx + vy * vy) + vz * vz) <= g.rb2;
    const F qtx = g.qt0x + s * g.dqtx, qty = g.qt0y + s * g.dqty;
    const F qhx = g.qh0x + s * g.dqhx, qhy = g.qh0y + s * g.dqhy;
    t.det = qtx * qhy - qty * qhx;
    const F abs_det = L::abs(t.det);
    t.regular = abs_det >= tiny;
    // Offsets along the tube's normals, expressed in units of the beam's two q vectors: the
    // solution of [qt qh] (a, b) = (u1, u2). The offsets keep their signs: once reflections
    // or 3-D gradients shear the tube, q_tilde and q_hat are no longer along e1 and e2, and
    // the four quadrants around the ray lie at different distances in launch angle. A
    // vanishing diagonal entry falls back to the offset scaled by the determinant alone,
    // divided out only when some lane needs it.
    t.u1 = (vx * g.e1x + vy * g.e1y) + vz * g.e1z;
    t.u2 = (vx * g.e2x + vy * g.e2y) + vz * g.e2z;
    const M full_a = L::abs(qhy) > tiny, full_b = L::abs(qtx) > tiny;
    t.a = (t.u1 * qhy - t.u2 * qhx) / t.det;
    t.b = (t.u2 * qtx - t.u1 * qty) / t.det;
    const M full = full_a & full_b;
    if (L::bits(full) != (1u << L::kWidth) - 1u) {
        t.a = L::select(full_a, t.a, t.u2 / abs_det);
        t.b = L::select(full_b, t.b, t.u1 / abs_det);
    }
    t.window = (L::abs(t.a) + L::abs(t.b)) <= L::splat(4.0f);
    return t;
}

template <class L>
inline void keep_passed(PassedReceivers& p, const LaneTest<L>& t, typename L::F s,
                        std::size_t lane, std::size_t receiver) {
    const std::uint32_t k = p.n++;
    p.s[k] = L::get(s, lane);
    p.u1[k] = L::get(t.u1, lane);
    p.u2[k] = L::get(t.u2, lane);
    p.a[k] = L::get(t.a, lane);
    p.b[k] = L::get(t.b, lane);
    p.det[k] = L::get(t.det, lane);
    p.receiver[k] = receiver;
}

// The earliest arrival of a receiver: a strictly earlier delay wins, an equal one with a
// larger |amplitude| too.
inline void record_arrival(const FieldSink& sink, std::size_t receiver, float tau, float amp) {
    float& delay = sink.delay_s[receiver];
    float& arrival_amp = sink.amplitude[receiver];
    if (delay > tau || (delay == tau && std::fabs(amp) > std::fabs(arrival_amp))) {
        delay = tau;
        arrival_amp = amp;
    }
}

inline void add_pressure(const FieldSink& sink, std::size_t k, std::size_t receiver, float re,
                         float im) {
    Complex32& p = sink.pressure[k * sink.receivers + receiver];
    p.re += re;
    p.im += im;
}

// Adds the contributions of the receivers kept as passed to the sink: the arrival (delay,
// amplitude) and, for each frequency, amp exp(i (omega tau' - phase)) times the product of
// reflection coefficients. Every receiver appears once in the list, which is emptied.
template <class L>
[[gnu::always_inline]] inline void add_passed(const BeamSegment& g, PassedReceivers& p,
                                              const FieldSink& sink) {
    using F = typename L::F;
    using M = typename L::M;
    constexpr std::size_t W = L::kWidth;
    const std::size_t n = p.n;
    p.n = 0;
    const F tau0 = L::splat(g.tau0), dtau = L::splat(g.dtau), amp_b = L::splat(g.amp_b);
    const F pt0x = L::splat(g.pt0.x), pt0y = L::splat(g.pt0.y), dptx = L::splat(g.dpt.x),
            dpty = L::splat(g.dpt.y);
    const F ph0x = L::splat(g.ph0.x), ph0y = L::splat(g.ph0.y), dphx = L::splat(g.dph.x),
            dphy = L::splat(g.dph.y);
    const F zero = L::splat(0.0f), det_a = L::splat(g.det_a);
    const F phase = L::splat(g.phase), phase_caustic = L::splat(g.phase + kHalfPi);
    for (std::size_t j = 0; j < n; j += W) {
        const std::size_t lanes = std::min(W, n - j);
        const F s = L::load(p.s + j), u1 = L::load(p.u1 + j), u2 = L::load(p.u2 + j);
        const F a = L::load(p.a + j), b = L::load(p.b + j), det = L::load(p.det + j);
        const F weight = simd::exp_lanes<L>(L::splat(-0.5f) * (a * a + b * b));
        // A receiver beyond a caustic inside this very segment already carries its pi/2.
        const M caustic = ((det <= zero) & (det_a > zero)) | ((det >= zero) & (det_a < zero));
        const F ph = L::select(caustic, phase_caustic, phase);
        const F tau = tau0 + s * dtau;
        // Travel time off the axis: the wavefront's curvature P Q^-1 adds
        // (1/2) u . P Q^-1 u, with Q^-1 u = (a, b). Without it, beams whose axes pass the
        // receiver at different offsets arrive with different phases and cancel, the more
        // so the wider the beams.
        const F ptx = pt0x + s * dptx, pty = pt0y + s * dpty;
        const F phx = ph0x + s * dphx, phy = ph0y + s * dphy;
        const F tau_off =
            tau + L::splat(0.5f) * (u1 * (a * ptx + b * phx) + u2 * (a * pty + b * phy));
        const F amp = (amp_b / L::sqrt(L::abs(det))) * weight;
        for (std::size_t i = 0; i < lanes; ++i)
            record_arrival(sink, p.receiver[j + i], L::get(tau, i), L::get(amp, i));
        // With an arrivals table, each contribution also goes to the arrival of its path, at
        // its paraxial delay.
        std::ptrdiff_t arrival[W] = {};
        Complex32* arrival_sums = nullptr;
        if (sink.arrivals != nullptr) {
            for (std::size_t i = 0; i < lanes; ++i)
                arrival[i] = offer_contribution(*sink.arrivals, p.receiver[j + i], *sink.path,
                                                L::get(tau_off, i), L::get(amp, i));
            arrival_sums = sink.arrivals->sums.data();
        }
        for (std::size_t k = 0; k < sink.omegas.size(); ++k) {
            F sn, cs;
            simd::sincos_lanes<L>(L::splat(sink.omegas[k]) * tau_off - ph, sn, cs);
            const F ac = amp * cs, as = amp * sn;
            const Complex32 rk = sink.reflection[k];
            const F re = L::splat(rk.re) * ac - L::splat(rk.im) * as;
            const F im = L::splat(rk.im) * ac + L::splat(rk.re) * as;
            for (std::size_t i = 0; i < lanes; ++i)
                add_pressure(sink, k, p.receiver[j + i], L::get(re, i), L::get(im, i));
            if (arrival_sums != nullptr) {
                for (std::size_t i = 0; i < lanes; ++i) {
                    if (arrival[i] == kNoArrival) continue;
                    Complex32& sum = arrival_sums[arrival[i] + static_cast<std::ptrdiff_t>(k)];
                    sum.re += L::get(re, i);
                    sum.im += L::get(im, i);
                }
            }
        }
    }
}

// The batch kernel (see BatchKernel): candidates are tested W at a time, most of them
// failing the radius or window test in a few nanoseconds; those that pass are evaluated W at
// a time too. A receiver projecting onto the state shared by two segments belongs to the
// later one; only the last segment that reaches receivers (or one ending in a reflection)
// keeps its end point.
template <class L, bool kCount>
void add_batch(const BeamSegment& g, SegmentPiece piece, CandidateBatch& batch,
               PassedReceivers& passed, const FieldSink& sink, InfluenceStats* stats) {
    using F = typename L::F;
    using M = typename L::M;
    constexpr std::size_t W = L::kWidth;
    const std::size_t n = batch.n;
    // Lanes past the end hold NaN, which fails every test.
    const std::size_t padded = (n + W - 1) / W * W;
    for (std::size_t j = n; j < padded; ++j)
        batch.x[j] = std::numeric_limits<float>::quiet_NaN();

    const SegmentLanes<L> seg(g);
    const F band = L::splat(kHandoverBand), one = L::splat(1.0f), zero = L::splat(0.0f);
    const F s_lo = L::splat(piece.s_lo), s_hi = L::splat(piece.s_hi);
    const M closed = L::mask(g.closed_end);
    const M handover = L::mask(g.has_prev);

    // s = t / l2 lies in the slab [-band, 1] only if t lies within these bounds, widened far
    // beyond the division's rounding: most candidates gathered for several segments lie in
    // another one's slab, and are turned away before the division.
    const F t_min = L::splat(-(kHandoverBand * g.l2) * 1.01f - 1e-30f);
    const F t_max = L::splat(g.l2 * 1.01f + 1e-30f);
    for (std::size_t j = 0; j < padded; j += W) {
        const F x = L::load(batch.x + j), y = L::load(batch.y + j), z = L::load(batch.z + j);
        const F along = ((x - seg.ax) * seg.dx + (y - seg.ay) * seg.dy) + (z - seg.az) * seg.dz;
        const M in_slab_t = (along > t_min) & (along < t_max);
        M in_slab = in_slab_t;
        F s = along;
        if (L::bits(in_slab_t) != 0) {
            s = along / seg.l2;
            in_slab = in_slab_t & (s > -band) & ((s < one) | (closed & (s <= one))) &
                      (s >= s_lo) & (s < s_hi);
        }
        if (L::bits(in_slab) == 0) {
            if constexpr (kCount) {
                const unsigned lanes = n - j >= W ? W : static_cast<unsigned>(n - j);
                stats->candidates += lanes;
                stats->rejected_projection += lanes;
            }
            continue;
        }
        // Near the start the hand-over from the previous segment is settled one receiver at
        // a time, with the previous segment's own arithmetic.
        const M near = in_slab & handover & (s < band);
        const M proj = L::and_not(in_slab, near) & (s >= zero);
        const unsigned near_start = L::bits(near);
        for (unsigned m = near_start; m != 0; m &= m - 1) {
            const auto k = static_cast<std::size_t>(__builtin_ctz(m));
            const Vec3 r{L::get(x, k), L::get(y, k), L::get(z, k)};
            float sk = L::get(s, k);
            if (!owns_receiver(g, r, sk)) {
                if constexpr (kCount) ++stats->rejected_projection;
                continue;
            }
            const SegmentLanes<simd::OneLane> one_lane(g);
            const LaneTest<simd::OneLane> t = test_receivers(one_lane, r.x, r.y, r.z, sk);
            if constexpr (kCount) {
                ++(!t.radius    ? stats->rejected_radius
                   : !t.regular ? stats->rejected_determinant
                   : !t.window  ? stats->rejected_window
                                : stats->evaluated);
            }
            if (t.radius && t.regular && t.window)
                keep_passed(passed, t, sk, 0, batch.receiver[j + k]);
        }
        const LaneTest<L> t = test_receivers(seg, x, y, z, s);
        const unsigned pass = L::bits(proj & t.radius & t.regular & t.window);
        if constexpr (kCount) {
            const unsigned lanes = n - j >= W ? (1u << W) - 1u : (1u << (n - j)) - 1u;
            const M pr = proj & t.radius, prd = pr & t.regular;
            const unsigned p = L::bits(proj), r = L::bits(pr), d = L::bits(prd);
            stats->candidates += static_cast<unsigned>(__builtin_popcount(lanes));
            stats->rejected_projection +=
                static_cast<unsigned>(__builtin_popcount(lanes & ~p & ~near_start));
            stats->rejected_radius += static_cast<unsigned>(__builtin_popcount(p & ~r));
            stats->rejected_determinant += static_cast<unsigned>(__builtin_popcount(r & ~d));
            stats->rejected_window += static_cast<unsigned>(__builtin_popcount(d & ~pass));
            stats->evaluated += static_cast<unsigned>(__builtin_popcount(pass));
        }
        for (unsigned m = pass; m != 0; m &= m - 1) {
            const auto k = static_cast<std::size_t>(__builtin_ctz(m));
            keep_passed(passed, t, s, k, batch.receiver[j + k]);
        }
    }
    add_passed<L>(g, passed, sink);
}

template <class L> BatchKernel batch_kernel_of(bool count) {
    return count ? &add_batch<L, true> : &add_batch<L, false>;
}

template <class L>
void evaluate_functions(std::span<const float> x, std::span<float> sin_x,
                        std::span<float> cos_x, std::span<float> exp_x) {
    using F = typename L::F;
    constexpr std::size_t W = L::kWidth;
    for (std::size_t j = 0; j < x.size(); j += W) {
        const std::size_t n = std::min(W, x.size() - j);
        F v = L::splat(0.0f);
        for (std::size_t i = 0; i < n; ++i)
            L::set(v, i, x[j + i]);
        F s, c;
        simd::sincos_lanes<L>(v, s, c);
        const F e = simd::exp_lanes<L>(v);
        for (std::size_t i = 0; i < n; ++i) {
            sin_x[j + i] = L::get(s, i);
            cos_x[j + i] = L::get(c, i);
            exp_x[j + i] = L::get(e, i);
        }
    }
}

} // namespace
} // namespace kelp::influence
