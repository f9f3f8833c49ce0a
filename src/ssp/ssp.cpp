#include "ssp/ssp.hpp"

#include <cmath>
#include <cstddef>
#include <string>

namespace kelp::ssp {
namespace {

// Finite difference along dimension `dim` of a rank-3 array viewed as (outer, n, inner). Each
// node uses its own neighbours' spacing: forward over the first interval, backward over the
// last, central over axis[i+1] - axis[i-1] inside. The central denominator is the width of the
// two intervals, which on a uniform axis is h + h, so the classic stencil is reproduced.
Array3f partial_along(const Array3f& field, std::span<const float> axis, std::size_t dim,
                      char name) {
    const std::size_t n = field.shape[dim];
    if (n < 2) {
        fail(std::string("Need n") + name + " >= 2 for finite differences along " + name);
    }
    if (axis.size() != n) {
        fail(std::string("partial_") + name + ": axis has " + std::to_string(axis.size()) +
             " nodes but the field has " + std::to_string(n) + " along " + name);
    }
    std::size_t outer = 1;
    for (std::size_t d = 0; d < dim; ++d)
        outer *= field.shape[d];
    std::size_t inner = 1;
    for (std::size_t d = dim + 1; d < 3; ++d)
        inner *= field.shape[d];

    Array3f out(field.shape, 0.0f);
    const float* f = field.data.data();
    float* o = out.data.data();
    for (std::size_t a = 0; a < outer; ++a) {
        const std::size_t plane0 = a * n * inner;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t lo = i == 0 ? 0 : i - 1;
            const std::size_t hi = i == n - 1 ? n - 1 : i + 1;
            const float width = axis[hi] - axis[lo];
            const float* f_lo = f + plane0 + lo * inner;
            const float* f_hi = f + plane0 + hi * inner;
            float* out_i = o + plane0 + i * inner;
            for (std::size_t r = 0; r < inner; ++r)
                out_i[r] = (f_hi[r] - f_lo[r]) / width;
        }
    }
    return out;
}

void require_strictly_increasing(std::span<const float> g, const char* name) {
    for (std::size_t i = 1; i < g.size(); ++i) {
        // Written negated so that a NaN node fails too.
        if (!(g[i] > g[i - 1])) fail(std::string(name) + " must be strictly increasing");
    }
}

} // namespace

Array3f partial_x(const Array3f& field, std::span<const float> axis) {
    return partial_along(field, axis, 0, 'x');
}
Array3f partial_y(const Array3f& field, std::span<const float> axis) {
    return partial_along(field, axis, 1, 'y');
}
Array3f partial_z(const Array3f& field, std::span<const float> axis) {
    return partial_along(field, axis, 2, 'z');
}

SSPSample node_sample(const SSPFields& f, std::size_t i, std::size_t j, std::size_t k) {
    return detail::sample_from(f.nodes.data() +
                               ((i * f.y.size() + j) * f.z.size() + k) * kFieldsPerNode);
}

SSPFields make_ssp_fields(std::vector<float> x, std::vector<float> y, std::vector<float> z,
                          std::span<const SSPSample> samples) {
    if (samples.size() != x.size() * y.size() * z.size())
        fail("make_ssp_fields: " + std::to_string(samples.size()) + " samples for " +
             std::to_string(x.size() * y.size() * z.size()) + " nodes");
    SSPFields f{std::move(x), std::move(y), std::move(z), {}};
    f.nodes.reserve(samples.size() * kFieldsPerNode);
    for (const SSPSample& s : samples)
        f.nodes.insert(f.nodes.end(), {s.c, s.dc_dx, s.dc_dy, s.dc_dz, s.d2c_dx2, s.d2c_dy2,
                                       s.d2c_dz2, s.d2c_dxdy, s.d2c_dxdz, s.d2c_dydz});
    return f;
}

SSPFields init_ssp(const input::SimulationConfig& config) {
    const input::SoundSpeed& s = config.ssp;
    const std::size_t nx = s.x_ssp_m.size();
    const std::size_t ny = s.y_ssp_m.size();
    const std::size_t nz = s.z_ssp_m.size();

    // A grid too large to count cannot be filled by any list in memory.
    std::size_t nodes = 0;
    const bool overflow =
        __builtin_mul_overflow(nx, ny, &nodes) || __builtin_mul_overflow(nodes, nz, &nodes);
    if (overflow || s.c_m_s.size() < nodes) {
        fail("c_m_s does not match grid dimensions: ShapeError/OutOfBounds: out of bounds "
             "indexing");
    }
    if (s.c_m_s.size() > nodes) {
        fail("c_m_s does not match grid dimensions: ShapeError/IncompatibleShape: incompatible "
             "shapes");
    }
    if (nx < 2) fail("Need nx >= 2 for finite differences along x");
    if (ny < 2) fail("Need ny >= 2 for finite differences along y");
    if (nz < 2) fail("Need nz >= 2 for finite differences along z");
    require_strictly_increasing(s.x_ssp_m, "x_ssp_m");
    require_strictly_increasing(s.y_ssp_m, "y_ssp_m");
    require_strictly_increasing(s.z_ssp_m, "z_ssp_m");

    SSPFields f{s.x_ssp_m, s.y_ssp_m, s.z_ssp_m, {}};
    Array3f c;
    c.shape = {nx, ny, nz};
    c.data = s.c_m_s;
    const Array3f dc_dx = partial_x(c, f.x);
    const Array3f dc_dy = partial_y(c, f.y);
    const Array3f dc_dz = partial_z(c, f.z);
    const Array3f d2c_dx2 = partial_x(dc_dx, f.x);
    const Array3f d2c_dy2 = partial_y(dc_dy, f.y);
    const Array3f d2c_dz2 = partial_z(dc_dz, f.z);
    const Array3f d2c_dxdy = partial_y(dc_dx, f.y);
    const Array3f d2c_dxdz = partial_z(dc_dx, f.z);
    const Array3f d2c_dydz = partial_z(dc_dy, f.z);

    const Array3f* fields[kFieldsPerNode] = {&c,        &dc_dx,   &dc_dy,   &dc_dz,
                                             &d2c_dx2,  &d2c_dy2, &d2c_dz2, &d2c_dxdy,
                                             &d2c_dxdz, &d2c_dydz};
    f.nodes.resize(nodes * kFieldsPerNode);
    for (std::size_t m = 0; m < kFieldsPerNode; ++m) {
        const float* src = fields[m]->data.data();
        for (std::size_t q = 0; q < nodes; ++q)
            f.nodes[q * kFieldsPerNode + m] = src[q];
    }
    return f;
}

SSPCursor init_ssp_cursor(Vec3 p, const SSPFields& f) {
    return {grid::search_cell(f.x, p.x, "x"), grid::search_cell(f.y, p.y, "y"),
            grid::search_cell(f.z, p.z, "z")};
}

} // namespace kelp::ssp
