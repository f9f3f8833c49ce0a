#include "core/constants.hpp"

#include "influence/influence.hpp"
#include "reflect/reflect.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <immintrin.h>
#include <limits>
#include <numeric>
#include <string_view>
#include <utility>

namespace kelp::influence {
namespace {

// Positions [first, last) of the bins of one axis.
struct IndexRange {
    std::size_t first = 0, last = 0;
};

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

// A receiver that passed every test, kept for the batched evaluation: s is its projection
// parameter, (u1, u2) its offsets along the tube's normals, (a, b) the same in units of the
// beam's q vectors and det the determinant of [qt qh] at s.
inline void keep_passed(InfluenceWorkspace& w, float s, float u1, float u2, float a, float b,
                        float det, std::size_t rec) {
    const std::size_t k = w.passed++;
    w.passed_s[k] = s;
    w.passed_u1[k] = u1;
    w.passed_u2[k] = u2;
    w.passed_a[k] = a;
    w.passed_b[k] = b;
    w.passed_det[k] = det;
    w.passed_receiver[k] = rec;
}

// Receiver r whose projection parameter s = ((r - A) . d) / L^2 lies on the segment: the
// radius, determinant and window tests, one receiver at a time, keeping it when it passes.
// The batched tests below repeat exactly this arithmetic lane by lane.
template <bool kCount>
inline void add_projected(const Segment& g, Vec3 r, float s, std::size_t rec,
                          InfluenceWorkspace& w, InfluenceStats* stats) {
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
    keep_passed(w, s, u1, u2, a, b, det, rec);
}

// Candidate receivers gathered by the search, tested several at a time: most of them fail
// the radius or window test, and testing them lane-parallel (the very IEEE operations of
// add_projected, in the same order, so every lane decides and computes exactly as the scalar
// test) makes a rejection a few nanoseconds. Those that pass are evaluated in lanes too.
inline constexpr std::size_t kBatchSize = 256; // a multiple of every lane count

struct CandidateBatch {
    explicit CandidateBatch(InfluenceWorkspace& w)
        : work(w), x(w.candidate_x.data()), y(w.candidate_y.data()), z(w.candidate_z.data()),
          receiver(w.candidate_receiver.data()) {}
    InfluenceWorkspace& work;
    float *x, *y, *z; // the workspace's candidate arrays, held here for the hot loop
    std::size_t* receiver;
    std::uint32_t n = 0; // not a size_t, which the stores of receiver indices could alias
};

// The search of one segment. A receiver that passes the projection and radius tests lies in
// the slab -band <= s <= 1 of the segment and within Rb of a point of it, so inside the
// sphere about the segment's midpoint of radius sqrt(Rb^2 + ((0.5 + band) L)^2). The search
// runs over two outer axes bounded by that sphere and by the slab, and along the inner axis
// (the one with the longest runs, see bound_segment) over the stretch inside both. Every
// bound is widened well beyond the rounding of the tests, which then decide for each visited
// receiver exactly as for any other: the search visits a superset of the receivers that take
// a contribution, and each gets the very same contribution as under a scan of them all.
struct Span {
    float lo, hi;
};

inline Span operator+(Span a, Span b) {
    return {a.lo + b.lo, a.hi + b.hi};
}
inline Span intersect(Span a, Span b) {
    return {a.lo > b.lo ? a.lo : b.lo, a.hi < b.hi ? a.hi : b.hi};
}

inline constexpr Span kEverywhere{-std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::infinity()};

struct SearchBounds {
    int inner;              // the axis of the inner loop, 0 x, 1 y, 2 z
    float a[3], d[3], m[3]; // segment start, A -> B and midpoint, m
    float inv_d[3];         // 1 / d (0 where d is 0), for bounds only
    float r2;               // squared radius of the sphere, m^2
    float t_lo, t_hi;       // the slab in t = (r - A) . d, widened, m^2
    // The piece of the segment searched: receivers whose computed s lies in [s_lo, s_hi)
    // (infinite ends for the first and last piece), so that every receiver is taken by
    // exactly one piece, whatever the widened bounds let several pieces visit.
    float s_lo, s_hi;
    bool bounded; // false for a non-finite segment: every receiver is tested
};

SearchBounds bound_segment(const Segment& g, float rb, const ReceiverSet& set, float s_lo,
                           float s_hi) {
    SearchBounds sb{};
    sb.s_lo = s_lo;
    sb.s_hi = s_hi;
    // The part of the slab this piece covers: from -band (or s_lo) to 1 (or s_hi).
    const float from = std::isinf(s_lo) ? -kHandoverBand : s_lo;
    const float to = std::isinf(s_hi) ? 1.0f : s_hi;
    const float a[3] = {g.a.x, g.a.y, g.a.z};
    const float d[3] = {g.d.x, g.d.y, g.d.z};
    float t_scale = 0.0f, coord_scale = 0.0f;
    for (int c = 0; c < 3; ++c) {
        sb.a[c] = a[c];
        sb.d[c] = d[c];
        sb.m[c] = a[c] + (0.5f * (from + to)) * d[c];
        sb.inv_d[c] = d[c] != 0.0f ? 1.0f / d[c] : 0.0f;
        t_scale += (set.max_abs_coord[c] + std::fabs(a[c])) * std::fabs(d[c]);
        coord_scale += set.max_abs_coord[c] + std::fabs(a[c]);
    }

    // Rounding of s = t / L^2 and of v = r - P(s) is a few ulps of the coordinates and of
    // the terms of t; the margins below exceed it by orders of magnitude.
    const float half_len = (0.5f * (to - from) + kHandoverBand) * std::sqrt(g.l2);
    const float r =
        std::sqrt(rb * rb + half_len * half_len) * (1.0f + 1e-4f) + 1e-5f * coord_scale + 1e-3f;
    sb.r2 = r * r;
    const float t_margin = 4e-6f * (t_scale + g.l2);
    sb.t_lo = from * g.l2 - t_margin;
    sb.t_hi = to * g.l2 + t_margin;
    // The inner loop runs along the axis where a line through the searched region meets the
    // most receivers: each column costs a few bounds, so few long columns beat many short
    // ones. Along axis c the region (the slab, of thickness (to - from) L along d, inside
    // the sphere) spans min(2 r, thickness / |cos(d, c)|).
    const float len = std::sqrt(g.l2);
    const float thickness = (to - from + 2.0f * kHandoverBand) * len;
    float best_run = -1.0f;
    for (int c = 0; c < 3; ++c) {
        const float ad = std::fabs(d[c]);
        const float across = ad > 0.0f ? thickness * (len / ad) : 2.0f * r;
        const float extent = std::fmin(2.0f * r, across);
        const float bins = static_cast<float>(set.bins[c]);
        const float run = set.pitch[c] > 0.0f ? std::fmin(bins, extent / set.pitch[c] + 1.0f)
                                              : std::fmin(bins, 1.0f);
        if (run > best_run) {
            best_run = run;
            sb.inner = c;
        }
    }
    sb.bounded = std::isfinite(sb.r2) && std::isfinite(sb.t_lo) && std::isfinite(sb.t_hi) &&
                 std::isfinite(sb.m[0]) && std::isfinite(sb.m[1]) && std::isfinite(sb.m[2]);
    if (!sb.bounded) {
        sb.r2 = std::numeric_limits<float>::infinity();
        sb.m[0] = sb.m[1] = sb.m[2] = 0.0f;
    }
    return sb;
}

// Range of t's term on axis c over the coordinates [x0, x1].
inline Span t_span(const SearchBounds& sb, int c, float x0, float x1) {
    const float u0 = (x0 - sb.a[c]) * sb.d[c];
    const float u1 = (x1 - sb.a[c]) * sb.d[c];
    return u0 < u1 ? Span{u0, u1} : Span{u1, u0};
}

// Coordinates on axis c for which t can lie in the slab while the other two terms of t
// range over `rest`.
inline Span slab_coords(const SearchBounds& sb, int c, Span rest) {
    if (!sb.bounded) return kEverywhere;
    const float u_lo = sb.t_lo - rest.hi, u_hi = sb.t_hi - rest.lo;
    const float dc = sb.d[c];
    if (dc == 0.0f) return (u_lo <= 0.0f && 0.0f <= u_hi) ? kEverywhere : Span{1.0f, 0.0f};
    float x0 = sb.a[c] + u_lo * sb.inv_d[c], x1 = sb.a[c] + u_hi * sb.inv_d[c];
    if (std::isnan(x0) || std::isnan(x1)) return kEverywhere; // d so small that 1/d overflows
    if (dc < 0.0f) std::swap(x0, x1);
    const float w = 1e-5f * (std::fabs(x0) + std::fabs(x1)) + 1e-4f;
    return {x0 - w, x1 + w};
}

// Squared distance from m to the interval [b0, b1] along one axis.
inline float gap2(float m, float b0, float b1) {
    const float g = b0 > m ? b0 - m : (m > b1 ? m - b1 : 0.0f);
    return g * g;
}

// Squared distance (m^2) from (x, y, z) to the box the finite receivers span.
inline float gap2_to_receivers(const ReceiverSet& set, float x, float y, float z) {
    return gap2(x, set.lo[0], set.hi[0]) + gap2(y, set.lo[1], set.hi[1]) +
           gap2(z, set.lo[2], set.hi[2]);
}

// Grid axes: one bin per node, at the node's coordinate.
struct GridLattice {
    const ReceiverSet& set;

