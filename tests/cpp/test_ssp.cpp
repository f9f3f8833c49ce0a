#include "test_names.hpp"

#include "ssp/ssp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace kelp::ssp {
namespace {

using Axis = std::vector<float>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

input::SimulationConfig make_config(Axis x, Axis y, Axis z, std::vector<float> c) {
    input::SimulationConfig cfg;
    cfg.ssp.x_ssp_m = std::move(x);
    cfg.ssp.y_ssp_m = std::move(y);
    cfg.ssp.z_ssp_m = std::move(z);
    cfg.ssp.c_m_s = std::move(c);
    return cfg;
}

// c sampled from a function of (x, y, z) in the configuration's order (z fastest, then y).
input::SimulationConfig sample_config(const Axis& x, const Axis& y, const Axis& z,
                                      const std::function<double(double, double, double)>& fn) {
    std::vector<float> c;
    for (float xi : x)
        for (float yj : y)
            for (float zk : z)
                c.push_back(static_cast<float>(fn(xi, yj, zk)));
    return make_config(x, y, z, c);
}

std::string build_error(const input::SimulationConfig& cfg) {
    try {
        (void)init_ssp(cfg);
    } catch (const FatalError& e) {
        return e.what();
    }
    return "<built>";
}

bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------------------------------------------
// Fatal errors of the build and their precedence.

struct BuildErrorCase {
    const char* name;
    Axis x, y, z;
    std::size_t c_len;
    const char* message;
};

class SspBuildErrors : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(SspBuildErrors, ReportsTheFirstApplicableMessage) {
    const BuildErrorCase& tc = GetParam();
    EXPECT_EQ(build_error(make_config(tc.x, tc.y, tc.z, std::vector<float>(tc.c_len, 1500.0f))),
              tc.message);
}

constexpr const char* kShort =
    "c_m_s does not match grid dimensions: ShapeError/OutOfBounds: out of bounds indexing";
constexpr const char* kLong =
    "c_m_s does not match grid dimensions: ShapeError/IncompatibleShape: incompatible shapes";

INSTANTIATE_TEST_SUITE_P(
    Table, SspBuildErrors,
    ::testing::Values(
        BuildErrorCase{"CTooShort", {0, 1}, {0, 1}, {0, 1}, 7, kShort},
        BuildErrorCase{"CTooLong", {0, 1}, {0, 1}, {0, 1}, 9, kLong},
        BuildErrorCase{"EmptyAxisIsTooLong", {}, {0, 1}, {0, 1}, 4, kLong},
        BuildErrorCase{"LengthBeatsShortAxis", {0}, {0, 1}, {0, 1}, 3, kShort},
        BuildErrorCase{
            "SingleX", {0}, {0, 1}, {0, 1}, 4, "Need nx >= 2 for finite differences along x"},
        BuildErrorCase{"TwoDimensionalSection",
                       {0, 1},
                       {0},
                       {0, 1},
                       4,
                       "Need ny >= 2 for finite differences along y"},
        BuildErrorCase{
            "SingleZ", {0, 1}, {0, 1}, {0}, 4, "Need nz >= 2 for finite differences along z"},
        BuildErrorCase{
            "XBeatsYAndZ", {0}, {0}, {0}, 1, "Need nx >= 2 for finite differences along x"},
        BuildErrorCase{
            "YBeatsZ", {0, 1}, {0}, {0}, 2, "Need ny >= 2 for finite differences along y"},
        BuildErrorCase{"ShortAxisBeatsOrder",
                       {1, 0},
                       {0},
                       {0, 1},
                       4,
                       "Need ny >= 2 for finite differences along y"},
        BuildErrorCase{"XDecreasing",
                       {0, 10, 5},
                       {0, 1},
                       {0, 1},
                       12,
                       "x_ssp_m must be strictly increasing"},
        BuildErrorCase{
            "YRepeated", {0, 1}, {0, 0}, {0, 1}, 8, "y_ssp_m must be strictly increasing"},
        // Validation turns [-5, 10, -0.5] into [5, 10, 0.5].
        BuildErrorCase{"ZUnorderedAfterSignCorrection",
                       {0, 1},
                       {0, 1},
                       {5, 10, 0.5f},
                       12,
                       "z_ssp_m must be strictly increasing"},
        BuildErrorCase{"XOrderBeatsZOrder",
                       {1, 0},
                       {0, 1},
                       {1, 0},
                       8,
                       "x_ssp_m must be strictly increasing"},
        BuildErrorCase{"NaNNodeIsUnordered",
                       {0, 1},
                       {0, 1},
                       {0, kNaN},
                       8,
                       "z_ssp_m must be strictly increasing"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SspPartial, RefusesShortOrMismatchedAxes) {
    const Array3f flat_y({3, 1, 2}, 1.0f);
    try {
        (void)partial_y(flat_y, Axis{0});
        FAIL() << "no error";
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), "Need ny >= 2 for finite differences along y");
    }
    EXPECT_THROW((void)partial_x(flat_y, Axis{0, 1}), FatalError);
    EXPECT_THROW((void)partial_z(flat_y, Axis{0, 1, 2}), FatalError);
}

// ---------------------------------------------------------------------------------------------
// Finite-difference stencils.

// Extent along `dim` is `n`, the other two are 2 and 3 so every index is carried along.
std::array<std::size_t, 3> shape_along(std::size_t dim, std::size_t n) {
    std::array<std::size_t, 3> s{2, 3, 2};
    s[dim] = n;
    return s;
}

Array3f partial_along(std::size_t dim, const Array3f& f, const Axis& g) {
    return dim == 0 ? partial_x(f, g) : dim == 1 ? partial_y(f, g) : partial_z(f, g);
}

float& at_along(Array3f& a, std::size_t dim, std::size_t i, std::size_t o1, std::size_t o2) {
    std::size_t idx[3];
    idx[dim] = i;
    idx[(dim + 1) % 3] = o1;
    idx[(dim + 2) % 3] = o2;
    return a(idx[0], idx[1], idx[2]);
}

class SspStencil : public ::testing::TestWithParam<std::size_t> {};

// On a uniform axis the derivative is the textbook forward / central / backward difference
// with the central one divided by h + h, to the bit.
TEST_P(SspStencil, UniformAxisMatchesClassicStencilsBitForBit) {
    const std::size_t dim = GetParam();
    const Axis g{100.0f, 112.5f, 125.0f, 137.5f, 150.0f, 162.5f};
    const float h = 12.5f;
    const std::size_t n = g.size();
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(1450.0f, 1550.0f);
    Array3f f(shape_along(dim, n), 0.0f);
    for (float& v : f.data)
        v = u(rng);
    Array3f d = partial_along(dim, f, g);
    for (std::size_t o1 = 0; o1 < f.shape[(dim + 1) % 3]; ++o1) {
        for (std::size_t o2 = 0; o2 < f.shape[(dim + 2) % 3]; ++o2) {
            auto F = [&](std::size_t i) { return at_along(f, dim, i, o1, o2); };
            EXPECT_TRUE(same_bits(at_along(d, dim, 0, o1, o2), (F(1) - F(0)) / h));
            EXPECT_TRUE(same_bits(at_along(d, dim, n - 1, o1, o2), (F(n - 1) - F(n - 2)) / h));
            for (std::size_t i = 1; i + 1 < n; ++i) {
                EXPECT_TRUE(
                    same_bits(at_along(d, dim, i, o1, o2), (F(i + 1) - F(i - 1)) / (h + h)))
                    << "node " << i;
            }
        }
    }
}

// Applying the operator twice gives, inside, (f[i+2] - 2 f[i] + f[i-2]) / (4 h^2): an
// alternating field, invisible to that wide stencil, is what tells it from the 3-point one.
TEST_P(SspStencil, SecondDerivativeIsTheWideStencil) {
    const std::size_t dim = GetParam();
    const Axis g{0, 2, 4, 6, 8, 10, 12};
    const std::size_t n = g.size();
    Array3f f(shape_along(dim, n), 0.0f);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t o1 = 0; o1 < f.shape[(dim + 1) % 3]; ++o1)
            for (std::size_t o2 = 0; o2 < f.shape[(dim + 2) % 3]; ++o2)
                at_along(f, dim, i, o1, o2) = (i % 2 == 0 ? 1.0f : -1.0f) + 0.25f * g[i] * g[i];
    Array3f d2 = partial_along(dim, partial_along(dim, f, g), g);
    for (std::size_t i = 2; i + 2 < n; ++i) {
        // The quadratic part contributes exactly 2 * 0.25; the alternation nothing.
        EXPECT_FLOAT_EQ(at_along(d2, dim, i, 1, 1), 0.5f) << "node " << i;
    }
}

