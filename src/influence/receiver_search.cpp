#include "influence/receiver_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <utility>

namespace kelp::influence {
namespace {

// Positions [first, last) of the bins of one axis.
struct IndexRange {
    std::size_t first = 0, last = 0;
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

SearchBounds bound_segment(const SegmentReach& g, const ReceiverSet& set, float s_lo,
                           float s_hi) {
    const float rb = g.rb;
    SearchBounds bounds{};
    bounds.s_lo = s_lo;
    bounds.s_hi = s_hi;
    // The part of the slab this piece covers: from -band (or s_lo) to 1 (or s_hi).
    const float from = std::isinf(s_lo) ? -kHandoverBand : s_lo;
    const float to = std::isinf(s_hi) ? 1.0f : s_hi;
    const float a[3] = {g.a.x, g.a.y, g.a.z};
    const float d[3] = {g.d.x, g.d.y, g.d.z};
    float t_scale = 0.0f, coord_scale = 0.0f;
    for (int c = 0; c < 3; ++c) {
        bounds.a[c] = a[c];
        bounds.d[c] = d[c];
        bounds.m[c] = a[c] + (0.5f * (from + to)) * d[c];
        bounds.inv_d[c] = d[c] != 0.0f ? 1.0f / d[c] : 0.0f;
        t_scale += (set.max_abs_coord[c] + std::fabs(a[c])) * std::fabs(d[c]);
        coord_scale += set.max_abs_coord[c] + std::fabs(a[c]);
    }

    // Rounding of s = t / L^2 and of v = r - P(s) is a few ulps of the coordinates and of
    // the terms of t; the margins below exceed it by orders of magnitude.
    const float half_len = (0.5f * (to - from) + kHandoverBand) * std::sqrt(g.l2);
    const float r =
        std::sqrt(rb * rb + half_len * half_len) * (1.0f + 1e-4f) + 1e-5f * coord_scale + 1e-3f;
    bounds.r2 = r * r;
    const float t_margin = 4e-6f * (t_scale + g.l2);
    bounds.t_lo = from * g.l2 - t_margin;
    bounds.t_hi = to * g.l2 + t_margin;
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
        const float extent = smaller(2.0f * r, across);
        const float bins = static_cast<float>(set.bins[c]);
        const float run = set.pitch[c] > 0.0f ? smaller(bins, extent / set.pitch[c] + 1.0f)
                                              : smaller(bins, 1.0f);
        if (run > best_run) {
            best_run = run;
            bounds.inner = c;
        }
    }
    bounds.bounded = std::isfinite(bounds.r2) && std::isfinite(bounds.t_lo) &&
                     std::isfinite(bounds.t_hi) && std::isfinite(bounds.m[0]) &&
                     std::isfinite(bounds.m[1]) && std::isfinite(bounds.m[2]);
    if (!bounds.bounded) {
        bounds.r2 = std::numeric_limits<float>::infinity();
        bounds.m[0] = bounds.m[1] = bounds.m[2] = 0.0f;
    }
    return bounds;
}

// Range of t's term on axis c over the coordinates [x0, x1].
inline Span t_span(const SearchBounds& bounds, int c, float x0, float x1) {
    const float u0 = (x0 - bounds.a[c]) * bounds.d[c];
    const float u1 = (x1 - bounds.a[c]) * bounds.d[c];
    return u0 < u1 ? Span{u0, u1} : Span{u1, u0};
}

// Coordinates on axis c for which t can lie in the slab while the other two terms of t
// range over `rest`.
inline Span slab_coords(const SearchBounds& bounds, int c, Span rest) {
    if (!bounds.bounded) return kEverywhere;
    const float u_lo = bounds.t_lo - rest.hi, u_hi = bounds.t_hi - rest.lo;
    const float dc = bounds.d[c];
    if (dc == 0.0f) return (u_lo <= 0.0f && 0.0f <= u_hi) ? kEverywhere : Span{1.0f, 0.0f};
    float x0 = bounds.a[c] + u_lo * bounds.inv_d[c], x1 = bounds.a[c] + u_hi * bounds.inv_d[c];
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
        if (i + 1 == cells.count[c]) hi = larger(hi, set.hi[c]);
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
void search_columns(const SearchBounds& bounds, const Lattice& lat, Column&& column) {
    const ReceiverSet& set = lat.set;
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const Span inner_t = t_span(bounds, i, set.lo[i], set.hi[i]);
    const float r = std::sqrt(bounds.r2);
    const Span rows = intersect(
        {bounds.m[o1] - r, bounds.m[o1] + r},
        slab_coords(bounds, o1, t_span(bounds, o2, set.lo[o2], set.hi[o2]) + inner_t));
    const IndexRange pr = lat.bins(o1, rows);
    for (std::size_t p = pr.first; p < pr.last; ++p) {
        const Span b = lat.bounds(o1, p);
        const float h2 = bounds.r2 - gap2(bounds.m[o1], b.lo, b.hi);
        if (!(h2 >= 0.0f)) continue;
        // A single bin along o2 (receivers at one depth, say) is simply visited: the inner
        // axis's bounds then settle the slab.
        IndexRange qr{0, 1};
        if (set.bins[o2] != 1) {
            const float half = std::sqrt(h2);
            const Span cols =
                intersect({bounds.m[o2] - half, bounds.m[o2] + half},
                          slab_coords(bounds, o2, t_span(bounds, o1, b.lo, b.hi) + inner_t));
            qr = lat.bins(o2, cols);
        }
        for (std::size_t q = qr.first; q < qr.last; ++q) {
            const Span e = lat.bounds(o2, q);
            const float h3 = h2 - gap2(bounds.m[o2], e.lo, e.hi);
            if (!(h3 >= 0.0f)) continue;
            column(p, q, b, e, h3);
        }
    }
}

// Adds a candidate to the batch, handing the batch over when it is full.
inline void push_candidate(CandidateBatch& batch, const SearchBounds& bounds, float x, float y,
                           float z, std::size_t rec, CandidateHandler on_batch) {
    const std::uint32_t k = batch.n++;
    batch.x[k] = x;
    batch.y[k] = y;
    batch.z[k] = z;
    batch.receiver[k] = rec;
    if (batch.n == kBatchSize) {
        on_batch(batch, {bounds.s_lo, bounds.s_hi});
        batch.n = 0;
    }
}

// The coordinates along the inner axis that the sphere and the slab reach in the column of
// outer bins b (axis o1) and e (axis o2), with h3 the squared radius left for the inner axis.
template <int I> Span inner_reach(const SearchBounds& bounds, Span b, Span e, float h3) {
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const float half = std::sqrt(h3);
    return intersect(
        {bounds.m[i] - half, bounds.m[i] + half},
        slab_coords(bounds, i,
                    t_span(bounds, o1, b.lo, b.hi) + t_span(bounds, o2, e.lo, e.hi)));
}

// Grid receivers of one column: the nodes of the sorted inner axis inside the reach. The
// bounds are widened, not exact; the batched test settles each candidate.
template <int I>
void visit_grid_column(const SearchBounds& bounds, const ReceiverSet& set, std::size_t p,
                       std::size_t q, Span b, Span e, float h3, CandidateBatch& batch,
                       CandidateHandler on_batch) {
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const IndexRange kr = GridLattice{set}.bins(i, inner_reach<I>(bounds, b, e, h3));
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
        push_candidate(batch, bounds, coord[0], coord[1], coord[2],
                       (node[0] * set.ny + node[1]) * set.nz + node[2], on_batch);
    }
}

// Receivers of the cells of one column whose inner extent the sphere and the slab reach.
template <int I>
void visit_cell_column(const SearchBounds& bounds, const ReceiverSet& set, std::size_t p,
                       std::size_t q, Span b, Span e, float h3, CandidateBatch& batch,
                       CandidateHandler on_batch) {
    constexpr int i = I, o1 = OuterAxes<I>::o1, o2 = OuterAxes<I>::o2;
    const IndexRange kr = CellLattice{set}.bins(i, inner_reach<I>(bounds, b, e, h3));
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
            push_candidate(batch, bounds, r.x, r.y, r.z, cells.receiver[j], on_batch);
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

template <int I>
void search_along(const SearchBounds& bounds, const ReceiverSet& set, CandidateBatch& batch,
                  CandidateHandler on_batch) {
    batch.n = 0;
    if (set.use_cells) {
        search_columns<I>(bounds, CellLattice{set},
                          [&](std::size_t p, std::size_t q, Span b, Span e, float h3) {
                              visit_cell_column<I>(bounds, set, p, q, b, e, h3, batch,
                                                   on_batch);
                          });
    } else {
        search_columns<I>(bounds, GridLattice{set},
                          [&](std::size_t p, std::size_t q, Span b, Span e, float h3) {
                              visit_grid_column<I>(bounds, set, p, q, b, e, h3, batch,
                                                   on_batch);
                          });
    }
    if (batch.n > 0) on_batch(batch, {bounds.s_lo, bounds.s_hi});
    batch.n = 0;
}

} // namespace

namespace {

// A segment much longer than its search radius (one continued past a reflection) is searched
// in pieces about a radius long: one sphere about the whole of it would hold mostly receivers
// far from its axis.
int count_pieces(const SegmentReach& seg) {
    const float rb = seg.rb;
    const float len = std::sqrt(seg.l2);
    // The ceiling of the ratio, at most 32 (without ceilf's library call).
    const float ratio = len / (rb > 0.0f ? 2.0f * rb : 1.0f);
    if (!(ratio > 1.0f)) return 1;
    if (!(ratio <= 31.0f)) return 32;
    const int whole = static_cast<int>(ratio);
    return static_cast<float>(whole) < ratio ? whole + 1 : whole;
}

} // namespace

bool searched_whole(const SegmentReach& seg) {
    return count_pieces(seg) == 1;
}

void search_segment(const ReceiverSet& set, const SegmentReach& seg, CandidateBatch& batch,
                    CandidateHandler on_batch) {
    const int n = count_pieces(seg);
    const float inf = std::numeric_limits<float>::infinity();
    for (int k = 0; k < n; ++k) {
        const float s_lo = k == 0 ? -inf : static_cast<float>(k) / static_cast<float>(n);
        const float s_hi = k + 1 == n ? inf : static_cast<float>(k + 1) / static_cast<float>(n);
        const SearchBounds bounds = bound_segment(seg, set, s_lo, s_hi);
        // Most pieces of a beam pass far from every receiver: none when the sphere misses
        // the box the receivers span.
        if (bounds.bounded &&
            !(gap2_to_receivers(set, bounds.m[0], bounds.m[1], bounds.m[2]) <= bounds.r2)) {
            continue;
        }
        switch (bounds.inner) {
        case 0:
            search_along<0>(bounds, set, batch, on_batch);
            break;
        case 1:
            search_along<1>(bounds, set, batch, on_batch);
            break;
        default:
            search_along<2>(bounds, set, batch, on_batch);
        }
    }
}

std::optional<SegmentCover> cover_reaches(std::span<const SegmentReach> reaches) {
    if (reaches.size() < 2 || reaches.size() > kMaxCoveredSegments) return std::nullopt;
    const SegmentReach& first = reaches.front();
    const SegmentReach& last = reaches.back();
    const Vec3 start = first.a - kHandoverBand * first.d;
    const Vec3 chord = (last.a + last.d) - start;
    const float chord_len = norm(chord);
    if (!(chord_len > 1e-3f) || !std::isfinite(chord_len)) return std::nullopt;
    SegmentCover cover{};
    cover.origin = start;
    cover.axis = (1.0f / chord_len) * chord;
    const Vec3 u = cover.axis;
    // A point P(s), s in [-band, 1], of a segment lies between its two ends: within the
    // larger of their distances from the chord's line, and between their positions along
    // it. A receiver the segment takes is P + v with v square to the segment, |v| <= rb:
    // within rb more of the line, and |v . u| <= rb sin(angle between segment and chord)
    // further along it.
    float radius = 0.0f, scale = 0.0f;
    for (std::size_t k = 0; k < reaches.size(); ++k) {
        const SegmentReach& g = reaches[k];
        const float len = std::sqrt(g.l2);
        const float coords = g.a.x + g.a.y + g.a.z + g.rb; // NaN or inf for any non-finite
        if (!(len > 0.0f) || !std::isfinite(len) || !std::isfinite(coords)) return std::nullopt;
        const float sine = norm(cross(g.d, u)) / len;
        const float tilt = sine < 1.0f ? sine : 1.0f;
        const Vec3 ends[2] = {g.a - kHandoverBand * g.d, g.a + g.d};
        float lo = std::numeric_limits<float>::infinity(), hi = -lo;
        for (const Vec3 e : ends) {
            const Vec3 w = e - start;
            const float t = dot(w, u);
            radius = larger(radius, norm(w - t * u) + g.rb);
            lo = smaller(lo, t - g.rb * tilt);
            hi = larger(hi, t + g.rb * tilt);
            scale = larger(scale, std::fabs(e.x) + std::fabs(e.y) + std::fabs(e.z));
        }
        cover.t_lo[k] = lo;
        cover.t_hi[k] = hi;
    }
    // The kernel's tests and along_chord round at a few ulps of the coordinates; the
    // margins exceed that by orders of magnitude.
    float t_lo = 0.0f, t_hi = chord_len;
    for (std::size_t k = 0; k < reaches.size(); ++k) {
        const float margin =
            1e-4f * (radius + (cover.t_hi[k] - cover.t_lo[k])) + 1e-5f * scale + 1e-3f;
        cover.t_lo[k] -= margin;
        cover.t_hi[k] += margin;
        t_lo = smaller(t_lo, cover.t_lo[k]);
        t_hi = larger(t_hi, cover.t_hi[k]);
    }
    const float margin = 1e-4f * radius + 1e-5f * scale + 1e-3f;
    const Vec3 d = (t_hi - t_lo) * u;
    cover.reach = {start + t_lo * u, d, dot(d, d), radius + margin};
    return cover;
}

bool segment_may_reach(const ReceiverSet& set, const SegmentReach& seg) {
    const Vec3 mid = seg.a + 0.5f * seg.d;
    const float coord_scale = std::fabs(mid.x) + std::fabs(mid.y) + std::fabs(mid.z) +
                              set.max_abs_coord[0] + set.max_abs_coord[1] +
                              set.max_abs_coord[2];
    const float reach =
        ((0.5f + 2.0f * kHandoverBand) * std::sqrt(seg.l2) + seg.rb) * (1.0f + 1e-4f) +
        1e-5f * coord_scale + 1e-3f;
    return !(gap2_to_receivers(set, mid.x, mid.y, mid.z) > reach * reach); // NaN: search
}

} // namespace kelp::influence
