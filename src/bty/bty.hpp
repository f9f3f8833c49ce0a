#pragma once
// Bathymetry field: bottom depth on a horizontal grid (bilinear), the unit bottom normal, the
// bottom's acoustic model and the water density. Metres, depth positive down, g/cm^3.

#include "core/fatal.hpp"
#include "core/grid_axis.hpp"
#include "core/ndarray.hpp"
#include "core/vec3.hpp"
#include "input/config.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

namespace kelp::bty {

// Bottom model with absent attenuations replaced by 0.
struct RigidBottom {};
struct AcousticBottom {
    float compressional_speed_m_s = 0.0f;
    float density_g_cm3 = 0.0f;
    float compressional_attenuation_db_per_wavelength = 0.0f;
};
struct ElasticBottom {
    float compressional_speed_m_s = 0.0f;
    float shear_speed_m_s = 0.0f;
    float density_g_cm3 = 0.0f;
    float compressional_attenuation_db_per_wavelength = 0.0f;
    float shear_attenuation_db_per_wavelength = 0.0f;
};
using BottomModel = std::variant<RigidBottom, AcousticBottom, ElasticBottom>;

// Immutable after init_bty. Each axis is strictly increasing with at least one node. An axis
// with a single node is a bottom that is constant along it: the cursor index on that axis is
// always 0, the interpolation weight of the (absent) next node is 0 and the slope along it is
// 0, so depth and normal are those of the other axis alone (one point: a flat bottom).
struct BTYfield {
    std::vector<float> x, y;
    Array2f z; // (nx, ny), y fastest
    BottomModel bottom_model;
    float water_density_g_cm3 = 1.0f;
};

// Cell indices: cell ix spans x[ix]..x[ix+1], 0 <= ix <= nx - 2; on a single-node axis the
// index is 0 and the cell is degenerate (no node ix + 1 exists, so never read x[ix + 1]
// without checking the axis length; reduce_step_to_bty_lines does this).
struct BTYCursor {
    std::uint32_t ix = 0, iy = 0;
};

// Throws FatalError, first match wins: z_bty_m of a length other than nx * ny (the message
// carries nx, ny and the length), an empty axis, x_bty_m or y_bty_m not strictly increasing.
BTYfield init_bty(const input::SimulationConfig& config);

namespace detail {

// The four depths of the cell, z00 = z[ix, iy], z01 = z[ix, iy+1], z10 = z[ix+1, iy],
// z11 = z[ix+1, iy+1]; along a single-node axis the "next" node is the node itself.
struct CellDepths {
    float z00, z01, z10, z11;
};

inline CellDepths cell_depths(const BTYfield& f, const BTYCursor& cur) {
    const std::size_t ny = f.y.size();
    const std::size_t sy = ny > 1 ? 1 : 0;
    const std::size_t sx = f.x.size() > 1 ? ny : 0;
    const float* z0 = f.z.data.data() + static_cast<std::size_t>(cur.ix) * ny + cur.iy;
    return {z0[0], z0[sy], z0[sx], z0[sx + sy]};
}

// w dz / h, the weighted share of one cell edge's slope. Over a level edge (dz = +-0) the
// quotient of the zero (or NaN) w dz by the positive width is that same value, so the
// division is left out.
inline float slope_term(float w, float dz, float h) {
    const float wdz = w * dz;
    return dz == 0.0f ? wdz : wdz / h;
}

// The unit normal at fractions (tx, ty) of a cell of depths c and widths hx, hy (an axis
// without a width, a single-node one, has no slope).
inline Vec3 cell_normal(float tx, float ty, const CellDepths& c, bool has_x, float hx,
                        bool has_y, float hy) {
    float gx = 0.0f;
    if (has_x) {
        gx = slope_term(ty, c.z11 - c.z01, hx) + slope_term(1.0f - ty, c.z10 - c.z00, hx);
    }
    float gy = 0.0f;
    if (has_y) {
        gy = slope_term(tx, c.z11 - c.z10, hy) + slope_term(1.0f - tx, c.z01 - c.z00, hy);
    }
    const float len2 = 1.0f + gx * gx + gy * gy;
    // On a level or nearly level bottom len2 rounds to exactly 1, whose root is 1 and whose
    // divisions give their dividends back: the same normal without them.
    if (len2 == 1.0f) return {-gx, -gy, 1.0f};
    const float len = std::sqrt(len2);
    return {-gx / len, -gy / len, 1.0f / len};
}

inline float cell_depth(float tx, float ty, const CellDepths& c) {
    float depth = 0.0f;
    depth += (1.0f - tx) * (1.0f - ty) * c.z00;
    depth += (1.0f - tx) * ty * c.z01;
    depth += tx * (1.0f - ty) * c.z10;
    depth += tx * ty * c.z11;
    return depth;
}

} // namespace detail

// Binary search: the cell of the last node not above each coordinate (0 below the grid, n-2
// at/after the end, 0 on a single-node axis). Throws FatalError on a NaN coordinate.
BTYCursor init_bty_cursor(Vec2 p, const BTYfield& f);

// Walks the cursor from its current cell to the cell of p (strict comparisons; NaN keeps it).
inline void update_bty_cursor(Vec2 p, const BTYfield& f, BTYCursor& cur) {
    cur.ix = grid::walk_cell(f.x, p.x, cur.ix);
    cur.iy = grid::walk_cell(f.y, p.y, cur.iy);
}

// Where a point sits in the cursor's cell: its clamped fractions along x and y (0 on a
// single-node axis), from which the depth and the normal there follow.
struct CellPoint {
    float tx = 0.0f, ty = 0.0f;
};

inline CellPoint cell_point(Vec2 p, const BTYfield& f, const BTYCursor& cur) {
    return {grid::cell_fraction(f.x, p.x, cur.ix), grid::cell_fraction(f.y, p.y, cur.iy)};
}

// Bilinear depth (m) at the point q of the cursor's cell.
inline float interpolate_bty_at(CellPoint q, const BTYfield& f, const BTYCursor& cur) {
    return detail::cell_depth(q.tx, q.ty, detail::cell_depths(f, cur));
}

// Bilinear depth (m) at p, clamped to the grid; does not move the cursor (update it first).
inline float interpolate_bty_from_cursor(Vec2 p, const BTYfield& f, const BTYCursor& cur) {
    return interpolate_bty_at(cell_point(p, f, cur), f, cur);
}

// Unit normal of the bilinear surface at the point q of the cursor's cell, pointing down into
// the bottom (z > 0): (-dz/dx, -dz/dy, 1) / sqrt(1 + |grad z|^2).
inline Vec3 bottom_normal_at(CellPoint q, const BTYfield& f, const BTYCursor& cur) {
    const bool has_x = f.x.size() > 1;
    const bool has_y = f.y.size() > 1;
    return detail::cell_normal(q.tx, q.ty, detail::cell_depths(f, cur), has_x,
                               has_x ? f.x[cur.ix + 1] - f.x[cur.ix] : 0.0f, has_y,
                               has_y ? f.y[cur.iy + 1] - f.y[cur.iy] : 0.0f);
}

// Unit normal of the bilinear surface at p, pointing down into the bottom (z > 0), at the
// clamped point. Does not move the cursor.
inline Vec3 bottom_normal_from_cursor(Vec2 p, const BTYfield& f, const BTYCursor& cur) {
    return bottom_normal_at(cell_point(p, f, cur), f, cur);
}

// A cursor that holds its cell's bounds along x and y and the cell's four depths, for a ray
// that meets many points in few cells. Its lookups give the numbers of the plain cursor's.
// `level` marks a cell whose four edges all have depth differences of +0 (equal depths): every
// slope term is then +0 for a fraction that is a number, and the normal is (-0, -0, 1).
struct BTYCell {
    grid::HeldCell x, y;
    detail::CellDepths z;
    bool level = false;
};

inline bool is_level(const detail::CellDepths& c) {
    const auto plus_zero = [](float v) { return std::bit_cast<std::uint32_t>(v) == 0u; };
    return plus_zero(c.z11 - c.z01) && plus_zero(c.z10 - c.z00) && plus_zero(c.z11 - c.z10) &&
           plus_zero(c.z01 - c.z00);
}

inline BTYCell hold_bty_cell(const BTYfield& f, BTYCursor cur) {
    const detail::CellDepths z = detail::cell_depths(f, cur);
    return {grid::hold_cell(f.x, cur.ix), grid::hold_cell(f.y, cur.iy), z, is_level(z)};
}

inline BTYCursor bty_cursor_of(const BTYCell& c) {
    return {c.x.i, c.y.i};
}

// update_bty_cursor for a held cell.
inline void update_bty_cell(Vec2 p, const BTYfield& f, BTYCell& c) {
    if (grid::holds(c.x, p.x) && grid::holds(c.y, p.y)) [[likely]] {
        return;
    }
    grid::walk_held_cell(f.x, p.x, c.x);
    grid::walk_held_cell(f.y, p.y, c.y);
    c.z = detail::cell_depths(f, bty_cursor_of(c));
    c.level = is_level(c.z);
}

inline CellPoint cell_point(Vec2 p, const BTYCell& c) {
    return {grid::held_cell_fraction(c.x, p.x), grid::held_cell_fraction(c.y, p.y)};
}

inline float interpolate_bty_at(CellPoint q, const BTYCell& c) {
    return detail::cell_depth(q.tx, q.ty, c.z);
}

inline Vec3 bottom_normal_at(CellPoint q, const BTYCell& c) {
    if (c.level && q.tx == q.tx && q.ty == q.ty) return {-0.0f, -0.0f, 1.0f};
    return detail::cell_normal(q.tx, q.ty, c.z, !c.x.single, c.x.width, !c.y.single, c.y.width);
}

// reduce_step_to_bty_lines for a held cell.
inline float reduce_step_to_cell_lines(Vec2 p, Vec2 d, const BTYCell& c, float h) {
    constexpr float kTiny = 1e-9f;
    const auto shorten = [&](const grid::HeldCell& g, float pa, float da) {
        if (g.single || std::fabs(da) <= kTiny) return;
        const float s = (grid::held_plane_ahead(g, da) - pa) / da;
        if (s > kTiny && s < h) h = s;
    };
    shorten(c.x, p.x, d.x);
    shorten(c.y, p.y, d.y);
    return h;
}

// Twist d2z/dxdy (1/m) of the bilinear surface in the cursor's cell: the one curvature a
// bilinear bottom has (0 when either axis has a single node).
inline float bottom_twist_from_cursor(const BTYfield& f, const BTYCursor& cur) {
    if (f.x.size() < 2 || f.y.size() < 2) return 0.0f;
    const detail::CellDepths c = detail::cell_depths(f, cur);
    const float hx = f.x[cur.ix + 1] - f.x[cur.ix];
    const float hy = f.y[cur.iy + 1] - f.y[cur.iy];
    return ((c.z11 - c.z10) - (c.z01 - c.z00)) / (hx * hy);
}

// Shortens h so that p + h * d ends on the next bathymetry grid line of the cursor's cell
// along x and y (upper line for d > 0, the cell's own lower line for d < 0); components with
// |d| <= 1e-9, lines at most 1e-9 ahead and single-node axes are ignored. Never grows h.
inline float reduce_step_to_bty_lines(Vec2 p, Vec2 d, const BTYfield& f, const BTYCursor& cur,
                                      float h) {
    constexpr float kTiny = 1e-9f;
    const auto shorten = [&](std::span<const float> g, float pa, float da, std::uint32_t i) {
        if (g.size() < 2 || std::fabs(da) <= kTiny) return;
        const float target = da > 0.0f ? g[i + 1] : g[i];
        const float s = (target - pa) / da;
        if (s > kTiny && s < h) h = s;
    };
    shorten(f.x, p.x, d.x, cur.ix);
    shorten(f.y, p.y, d.y, cur.iy);
    return h;
}

} // namespace kelp::bty
