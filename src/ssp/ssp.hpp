#pragma once
// Sound-speed field: gridded c(x, y, z) with nine finite-difference derivative fields, a
// per-ray cell cursor, trilinear lookups and step shortening to grid planes.
// Units: metres (z depth, positive down), m/s, (m/s)/m, (m/s)/m^2.

#include "core/fatal.hpp"
#include "core/grid_axis.hpp"
#include "core/lanes.hpp"
#include "core/ndarray.hpp"
#include "core/vec3.hpp"
#include "input/config.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kelp::ssp {

// Floats per node in SSPFields::nodes, in SSPSample order.
inline constexpr std::size_t kFieldsPerNode = 10;

// Immutable after init_ssp; shared read-only by all workers. The axes are strictly
// increasing and hold at least two nodes each.
struct SSPFields {
    std::vector<float> x, y, z;
    // c and its nine derivatives at every node of the (nx, ny, nz) grid: ten floats per node
    // in SSPSample order, nodes row-major in (i, j, k) with k fastest. A full sample then
    // reads eight contiguous blocks instead of eighty scattered floats.
    std::vector<float> nodes;
};

// Cell indices: cell ix spans x[ix]..x[ix+1]; 0 <= ix <= nx - 2.
struct SSPCursor {
    std::uint32_t ix = 0, iy = 0, iz = 0;
};

struct SSPWeights {
    std::uint32_t ix, iy, iz;
    float wx0, wx1, wy0, wy1, wz0, wz1;
};

// The weights of cell (ix, iy, iz) at fractions tx, ty, tz across it: 1 - t and t per axis.
inline SSPWeights weights_at(std::uint32_t ix, std::uint32_t iy, std::uint32_t iz, float tx,
                             float ty, float tz) {
    return {.ix = ix,
            .iy = iy,
            .iz = iz,
            .wx0 = 1.0f - tx,
            .wx1 = tx,
            .wy0 = 1.0f - ty,
            .wy1 = ty,
            .wz0 = 1.0f - tz,
            .wz1 = tz};
}

struct SSPSample {
    float c = 0.0f;
    float dc_dx = 0.0f, dc_dy = 0.0f, dc_dz = 0.0f;
    float d2c_dx2 = 0.0f, d2c_dy2 = 0.0f, d2c_dz2 = 0.0f;
    float d2c_dxdy = 0.0f, d2c_dxdz = 0.0f, d2c_dydz = 0.0f;
};

// Builds the field from the validated configuration. Throws FatalError, first match wins:
// c_m_s does not fill the grid (shorter or longer), nx / ny / nz < 2, then x_ssp_m / y_ssp_m /
// z_ssp_m not strictly increasing.
SSPFields init_ssp(const input::SimulationConfig& config);

// Derivative along axis 0 / 1 / 2 of a 3-D field, using each node's own spacing on `axis`
// (one-sided at the ends, central over axis[i+1] - axis[i-1] inside). On a uniform axis this
// is the classic (f[i+1] - f[i-1]) / 2h. Throws FatalError when the axis has fewer than two
// nodes or its length differs from the field's extent along it.
Array3f partial_x(const Array3f& field, std::span<const float> axis);
Array3f partial_y(const Array3f& field, std::span<const float> axis);
Array3f partial_z(const Array3f& field, std::span<const float> axis);

// The ten values stored at node (i, j, k).
SSPSample node_sample(const SSPFields& f, std::size_t i, std::size_t j, std::size_t k);

// A field with the given axes and the given values at every node, row-major in (i, j, k) with
// k fastest (hand-made fields of tests and benchmarks). Throws FatalError when the number of
// samples is not the number of nodes.
SSPFields make_ssp_fields(std::vector<float> x, std::vector<float> y, std::vector<float> z,
                          std::span<const SSPSample> samples);

namespace detail {

// The sample held in ten consecutive floats in SSPSample order.
inline SSPSample sample_from(const float* v) {
    return {.c = v[0],
            .dc_dx = v[1],
            .dc_dy = v[2],
            .dc_dz = v[3],
            .d2c_dx2 = v[4],
            .d2c_dy2 = v[5],
            .d2c_dz2 = v[6],
            .d2c_dxdy = v[7],
            .d2c_dxdz = v[8],
            .d2c_dydz = v[9]};
}

// The eight corner weights (wx_a * wy_b) * wz_d in corner order (a, b, d) = (0,0,0), (0,0,1),
// (0,1,0), ..., (1,1,1), and the flat offsets of those corners from node (ix, iy, iz).
struct CornerWeights {
    float w[8];
};

inline CornerWeights corner_weights(const SSPWeights& s) {
    const float w00 = s.wx0 * s.wy0;
    const float w01 = s.wx0 * s.wy1;
    const float w10 = s.wx1 * s.wy0;
    const float w11 = s.wx1 * s.wy1;
    return {{w00 * s.wz0, w00 * s.wz1, w01 * s.wz0, w01 * s.wz1, w10 * s.wz0, w10 * s.wz1,
             w11 * s.wz0, w11 * s.wz1}};
}

inline std::size_t cell_base(const SSPFields& f, const SSPWeights& s) {
    return (static_cast<std::size_t>(s.ix) * f.y.size() + s.iy) * f.z.size() + s.iz;
}

} // namespace detail

