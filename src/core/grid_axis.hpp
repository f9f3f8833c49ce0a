#pragma once
// Cell search along one grid axis, shared by the sound-speed and bathymetry cursors. An axis is
// strictly increasing (the field builders refuse others); cell i spans g[i]..g[i+1]. A
// single-node axis has the one degenerate cell 0 with fraction 0 (a field constant along it).

#include "core/fatal.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

namespace kelp::grid {

// Binary search: the index of the last node not above p (0 below the first node), capped at
// n - 2. p must be a number (only source positions are searched).
inline std::uint32_t search_cell(std::span<const float> g, float p, const char* axis_name) {
    const std::size_t n = g.size();
    if (n < 2) return 0;
    if (std::isnan(p))
        fail(std::string("cursor search at a ") + axis_name +
             " coordinate that is not a number");
    std::size_t base = 0;
    std::size_t size = n;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (g[mid] <= p) base = mid;
        size -= half;
    }
    std::size_t index = base;
    if (g[base] > p && base > 0) index = base - 1;
    return static_cast<std::uint32_t>(index < n - 2 ? index : n - 2);
}

// Moves cell i to the cell of p by walking from it. Strict comparisons: a point on an interior
// node stays in whichever neighbouring cell the cursor already held; NaN leaves i unchanged.
inline std::uint32_t walk_cell(std::span<const float> g, float p, std::uint32_t i) {
    const std::size_t n = g.size();
    if (n < 2) return 0;
    const auto last = static_cast<std::uint32_t>(n - 2);
    KELP_DCHECK_LE(i, last);
    // Most calls find p still in the held cell; on a strictly increasing axis this test gives
    // the same answer as the full procedure below, and a NaN p keeps the cell here too.
    if (!(p > g[i + 1]) && !(g[i] > p)) return i;
    if (p <= g[0]) return 0;
    if (p >= g[n - 1]) return last;
    while (i < last && p > g[i + 1])
        ++i;
    while (i > 0 && g[i] > p)
        --i;
    return i;
}

// Fraction of the way from g[i] to g[i+1], clamped to [0, 1] so that points outside the grid
// take the value at the nearest boundary; 0 on a single-node axis.
inline float cell_fraction(std::span<const float> g, float p, std::uint32_t i) {
    if (g.size() < 2) return 0.0f;
    float t = (p - g[i]) / (g[i + 1] - g[i]);
    if (t < 0.0f) t = 0.0f;
    if (t > 1.0f) t = 1.0f;
    return t;
}

// The held cell of one axis with its bounds lo = g[i], hi = g[i + 1] and width hi - lo, read
// once per cell for a cursor that meets many points in few cells. A single-node axis holds
// every point (NaN bounds) and gives fraction 0.
struct HeldCell {
    std::uint32_t i = 0;
    bool single = false;
    float lo = 0.0f, hi = 0.0f, width = 0.0f;
};

inline HeldCell hold_cell(std::span<const float> g, std::uint32_t i) {
    if (g.size() < 2) {
        constexpr float nan = std::numeric_limits<float>::quiet_NaN();
        return {0, true, nan, nan, nan};
    }
    return {i, false, g[i], g[i + 1], g[i + 1] - g[i]};
}

// Whether walk_cell keeps the held cell for p (its first test, on the held bounds).
inline bool holds(const HeldCell& c, float p) {
    return !(p > c.hi) && !(c.lo > p);
}

// walk_cell for a held cell: the same cell for every point, the bounds read only on a move.
inline void walk_held_cell(std::span<const float> g, float p, HeldCell& c) {
    if (holds(c, p)) return;
    c = hold_cell(g, walk_cell(g, p, c.i));
}

// cell_fraction of the held cell: the same quotient of the same differences.
inline float held_cell_fraction(const HeldCell& c, float p) {
    if (c.single) return 0.0f;
    float t = (p - c.lo) / c.width;
    if (t < 0.0f) t = 0.0f;
    if (t > 1.0f) t = 1.0f;
    return t;
}

// The grid plane a step along da > 0 (upper) or da < 0 (the cell's own lower) meets first.
inline float held_plane_ahead(const HeldCell& c, float da) {
    return da > 0.0f ? c.hi : c.lo;
}

} // namespace kelp::grid