    // First node of axis c not before x (`strict`: after x), as std::lower_bound
    // (std::upper_bound) would find it. Most axes are evenly spaced: the guess from the
    // spacing is then right or a node off, and a short walk settles it.
    std::size_t first_node(int c, float x, bool strict) const {
        const std::span<const float> v = set.axes[c].values;
        const std::size_t n = v.size();
        const auto before = [&](std::size_t k) { return strict ? v[k] <= x : v[k] < x; };
        std::size_t k = 0;
        if (set.pitch[c] > 0.0f) {
            const float u = (x - set.lo[c]) * set.inv_pitch[c];
            k = !(u > 0.0f) ? 0
                            : (u >= static_cast<float>(n) ? n : static_cast<std::size_t>(u));
        }
        for (int step = 0; step < 3; ++step) {
            if (k < n && before(k)) {
                ++k;
            } else if (k > 0 && !before(k - 1)) {
                --k;
            } else {
                return k; // before(k - 1) and !before(k): the boundary
            }
        }
        const auto it = strict ? std::upper_bound(v.begin(), v.end(), x)
                               : std::lower_bound(v.begin(), v.end(), x);
        return static_cast<std::size_t>(it - v.begin());
    }
    IndexRange bins(int c, Span x) const {
        if (!(x.lo <= x.hi)) return {};
        return {first_node(c, x.lo, false), first_node(c, x.hi, true)};
    }
    Span bounds(int c, std::size_t i) const {
        const float v = set.axes[c].values[i];
        return {v, v};
    }
};

// Cells: a bin is a box, widened so that it surely holds its receivers.
struct CellLattice {
    const ReceiverSet& set;

