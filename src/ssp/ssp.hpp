#pragma once
// Sound-speed field: gridded c(x, y, z) with nine finite-difference derivative fields, a
// per-ray cell cursor, trilinear lookups and step shortening to grid planes.
// Units: metres (z depth, positive down), m/s, (m/s)/m, (m/s)/m^2.

#include "input/config.hpp"
#include "input/ndarray.hpp"
#include "input/vec3.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace kelp::ssp {

// Immutable after init_ssp; shared read-only by all workers.
struct SSPFields {
    std::vector<float> x, y, z;
    Array3f c;
    Array3f dc_dx, dc_dy, dc_dz;
    Array3f d2c_dx2, d2c_dy2, d2c_dz2;
    Array3f d2c_dxdy, d2c_dxdz, d2c_dydz;
    // Node-interleaved copy of the ten arrays (ten floats per node, in SSPSample order) so a
    // full sample reads eight contiguous blocks instead of eighty scattered floats.
    std::vector<float> interleaved;
};

// Cell indices: cell ix spans x[ix]..x[ix+1]; 0 <= ix <= nx - 2.
struct SSPCursor {
    std::uint32_t ix = 0, iy = 0, iz = 0;
};

struct SSPWeights {
    std::uint32_t ix, iy, iz;
    float wx0, wx1, wy0, wy1, wz0, wz1;
};

struct SSPSample {
    float c, dc_dx, dc_dy, dc_dz, d2c_dx2, d2c_dy2, d2c_dz2, d2c_dxdy, d2c_dxdz, d2c_dydz;
};

// Builds the field from the validated configuration; throws FatalError when c_m_s does not
// fill the grid, an axis has fewer than two nodes, or an axis is not strictly increasing.
SSPFields init_ssp(const input::SimulationConfig& config);

// Derivative along axis 0 / 1 / 2 of a 3-D field, using each node's own spacing on `axis`
// (one-sided at the ends, central over axis[i+1] - axis[i-1] inside). Throws when the axis
// has fewer than two nodes.
Array3f partial_x(const Array3f& field, std::span<const float> axis);
Array3f partial_y(const Array3f& field, std::span<const float> axis);
Array3f partial_z(const Array3f& field, std::span<const float> axis);

// Binary search: the cell of the last node not above p (0 below the grid, n-2 at/after the end).
SSPCursor init_ssp_cursor(Vec3 p, const SSPFields& f);
// Walks the cursor from its current cell to the cell of p (strict comparisons; NaN keeps it).
void update_ssp_cursor(Vec3 p, const SSPFields& f, SSPCursor& cur);
SSPWeights update_cursor_and_weights(Vec3 p, std::span<const float> x, std::span<const float> y,
                                     std::span<const float> z, SSPCursor& cur);
// Trilinear c at p (position clamped to the grid); moves the cursor first.
float interpolate_c_with_cursor(Vec3 p, const SSPFields& f, SSPCursor& cur);
// All ten interpolated values at p from one set of weights; moves the cursor first.
SSPSample interpolate_all_with_cursor(Vec3 p, const SSPFields& f, SSPCursor& cur);
// Shortens ds so that p + ds * d ends on the next grid plane along each axis (1e-9 thresholds).
float reduce_step_to_ssp_interfaces(Vec3 p, Vec3 d, const SSPFields& f, const SSPCursor& cur,
                                    float ds);

} // namespace kelp::ssp