// With two nodes the forward and backward differences coincide and the second derivative
// vanishes.
TEST_P(SspStencil, TwoNodesGiveOneSlopeAndNoCurvature) {
    const std::size_t dim = GetParam();
    const Axis g{10, 30};
    Array3f f(shape_along(dim, 2), 0.0f);
    for (std::size_t o1 = 0; o1 < f.shape[(dim + 1) % 3]; ++o1) {
        for (std::size_t o2 = 0; o2 < f.shape[(dim + 2) % 3]; ++o2) {
            at_along(f, dim, 0, o1, o2) = 1500.0f + static_cast<float>(o1);
            at_along(f, dim, 1, o1, o2) = 1510.0f + static_cast<float>(o2);
        }
    }
    Array3f d = partial_along(dim, f, g);
    Array3f d2 = partial_along(dim, d, g);
    for (std::size_t o1 = 0; o1 < f.shape[(dim + 1) % 3]; ++o1) {
        for (std::size_t o2 = 0; o2 < f.shape[(dim + 2) % 3]; ++o2) {
            const float slope =
                (10.0f + static_cast<float>(o2) - static_cast<float>(o1)) / 20.0f;
            EXPECT_EQ(at_along(d, dim, 0, o1, o2), slope);
            EXPECT_EQ(at_along(d, dim, 1, o1, o2), slope);
            EXPECT_EQ(at_along(d2, dim, 0, o1, o2), 0.0f);
            EXPECT_EQ(at_along(d2, dim, 1, o1, o2), 0.0f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Axes, SspStencil, ::testing::Values(0u, 1u, 2u), [](const auto& info) {
    return std::string("Along") + "XYZ"[info.param];
});

// A field linear in each coordinate separately (a + bx + cy + dz + exy + fxz + gyz) has exact
// differences on any axes, edges included: first derivatives b + ey + fz etc., zero pure second
// derivatives, and mixed ones e, f, g. On non-uniform axes this fails if any node used another
// node's spacing. Tolerance: the inputs are rounded to float once (relative 6e-8 of c ~ 1600)
// and each difference divides that by a spacing >= 5 m, so ~1e-4 absolute on the first
// derivatives and ~1e-4/5 on the second ones.
TEST(SspFields, MultilinearFieldHasExactDerivativesOnNonUniformAxes) {
    const Axis x{0, 10, 30, 70};
    const Axis y{-50, -20, 0, 5};
    const Axis z{0, 10, 20, 50, 100, 200};
    const double b = 0.3, c = -0.2, d = 0.05, e = 1e-3, f = -2e-3, g = 5e-4;
    const SSPFields s = init_ssp(sample_config(x, y, z, [&](double X, double Y, double Z) {
        return 1500.0 + b * X + c * Y + d * Z + e * X * Y + f * X * Z + g * Y * Z;
    }));
    for (std::size_t i = 0; i < x.size(); ++i) {
        for (std::size_t j = 0; j < y.size(); ++j) {
            for (std::size_t k = 0; k < z.size(); ++k) {
                const double X = x[i], Y = y[j], Z = z[k];
                const SSPSample n = node_sample(s, i, j, k);
                EXPECT_NEAR(n.dc_dx, b + e * Y + f * Z, 2e-4) << i << j << k;
                EXPECT_NEAR(n.dc_dy, c + e * X + g * Z, 2e-4) << i << j << k;
                EXPECT_NEAR(n.dc_dz, d + f * X + g * Y, 2e-4) << i << j << k;
                EXPECT_NEAR(n.d2c_dx2, 0.0, 5e-5);
                EXPECT_NEAR(n.d2c_dy2, 0.0, 5e-5);
                EXPECT_NEAR(n.d2c_dz2, 0.0, 5e-5);
                EXPECT_NEAR(n.d2c_dxdy, e, 5e-5);
                EXPECT_NEAR(n.d2c_dxdz, f, 5e-5);
                EXPECT_NEAR(n.d2c_dydz, g, 5e-5);
            }
        }
    }
}

// The canonical deep-water profile sampled at standard oceanographic depths. Differencing with
// the first interval only would make dc/dz several times too large below the first nodes (at
// 200 m the 100 m wide difference would be divided by 20 m). With each node's own spacing, a
// node midway between its neighbours gets the analytic slope to within the secant error
// h^2 |c'''| / 6, under 3e-4 (m/s)/m at these spacings; float rounding of c (6e-5 m/s over
// 2h >= 20 m) is far below that. Off-centre nodes carry a first-order secant error and are
// left out.
TEST(SspFields, MunkProfileAtStandardDepthsHasTrueGradient) {
    const Axis z{0,    10,   20,   30,   50,   75,   100,  125,  150,  200,  250,
                 300,  400,  500,  600,  700,  800,  900,  1000, 1100, 1200, 1300,
                 1400, 1500, 1750, 2000, 2500, 3000, 3500, 4000, 4500, 5000};
    const double eps = 0.00737;
    const auto munk = [&](double, double, double Z) {
        const double eta = 2.0 * (Z - 1300.0) / 1300.0;
        return 1500.0 * (1.0 + eps * (eta - 1.0 + std::exp(-eta)));
    };
    const auto munk_slope = [&](double Z) {
        const double eta = 2.0 * (Z - 1300.0) / 1300.0;
        return 1500.0 * eps * (2.0 / 1300.0) * (1.0 - std::exp(-eta));
    };
    const SSPFields s = init_ssp(sample_config({0, 1}, {0, 1}, z, munk));
    int checked = 0;
    for (std::size_t k = 1; k + 1 < z.size(); ++k) {
        if (z[k + 1] - z[k] != z[k] - z[k - 1]) continue;
        EXPECT_NEAR(node_sample(s, 1, 0, k).dc_dz, munk_slope(z[k]), 3e-4) << "depth " << z[k];
        ++checked;
    }
    EXPECT_EQ(checked, 24);
    EXPECT_NEAR(static_cast<double>(node_sample(s, 0, 1, 9).dc_dz) / munk_slope(200.0), 1.0,
                0.02);
    EXPECT_NEAR(static_cast<double>(node_sample(s, 0, 1, 29).dc_dz) / munk_slope(4000.0), 1.0,
                0.02);
}

TEST(SspFields, KeepsConfigurationOrderAndAxes) {
    const Axis x{0, 100}, y{0, 10, 20}, z{0, 5, 10, 15};
    const SSPFields s = init_ssp(sample_config(x, y, z, [](double X, double Y, double Z) {
        return 1500.0 + X / 100.0 * 100.0 + Y + Z / 5.0;
    }));
    EXPECT_EQ(s.x, x);
    EXPECT_EQ(s.y, y);
    EXPECT_EQ(s.z, z);
    ASSERT_EQ(s.nodes.size(), 2u * 3u * 4u * kFieldsPerNode);
    EXPECT_EQ(node_sample(s, 1, 2, 3).c, 1623.0f);
    EXPECT_EQ(node_sample(s, 0, 1, 2).c, 1512.0f);
    EXPECT_EQ(node_sample(s, 0, 0, 0).dc_dx, 1.0f);
    EXPECT_EQ(node_sample(s, 1, 1, 1).dc_dy, 1.0f);
    EXPECT_EQ(node_sample(s, 1, 2, 3).dc_dz, 0.2f);
}

// ---------------------------------------------------------------------------------------------
// Cursor: binary search and walk.

const Axis kNodes{0, 10, 20, 30};

SSPFields cube(const Axis& g) {
    return init_ssp(sample_config(
        g, g, g, [](double X, double Y, double Z) { return 1500.0 + X + 2.0 * Y + 3.0 * Z; }));
}

struct SearchCase {
    float p;
    std::uint32_t cell;
};

class SspSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(SspSearch, FindsTheLastNodeNotAboveTheCoordinate) {
    const SSPFields f = cube(kNodes);
    const SearchCase tc = GetParam();
    const SSPCursor on_x = init_ssp_cursor({tc.p, 5, 5}, f);
    const SSPCursor on_z = init_ssp_cursor({5, 5, tc.p}, f);
    EXPECT_EQ(on_x.ix, tc.cell);
    EXPECT_EQ(on_x.iz, 0u);
    EXPECT_EQ(on_z.iz, tc.cell);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SspSearch,
    ::testing::Values(SearchCase{-1e6f, 0}, SearchCase{-5, 0}, SearchCase{0, 0},
                      SearchCase{5, 0}, SearchCase{10, 1}, SearchCase{15, 1}, SearchCase{20, 2},
                      SearchCase{29.9f, 2}, SearchCase{30, 2}, SearchCase{1e6f, 2}),
    [](const auto& info) { return "At" + test::number_name(info.param.p); });

struct WalkCase {
    std::uint32_t from;
    float p;
    std::uint32_t to;
};

class SspWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(SspWalk, MovesFromTheHeldCell) {
    const SSPFields f = cube(kNodes);
    const WalkCase tc = GetParam();
    SSPCursor cur{1, tc.from, 0};
    update_ssp_cursor({15, tc.p, 5}, f, cur);
    EXPECT_EQ(cur.iy, tc.to);
    EXPECT_EQ(cur.ix, 1u);
    EXPECT_EQ(cur.iz, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SspWalk,
    ::testing::Values(WalkCase{0, 5, 0}, WalkCase{0, 15, 1}, WalkCase{0, 25, 2},
                      WalkCase{2, 5, 0}, WalkCase{2, 15, 1},
                      // On interior node 10: from below stays in cell 0, from above in cell 1.
                      WalkCase{0, 10, 0}, WalkCase{1, 10, 1}, WalkCase{2, 10, 1},
                      WalkCase{1, 20, 1}, WalkCase{2, 20, 2},
                      // Outside and on the end nodes.
                      WalkCase{2, 0, 0}, WalkCase{2, -3, 0}, WalkCase{0, 30, 2},
                      WalkCase{0, 99, 2},
                      // Not a number: the cursor keeps its cell.
                      WalkCase{1, kNaN, 1}, WalkCase{2, kNaN, 2}),
    [](const auto& info) {
        return "FromCell" + std::to_string(info.param.from) + "To" +
               test::number_name(info.param.p);
    });

// Off the nodes, walking from any cell and searching from scratch agree.
TEST(SspCursor, WalkAgreesWithSearchOnNonUniformAxis) {
    const Axis g{0, 1, 3, 7, 15, 31, 63, 127};
    const SSPFields f = cube(g);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-20.0f, 150.0f);
    for (int trial = 0; trial < 2000; ++trial) {
        const float p = u(rng);
        const std::uint32_t from = static_cast<std::uint32_t>(trial % 7);
        SSPCursor cur{from, from, from};
        update_ssp_cursor({p, p, p}, f, cur);
        const SSPCursor want = init_ssp_cursor({p, p, p}, f);
        ASSERT_EQ(cur.ix, want.ix) << p;
        ASSERT_EQ(cur.iz, want.iz) << p;
    }
}

TEST(SspCursor, SearchAtNaNIsAnInternalError) {
    const SSPFields f = cube(kNodes);
    EXPECT_THROW((void)init_ssp_cursor({5, kNaN, 5}, f), FatalError);
}

// ---------------------------------------------------------------------------------------------
// Interpolation.

// A field with all ten arrays distinct and non-zero at the boundary.
SSPFields curved_field() {
    return init_ssp(sample_config({0, 100, 300}, {0, 50, 100, 200}, {0, 10, 30, 60, 100},
                                  [](double X, double Y, double Z) {
                                      return 1500.0 + 0.01 * X - 0.02 * Y + 1e-4 * X * Y +
                                             5e-5 * Z * Z + 1e-6 * X * X + 2e-5 * Y * Z +
                                             3e-6 * X * Z;
                                  }));
}

std::array<float, 10> as_array(const SSPSample& s) {
    return {s.c,       s.dc_dx,   s.dc_dy,    s.dc_dz,    s.d2c_dx2,
            s.d2c_dy2, s.d2c_dz2, s.d2c_dxdy, s.d2c_dxdz, s.d2c_dydz};
}

std::array<float, 10> node_values(const SSPFields& f, std::size_t i, std::size_t j,
                                  std::size_t k) {
    return as_array(node_sample(f, i, j, k));
}

// Beyond the grid the position is clamped: every array gives its boundary value (derivatives
// included, so the gradient outside is not zero).
TEST(SspInterpolate, OutsideTheGridGivesBoundaryValues) {
    const SSPFields f = curved_field();
    SSPCursor cur = init_ssp_cursor({150, 75, 20}, f);
    const auto far = as_array(interpolate_all_with_cursor({1e5f, 1e5f, 1e5f}, f, cur));
    EXPECT_EQ(far, node_values(f, 2, 3, 4));
    EXPECT_NE(far[1], 0.0f);
    const auto below = as_array(interpolate_all_with_cursor({-1e5f, -1e5f, -1e5f}, f, cur));
    EXPECT_EQ(below, node_values(f, 0, 0, 0));
    // Clamped along x only: the value on the x = 300 face at the same (y, z).
    SSPCursor a = init_ssp_cursor({300, 75, 20}, f);
    SSPCursor b = init_ssp_cursor({900, 75, 20}, f);
    EXPECT_EQ(as_array(interpolate_all_with_cursor({300, 75, 20}, f, a)),
              as_array(interpolate_all_with_cursor({900, 75, 20}, f, b)));
}

// On a node the sample is the node's value whichever neighbouring cell the cursor holds.
TEST(SspInterpolate, NodeValueFromEitherNeighbouringCell) {
    const SSPFields f = curved_field();
    const Vec3 node{100, 100, 30};
    for (std::uint32_t ix : {0u, 1u}) {
        for (std::uint32_t iy : {1u, 2u}) {
            for (std::uint32_t iz : {1u, 2u}) {
                SSPCursor cur{ix, iy, iz};
                const auto got = as_array(interpolate_all_with_cursor(node, f, cur));
                EXPECT_EQ(cur.ix, ix);
                EXPECT_EQ(cur.iy, iy);
                EXPECT_EQ(cur.iz, iz);
                EXPECT_EQ(got, node_values(f, 1, 2, 2));
            }
        }
    }
}

// Trilinear interpolation reproduces a field that is linear in each coordinate; the reference
// is evaluated in double and the tolerance is a few float ulps of c ~ 1500 (1.2e-4 each).
TEST(SspInterpolate, ReproducesMultilinearField) {
    const auto fn = [](double X, double Y, double Z) {
        return 1500.0 + 0.1 * X - 0.05 * Y + 0.02 * Z + 1e-4 * X * Y - 2e-5 * X * Y * Z;
    };
    const SSPFields f = init_ssp(sample_config({0, 40, 100}, {0, 30}, {0, 25, 60, 80}, fn));
    SSPCursor cur = init_ssp_cursor({0, 0, 0}, f);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> ux(0, 100), uy(0, 30), uz(0, 80);
    for (int trial = 0; trial < 200; ++trial) {
        const Vec3 p{ux(rng), uy(rng), uz(rng)};
        EXPECT_NEAR(interpolate_c_with_cursor(p, f, cur), fn(p.x, p.y, p.z), 1e-3);
    }
}

// Every value of a sample is the weighted sum of the eight corner nodes added in corner order
// to a zero accumulator, c alike in the full sample and in the c-only lookup, so that the two
// give bit-identical speeds.
TEST(SspInterpolate, SamplesAreCornerSumsInFixedOrder) {
    const SSPFields f = curved_field();
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> ux(-50, 350), uy(-50, 250), uz(-10, 120);
    SSPCursor a = init_ssp_cursor({0, 0, 0}, f), b = a, c = a;
    for (int trial = 0; trial < 500; ++trial) {
        const Vec3 p{ux(rng), uy(rng), uz(rng)};
        const auto got = as_array(interpolate_all_with_cursor(p, f, a));
        const float c_only = interpolate_c_with_cursor(p, f, c);
        const SSPWeights w = update_cursor_and_weights(p, f.x, f.y, f.z, b);
        const float wx[2] = {w.wx0, w.wx1}, wy[2] = {w.wy0, w.wy1}, wz[2] = {w.wz0, w.wz1};
        std::array<float, 10> want{};
        for (int corner = 0; corner < 8; ++corner) {
            const int di = corner >> 2, dj = (corner >> 1) & 1, dk = corner & 1;
            const float weight = (wx[di] * wy[dj]) * wz[dk];
            const auto node = node_values(f, w.ix + di, w.iy + dj, w.iz + dk);
            for (int m = 0; m < 10; ++m)
                want[m] += weight * node[m];
        }
        for (int m = 0; m < 10; ++m)
            ASSERT_TRUE(same_bits(got[m], want[m])) << m;
        ASSERT_TRUE(same_bits(got[0], c_only));
    }
}

// A held cell walks and samples as the plain cursor does, bit for bit, inside and outside the
// grid.
TEST(SspInterpolate, HeldCellAgreesWithCursor) {
    const SSPFields f = curved_field();
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> ux(-50, 350), uy(-50, 250), uz(-10, 120);
    SSPCursor cur = init_ssp_cursor({0, 0, 0}, f);
    SSPCell cell = hold_ssp_cell(f, cur);
    for (int trial = 0; trial < 500; ++trial) {
        const Vec3 p{ux(rng), uy(rng), uz(rng)};
        const auto want = as_array(interpolate_all_with_cursor(p, f, cur));
        const auto got = as_array(interpolate_all_in_cell(p, f, cell));
        const SSPCursor held = ssp_cursor_of(cell);
        ASSERT_EQ(held.ix, cur.ix);
        ASSERT_EQ(held.iy, cur.iy);
        ASSERT_EQ(held.iz, cur.iz);
        for (int m = 0; m < 10; ++m)
            ASSERT_TRUE(same_bits(got[m], want[m])) << m;
    }
}

TEST(SspInterpolate, WeightsAreClampedComplements) {
    const SSPFields f = cube(kNodes);
    SSPCursor cur{0, 0, 0};
    const SSPWeights w = update_cursor_and_weights({12.5f, -4, 40}, f.x, f.y, f.z, cur);
    EXPECT_EQ(w.ix, 1u);
    EXPECT_EQ(w.iy, 0u);
    EXPECT_EQ(w.iz, 2u);
    EXPECT_EQ(w.wx0, 0.75f);
    EXPECT_EQ(w.wx1, 0.25f);
    EXPECT_EQ(w.wy0, 1.0f);
    EXPECT_EQ(w.wy1, 0.0f);
    EXPECT_EQ(w.wz0, 0.0f);
    EXPECT_EQ(w.wz1, 1.0f);
    EXPECT_EQ(cur.ix, 1u);
}

// ---------------------------------------------------------------------------------------------
// Step shortening.

struct StepCase {
    const char* name;
    Vec3 p, d;
    SSPCursor cur;
    float ds, want;
};

class SspStep : public ::testing::TestWithParam<StepCase> {};

TEST_P(SspStep, ShortensToTheNextPlane) {
    const SSPFields f = cube(kNodes);
    const StepCase& tc = GetParam();
    EXPECT_EQ(reduce_step_to_ssp_interfaces(tc.p, tc.d, f, tc.cur, tc.ds), tc.want);
}

constexpr float kBig = 1e12f;

INSTANTIATE_TEST_SUITE_P(
    Table, SspStep,
    ::testing::Values(
        StepCase{"DirectionOf1e9Ignored", {5, 5, 5}, {1e-9f, 0, 0}, {0, 0, 0}, kBig, kBig},
        StepCase{
            "DirectionOf2e9Counts", {5, 5, 5}, {2e-9f, 0, 0}, {0, 0, 0}, kBig, 5.0f / 2e-9f},
        StepCase{"PositiveTargetsUpperNode", {15, 5, 5}, {1, 0, 0}, {1, 0, 0}, 100, 5},
        StepCase{"NegativeTargetsOwnLowerNode", {15, 5, 5}, {-1, 0, 0}, {1, 0, 0}, 100, 5},
        StepCase{"ShallowerPlaneUpwards", {5, 5, 27}, {0, 0, -0.5f}, {0, 0, 2}, 100, 14},
        StepCase{"StepNeverGrows", {15, 5, 5}, {1, 0, 0}, {1, 0, 0}, 2, 2},
        StepCase{"SmallestAxisWins",
                 {12, 12, 28},
                 {0.6f, 0.8f, 0},
                 {1, 1, 2},
                 100,
                 (20.0f - 12.0f) / 0.8f},
        StepCase{"OnThePlaneIgnored", {10, 5, 5}, {-1, 0, 0}, {1, 0, 0}, 100, 100},
        StepCase{"DistanceOf1e9Ignored", {5, 5, 1e-9f}, {0, 0, -1}, {0, 0, 0}, 100, 100},
        StepCase{"DistanceOf2e9Counts", {5, 5, 2e-9f}, {0, 0, -1}, {0, 0, 0}, 100, 2e-9f},
        StepCase{"TargetBehindOutsideGrid", {45, 5, 5}, {1, 0, 0}, {2, 0, 0}, 100, 100},
        StepCase{"ZeroDirection", {5, 5, 5}, {0, 0, 0}, {0, 0, 0}, 7, 7},
        StepCase{"NaNDirection", {5, 5, 5}, {kNaN, kNaN, kNaN}, {0, 0, 0}, 7, 7}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kelp::ssp