    IndexRange bins(int c, Span x) const {
        x = intersect(x, {set.lo[c], set.hi[c]});
        if (!(x.lo <= x.hi)) return {};
        return {cell_index(set.cells, c, x.lo), cell_index(set.cells, c, x.hi) + 1};
    }
    Span bounds(int c, std::size_t i) const {
        const ReceiverCells& cells = set.cells;
        // One cell along the axis holds its whole extent (whatever its nominal size).
        if (cells.count[c] == 1) {
            const float w = 1e-5f * (std::fabs(set.lo[c]) + std::fabs(set.hi[c])) + 1e-3f;
            return {set.lo[c] - w, set.hi[c] + w};
        }
        const float size = cells.size[c];
        const float lo = cells.origin[c] + static_cast<float>(i) * size;
        float hi = lo + size;
        if (i + 1 == cells.count[c]) hi = std::fmax(hi, set.hi[c]);
        const float w = 1e-5f * (std::fabs(lo) + std::fabs(hi) + size);
        return {lo - w, hi + w};
    }
};

// The two axes other than the inner axis I, in x, y, z order.
template <int I> struct OuterAxes {
    static constexpr int o1 = I == 0 ? 1 : 0;
    static constexpr int o2 = I == 2 ? 1 : 2;
};

// Visits the columns (bins of the two outer axes) that the sphere and the slab reach, and
// hands each to `column` with the outer bins' bounds and the squared radius left for the
// inner axis.
template <int I, class Lattice, class Column>
void search_columns(const SearchBounds& sb, const Lattice& lat, Column&& column) {
    const ReceiverSet& set = lat.set;
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const Span inner_t = t_span(sb, i, set.lo[i], set.hi[i]);
    const float r = std::sqrt(sb.r2);
    const Span rows =
        intersect({sb.m[o1] - r, sb.m[o1] + r},
                  slab_coords(sb, o1, t_span(sb, o2, set.lo[o2], set.hi[o2]) + inner_t));
    const IndexRange pr = lat.bins(o1, rows);
    for (std::size_t p = pr.first; p < pr.last; ++p) {
        const Span b = lat.bounds(o1, p);
        const float h2 = sb.r2 - gap2(sb.m[o1], b.lo, b.hi);
        if (!(h2 >= 0.0f)) continue;
        // A single bin along o2 (receivers at one depth, say) is simply visited: the inner
        // axis's bounds then settle the slab.
        IndexRange qr{0, 1};
        if (set.bins[o2] != 1) {
            const float half = std::sqrt(h2);
            const Span cols =
                intersect({sb.m[o2] - half, sb.m[o2] + half},
                          slab_coords(sb, o2, t_span(sb, o1, b.lo, b.hi) + inner_t));
            qr = lat.bins(o2, cols);
        }
        for (std::size_t q = qr.first; q < qr.last; ++q) {
            const Span e = lat.bounds(o2, q);
            const float h3 = h2 - gap2(sb.m[o2], e.lo, e.hi);
            if (!(h3 >= 0.0f)) continue;
            column(p, q, b, e, h3);
        }
    }
}

// The batched test, built twice: for any x86-64 (SSE2, four lanes) and for AVX2 (eight
// lanes), chosen once at run time. Neither uses FMA, so both round exactly as the scalar code.
#define KELP_LANES 4
#include "influence/lane_test.inc"
#undef KELP_LANES
#define KELP_LANES 8
#include "influence/lane_test.inc"
#undef KELP_LANES

// AVX2 when the processor has it, unless KELP_SIMD=sse2 asks for the baseline build (the
// tests run both).
bool use_avx2() {
    static const bool avx2 = [] {
        const char* forced = std::getenv("KELP_SIMD");
        if (forced != nullptr && std::string_view(forced) == "sse2") return false;
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return avx2;
}

template <bool kCount>
void flush_batch(const Segment& g, const SearchBounds& sb, CandidateBatch& batch,
                 const FieldView& f, InfluenceStats* stats) {
    if (use_avx2()) {
        lanes8::flush_batch<kCount>(g, sb, batch, f, stats);
    } else {
        lanes4::flush_batch<kCount>(g, sb, batch, f, stats);
    }
}

// Adds a candidate to the batch, testing the batch when it is full.
template <bool kCount>
inline void push_candidate(const Segment& g, const SearchBounds& sb, CandidateBatch& batch,
                           float x, float y, float z, std::size_t rec, const FieldView& f,
                           InfluenceStats* stats) {
    const std::uint32_t k = batch.n++;
    batch.x[k] = x;
    batch.y[k] = y;
    batch.z[k] = z;
    batch.receiver[k] = rec;
    if (batch.n == kBatchSize) flush_batch<kCount>(g, sb, batch, f, stats);
}

// The coordinates along the inner axis that the sphere and the slab reach in the column of
// outer bins b (axis o1) and e (axis o2), with h3 the squared radius left for the inner axis.
template <int I> Span inner_reach(const SearchBounds& sb, Span b, Span e, float h3) {
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const float half = std::sqrt(h3);
    return intersect(
        {sb.m[i] - half, sb.m[i] + half},
        slab_coords(sb, i, t_span(sb, o1, b.lo, b.hi) + t_span(sb, o2, e.lo, e.hi)));
}

// Grid receivers of one column: the nodes of the sorted inner axis inside the reach. The
// bounds are widened, not exact; the batched test settles each candidate.
template <int I, bool kCount>
void add_grid_column(const Segment& g, const SearchBounds& sb, const ReceiverSet& set,
                     std::size_t p, std::size_t q, Span b, Span e, float h3,
                     CandidateBatch& batch, const FieldView& f, InfluenceStats* stats) {
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const IndexRange kr = GridLattice{set}.bins(i, inner_reach<I>(sb, b, e, h3));
    float coord[3];
    std::size_t node[3];
    coord[o1] = set.axes[o1].values[p];
    node[o1] = set.axes[o1].node[p];
    coord[o2] = set.axes[o2].values[q];
    node[o2] = set.axes[o2].node[q];
    const std::span<const float> vs = set.axes[i].values;
    const std::span<const std::size_t> nodes = set.axes[i].node;
    for (std::size_t k = kr.first; k < kr.last; ++k) {
        coord[i] = vs[k];
        node[i] = nodes[k];
        push_candidate<kCount>(g, sb, batch, coord[0], coord[1], coord[2],
                               (node[0] * set.ny + node[1]) * set.nz + node[2], f, stats);
    }
}

// Receivers of the cells of one column whose inner extent the sphere and the slab reach.
template <int I, bool kCount>
void add_cell_column(const Segment& g, const SearchBounds& sb, const ReceiverSet& set,
                     std::size_t p, std::size_t q, Span b, Span e, float h3,
                     CandidateBatch& batch, const FieldView& f, InfluenceStats* stats) {
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const IndexRange kr = CellLattice{set}.bins(i, inner_reach<I>(sb, b, e, h3));
    const ReceiverCells& cells = set.cells;
    if (kr.first >= kr.last) return;
    std::size_t cell[3];
    cell[o1] = p;
    cell[o2] = q;
    cell[i] = 0;
    const std::size_t base = (cell[0] * cells.count[1] + cell[1]) * cells.count[2] + cell[2];
    const std::size_t stride =
        i == 0 ? cells.count[1] * cells.count[2] : (i == 1 ? cells.count[2] : 1);
    const auto push_range = [&](std::size_t from, std::size_t to) {
        for (std::size_t j = from; j < to; ++j) {
            const Vec3 r = cells.position[j];
            push_candidate<kCount>(g, sb, batch, r.x, r.y, r.z, cells.receiver[j], f, stats);
        }
    };
    if (stride == 1) {
        // Neighbouring cells along the inner axis are neighbours in storage (always along z,
        // and along y when the receivers lie at one depth): one run of receivers.
        push_range(cells.start[base + kr.first], cells.start[base + kr.last]);
        return;
    }
    for (std::size_t k = kr.first; k < kr.last; ++k) {
        const std::size_t c = base + k * stride;
        push_range(cells.start[c], cells.start[c + 1]);
    }
}

template <int I, bool kCount>
void add_segment_along(const Segment& g, const SearchBounds& sb, const ReceiverSet& set,
                       InfluenceWorkspace& work, const FieldView& f, InfluenceStats* stats) {
    CandidateBatch batch{work};
    if (set.use_cells) {
        search_columns<I>(
            sb, CellLattice{set}, [&](std::size_t p, std::size_t q, Span b, Span e, float h3) {
                add_cell_column<I, kCount>(g, sb, set, p, q, b, e, h3, batch, f, stats);
            });
    } else {
        search_columns<I>(
            sb, GridLattice{set}, [&](std::size_t p, std::size_t q, Span b, Span e, float h3) {
                add_grid_column<I, kCount>(g, sb, set, p, q, b, e, h3, batch, f, stats);
            });
    }
    if (batch.n > 0) flush_batch<kCount>(g, sb, batch, f, stats);
}

template <bool kCount>
void add_segment(const Segment& g, float rb, const ReceiverSet& set, InfluenceWorkspace& work,
                 const FieldView& f, InfluenceStats* stats) {
    // A segment much longer than its search radius (one continued past a reflection) is
    // searched in pieces about a radius long: one sphere about the whole of it would hold
    // mostly receivers far from its axis.
    const float len = std::sqrt(g.l2);
    const float pieces = std::ceil(len / (rb > 0.0f ? 2.0f * rb : 1.0f));
    const int n = pieces > 1.0f ? (pieces < 32.0f ? static_cast<int>(pieces) : 32) : 1;
    const float inf = std::numeric_limits<float>::infinity();
    for (int k = 0; k < n; ++k) {
        const float s_lo = k == 0 ? -inf : static_cast<float>(k) / static_cast<float>(n);
        const float s_hi = k + 1 == n ? inf : static_cast<float>(k + 1) / static_cast<float>(n);
        const SearchBounds sb = bound_segment(g, rb, set, s_lo, s_hi);
        // Most pieces of a beam pass far from every receiver: none when the sphere misses
        // the box the receivers span.
        if (sb.bounded && !(gap2_to_receivers(set, sb.m[0], sb.m[1], sb.m[2]) <= sb.r2)) {
            continue;
        }
        switch (sb.inner) {
        case 0:
            add_segment_along<0, kCount>(g, sb, set, work, f, stats);
            break;
        case 1:
            add_segment_along<1, kCount>(g, sb, set, work, f, stats);
            break;
        default:
            add_segment_along<2, kCount>(g, sb, set, work, f, stats);
        }
    }
}

// Whether the segment from a along d (|d|^2 = l2, m^2), with search radius rb (m), can reach
// a receiver: every receiver it takes lies within rb of a point of it, so within
// (1/2 + band) |d| + rb of its midpoint, which must then reach the box of the receivers.
bool segment_may_reach(const ReceiverSet& set, Vec3 a, Vec3 d, float l2, float rb) {
    const Vec3 mid = a + 0.5f * d;
    const float coord_scale = std::fabs(mid.x) + std::fabs(mid.y) + std::fabs(mid.z) +
                              set.max_abs_coord[0] + set.max_abs_coord[1] +
                              set.max_abs_coord[2];
    const float reach = ((0.5f + 2.0f * kHandoverBand) * std::sqrt(l2) + rb) * (1.0f + 1e-4f) +
                        1e-5f * coord_scale + 1e-3f;
    return !(gap2_to_receivers(set, mid.x, mid.y, mid.z) > reach * reach); // NaN: search
}

template <bool kCount>
void add_ray(std::vector<RayState>& ray, PressureField& field, const ReceiverSet& set,
             const bty::BTYfield& bty, std::span<const float> omegas, float elev0, float dazim,
             float delev, InfluenceWorkspace& work, InfluenceStats* stats) {
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
    for (RayState& st : ray) {
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

    std::vector<Complex32>& reflection = work.reflection;
    reflection.assign(omegas.size(), Complex32{1.0f, 0.0f});
    if (work.candidate_x.size() != kBatchSize) {
        for (std::vector<float>* v : {&work.candidate_x, &work.candidate_y, &work.candidate_z,
                                      &work.passed_s, &work.passed_u1, &work.passed_u2,
                                      &work.passed_a, &work.passed_b, &work.passed_det})
            v->assign(kBatchSize, 0.0f);
        work.candidate_receiver.assign(kBatchSize, 0);
        work.passed_receiver.assign(kBatchSize, 0);
    }
    work.passed = 0;
    const bool array_mode = field.is_array_mode;
    const FieldView f{field.pressure.flat(),
                      field.delay_s.flat(),
                      field.amplitude.flat(),
                      field.delay_s.size(),
                      array_mode ? std::size_t{1} : field.y_m.size(),
                      array_mode ? std::size_t{1} : field.z_m.size(),
                      omegas,
                      reflection};

    float psi = 0.0f; // caustic phase accumulated up to state A
    bool prev_live = false;
    Vec3 prev_a{}, prev_d{};
    float prev_l2 = 1.0f;
    float len_t = length(ray[0].q_tilde), len_h = length(ray[0].q_hat);
    for (std::size_t i = 1; i < n; ++i) {
        const RayState& sa = ray[i - 1];
        const RayState& sb = ray[i];
        const float len_t_b = length(sb.q_tilde), len_h_b = length(sb.q_hat);
        const float w_tilde = 4.0f * std::fmax(len_t, len_t_b);
        const float w_hat = 4.0f * std::fmax(len_h, len_h_b);

        if (is_live(i)) {
            const Vec3 d0 = sb.position - sa.position;
            // At a reflection B's slowness is already mirrored and its frame turned, while
            // the segment still runs along the incident direction: measure with A's normals.
            const bool ends_in_reflection =
                sb.event.kind == kEventBottom || sb.surface_bounces > sa.surface_bounces;
            const bool starts_at_reflection =
                i >= 2 && (sa.event.kind == kEventBottom ||
                           sa.surface_bounces > ray[i - 2].surface_bounces);
            const RayState& frame = ends_in_reflection ? sa : sb;
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
            const auto reach = [&](const RayState& at) {
                const Vec3 n =
                    at.event.kind == kEventBottom ? at.event.normal : Vec3{0.0f, 0.0f, -1.0f};
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
            // The offset from the axis is measured square to it at the receiver's foot, so the
            // radius need not grow with the continuation: half the leg's own step is enough.
            const float rb = 0.5f * len0 + window_ext + 1e-6f;
            // A continued start is no hand-over from the previous segment (another image).
            const bool has_prev = prev_live && !starts_at_reflection;
            if (segment_may_reach(set, a, d, l2, rb)) {
                // The tube's normals: the stored frame with the sign its reflections left on
                // e1.
                const RayBasis basis =
                    ray_normal_basis(frame.slowness, frame.sound_speed, frame.phi);
                const float tube_sign = ray_tube_sign(frame);
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
                add_segment<kCount>(g, rb, set, work, f, stats);
            }
            prev_a = a;
            prev_d = d;
            prev_l2 = l2;
        }
        prev_live = is_live(i);

        // The coefficient applies to everything after the reflection point, also when the
        // segment leading to it was too short to reach any receiver.
        if (sb.event.kind == kEventBottom && !omegas.empty()) {
            for (std::size_t k = 0; k < omegas.size(); ++k) {
                const Complex32 c = reflect::compute_bottom_reflection_coefficient(
                    bty.bottom_model, sb.event.incident_slowness, sb.event.normal,
                    sb.event.sound_speed, bty.water_density_g_cm3, omegas[k]);
                reflection[k] = reflection[k] * c;
            }
        }
        if (crosses_caustic(sb.det_q, sa.det_q)) psi += kHalfPi;
        len_t = len_t_b;
        len_h = len_h_b;
    }
}

} // namespace

void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const ReceiverSet& receivers, const bty::BTYfield& bty,
                             std::span<const float> omegas, float elev0_rad, float dazim_rad,
                             float delev_rad, InfluenceWorkspace& workspace,
                             InfluenceStats* stats) {
    if (stats != nullptr) {
        add_ray<true>(ray, field, receivers, bty, omegas, elev0_rad, dazim_rad, delev_rad,
                      workspace, stats);
    } else {
        add_ray<false>(ray, field, receivers, bty, omegas, elev0_rad, dazim_rad, delev_rad,
                       workspace, nullptr);
    }
}

void evaluate_lane_functions(std::span<const float> x, std::span<float> sin_x,
                             std::span<float> cos_x, std::span<float> exp_x) {
    if (use_avx2()) {
        lanes8::evaluate_functions(x, sin_x, cos_x, exp_x);
    } else {
        lanes4::evaluate_functions(x, sin_x, cos_x, exp_x);
    }
}

void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad) {
    InfluenceWorkspace work;
    gaussian_beam_influence(ray, field, prepare_receivers(field), bty, omegas, elev0_rad,
                            dazim_rad, delev_rad, work);
}

void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad,
                             InfluenceStats& stats) {
    InfluenceWorkspace work;
    gaussian_beam_influence(ray, field, prepare_receivers(field), bty, omegas, elev0_rad,
                            dazim_rad, delev_rad, work, &stats);
}

} // namespace kelp::influence