// Binary search: the cell of the last node not above p (0 below the grid, n-2 at/after the
// end). Throws FatalError on a NaN coordinate (only ever called with the source position).
SSPCursor init_ssp_cursor(Vec3 p, const SSPFields& f);

// Walks the cursor from its current cell to the cell of p (strict comparisons; NaN keeps it).
inline void update_ssp_cursor(Vec3 p, const SSPFields& f, SSPCursor& cur) {
    cur.ix = grid::walk_cell(f.x, p.x, cur.ix);
    cur.iy = grid::walk_cell(f.y, p.y, cur.iy);
    cur.iz = grid::walk_cell(f.z, p.z, cur.iz);
}

// Moves the cursor to p as update_ssp_cursor does, then returns it with the linear weights of
// the lower and upper node along each axis (w0 + w1 = 1, each in [0, 1], clamped outside).
inline SSPWeights update_cursor_and_weights(Vec3 p, std::span<const float> x,
                                            std::span<const float> y, std::span<const float> z,
                                            SSPCursor& cur) {
    cur.ix = grid::walk_cell(x, p.x, cur.ix);
    cur.iy = grid::walk_cell(y, p.y, cur.iy);
    cur.iz = grid::walk_cell(z, p.z, cur.iz);
    const float tx = grid::cell_fraction(x, p.x, cur.ix);
    const float ty = grid::cell_fraction(y, p.y, cur.iy);
    const float tz = grid::cell_fraction(z, p.z, cur.iz);
    return weights_at(cur.ix, cur.iy, cur.iz, tx, ty, tz);
}

// Trilinear c at p (position clamped to the grid); moves the cursor first. The terms are
// added to a zero accumulator in corner order, as interpolate_all_with_cursor adds them.
inline float interpolate_c_with_cursor(Vec3 p, const SSPFields& f, SSPCursor& cur) {
    const SSPWeights s = update_cursor_and_weights(p, f.x, f.y, f.z, cur);
    const detail::CornerWeights cw = detail::corner_weights(s);
    constexpr std::size_t n = kFieldsPerNode;
    const std::size_t sy = f.z.size() * n;
    const std::size_t sx = f.y.size() * sy;
    const float* p0 = f.nodes.data() + detail::cell_base(f, s) * n;
    const float* p1 = p0 + sy;
    const float* p2 = p0 + sx;
    const float* p3 = p2 + sy;
    float acc = 0.0f;
    acc += cw.w[0] * p0[0];
    acc += cw.w[1] * p0[n];
    acc += cw.w[2] * p1[0];
    acc += cw.w[3] * p1[n];
    acc += cw.w[4] * p2[0];
    acc += cw.w[5] * p2[n];
    acc += cw.w[6] * p3[0];
    acc += cw.w[7] * p3[n];
    return acc;
}

namespace detail {

// The ten fields at the weights cw from the eight corners of the cell whose first node starts
// at `node`, with node strides sy (along y) and sx (along x). Four fields at a time: lanes of
// fields 0-3, 4-7 and 6-9 (the last two overlap, so no load leaves a node's ten floats). Each
// lane sees the scalar operations in the scalar order, acc = acc + w * q from a zero
// accumulator, so the sums are those of one field at a time, and that of c is the one
// interpolate_c_with_cursor forms.
inline SSPSample interpolate_cell(const float* node, std::size_t sy, std::size_t sx,
                                  const CornerWeights& cw) {
    const float* corner[8] = {node,
                              node + kFieldsPerNode,
                              node + sy * kFieldsPerNode,
                              node + (sy + 1) * kFieldsPerNode,
                              node + sx * kFieldsPerNode,
                              node + (sx + 1) * kFieldsPerNode,
                              node + (sx + sy) * kFieldsPerNode,
                              node + (sx + sy + 1) * kFieldsPerNode};
    Lanes4 a0{}, a1{}, a2{};
    for (int k = 0; k < 8; ++k) {
        const float wk = cw.w[k];
        const Lanes4 w = {wk, wk, wk, wk};
        const float* q = corner[k];
        a0 += w * load_lanes(q);
        a1 += w * load_lanes(q + 4);
        a2 += w * load_lanes(q + 6);
    }
    float v[kFieldsPerNode];
    std::memcpy(v, &a0, sizeof a0);
    std::memcpy(v + 4, &a1, sizeof a1);
    std::memcpy(v + 8, reinterpret_cast<const char*>(&a2) + 2 * sizeof(float),
                2 * sizeof(float));
    return sample_from(v);
}

} // namespace detail

// All ten interpolated values at p from one set of weights; moves the cursor first.
inline SSPSample interpolate_all_with_cursor(Vec3 p, const SSPFields& f, SSPCursor& cur) {
    const SSPWeights s = update_cursor_and_weights(p, f.x, f.y, f.z, cur);
    const std::size_t nz = f.z.size();
    return detail::interpolate_cell(f.nodes.data() + detail::cell_base(f, s) * kFieldsPerNode,
                                    nz, f.y.size() * nz, detail::corner_weights(s));
}

// A cursor that holds its cell's bounds along each axis and the cell's first node, for a ray
// that meets many points in few cells. Its lookups give the numbers of the plain cursor's.
struct SSPCell {
    grid::HeldCell x, y, z;
    const float* node = nullptr;
    std::size_t sy = 0, sx = 0; // node strides along y and x
};

inline void locate_ssp_node(const SSPFields& f, SSPCell& c) {
    c.node = f.nodes.data() +
             ((static_cast<std::size_t>(c.x.i) * f.y.size() + c.y.i) * f.z.size() + c.z.i) *
                 kFieldsPerNode;
}

inline SSPCell hold_ssp_cell(const SSPFields& f, SSPCursor cur) {
    SSPCell c{grid::hold_cell(f.x, cur.ix),
              grid::hold_cell(f.y, cur.iy),
              grid::hold_cell(f.z, cur.iz),
              nullptr,
              f.z.size(),
              f.y.size() * f.z.size()};
    locate_ssp_node(f, c);
    return c;
}

inline SSPCursor ssp_cursor_of(const SSPCell& c) {
    return {c.x.i, c.y.i, c.z.i};
}

// update_ssp_cursor for a held cell.
inline void update_ssp_cell(Vec3 p, const SSPFields& f, SSPCell& c) {
    if (grid::holds(c.x, p.x) && grid::holds(c.y, p.y) && grid::holds(c.z, p.z)) [[likely]] {
        return;
    }
    grid::walk_held_cell(f.x, p.x, c.x);
    grid::walk_held_cell(f.y, p.y, c.y);
    grid::walk_held_cell(f.z, p.z, c.z);
    locate_ssp_node(f, c);
}

// interpolate_all_with_cursor for a cell already held at p.
inline SSPSample interpolate_all_in_held_cell(Vec3 p, const SSPCell& c) {
    const float tx = grid::held_cell_fraction(c.x, p.x);
    const float ty = grid::held_cell_fraction(c.y, p.y);
    const float tz = grid::held_cell_fraction(c.z, p.z);
    const SSPWeights w = weights_at(c.x.i, c.y.i, c.z.i, tx, ty, tz);
    return detail::interpolate_cell(c.node, c.sy, c.sx, detail::corner_weights(w));
}

// interpolate_all_with_cursor for a held cell.
inline SSPSample interpolate_all_in_cell(Vec3 p, const SSPFields& f, SSPCell& c) {
    update_ssp_cell(p, f, c);
    return interpolate_all_in_held_cell(p, c);
}

// Shortens ds so that p + ds * d ends on the next grid plane of the cursor's cell along each
// axis: the upper plane for d > 0, the cell's own lower plane for d < 0. Axes with
// |d| <= 1e-9 and planes at most 1e-9 ahead (or behind) are ignored, so a ray standing on a
// plane is never held at a zero step. The step never grows; the cursor is only read.
inline float reduce_step_to_ssp_interfaces(Vec3 p, Vec3 d, const SSPFields& f,
                                           const SSPCursor& cur, float ds) {
    constexpr float kTiny = 1e-9f;
    const auto shorten = [&](std::span<const float> g, float pa, float da, std::uint32_t i) {
        if (std::fabs(da) <= kTiny) return;
        const float target = da > 0.0f ? g[i + 1] : g[i];
        const float s = (target - pa) / da;
        if (s > kTiny && s < ds) ds = s;
    };
    shorten(f.x, p.x, d.x, cur.ix);
    shorten(f.y, p.y, d.y, cur.iy);
    shorten(f.z, p.z, d.z, cur.iz);
    return ds;
}

// reduce_step_to_ssp_interfaces for a held cell.
inline float reduce_step_to_cell_planes(Vec3 p, Vec3 d, const SSPCell& c, float ds) {
    constexpr float kTiny = 1e-9f;
    const auto shorten = [&](const grid::HeldCell& g, float pa, float da) {
        if (std::fabs(da) <= kTiny) return;
        const float s = (grid::held_plane_ahead(g, da) - pa) / da;
        if (s > kTiny && s < ds) ds = s;
    };
    shorten(c.x, p.x, d.x);
    shorten(c.y, p.y, d.y);
    shorten(c.z, p.z, d.z);
    return ds;
}

} // namespace kelp::ssp
