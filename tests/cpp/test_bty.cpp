#include "test_names.hpp"

#include "bty/bty.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace kelp::bty {
namespace {

using Axis = std::vector<float>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

input::SimulationConfig make_config(Axis x, Axis y, std::vector<float> z) {
    input::SimulationConfig cfg;
    cfg.bathymetry.x_bty_m = std::move(x);
    cfg.bathymetry.y_bty_m = std::move(y);
    cfg.bathymetry.z_bty_m = std::move(z);
    return cfg;
}

std::string build_error(const input::SimulationConfig& cfg) {
    try {
        (void)init_bty(cfg);
    } catch (const FatalError& e) {
        return e.what();
    }
    return "<built>";
}

struct Lookup {
    float depth;
    Vec3 normal;
    BTYCursor cur;
};

// What the ray code does at a point: start the cursor somewhere, walk it there, then evaluate.
Lookup look_up(const BTYfield& f, Vec2 p, BTYCursor cur = {}) {
    update_bty_cursor(p, f, cur);
    return {interpolate_bty_from_cursor(p, f, cur), bottom_normal_from_cursor(p, f, cur), cur};
}

// The normal of a surface of depth slopes (gx, gy) is (-gx, -gy, 1) / sqrt(1 + gx^2 + gy^2).
// By default the slopes are exact in float and the code rounds a handful of times: 4 ulps.
void expect_normal(Vec3 n, float gx_f, float gy_f, double tol = 4e-7) {
    const double gx = gx_f, gy = gy_f;
    const double len = std::sqrt(1.0 + gx * gx + gy * gy);
    EXPECT_NEAR(n.x, -gx / len, tol);
    EXPECT_NEAR(n.y, -gy / len, tol);
    EXPECT_NEAR(n.z, 1.0 / len, tol);
}

// ---------------------------------------------------------------------------------------------
// Fatal errors and their precedence.

struct BuildErrorCase {
    const char* name;
    Axis x, y;
    std::size_t z_len;
    const char* message;
};

class BtyBuildErrors : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(BtyBuildErrors, ReportsTheFirstApplicableMessage) {
    const BuildErrorCase& tc = GetParam();
    EXPECT_EQ(build_error(make_config(tc.x, tc.y, std::vector<float>(tc.z_len, 100.0f))),
              tc.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BtyBuildErrors,
    ::testing::Values(
        BuildErrorCase{"TooShort",
                       {0, 1, 2},
                       {0, 1, 2, 3},
                       11,
                       "z_bty_m does not match grid dimensions: nx = 3, ny = 4, bty_len = 11: "
                       "ShapeError/OutOfBounds: out of bounds indexing"},
        BuildErrorCase{"TooLong",
                       {0, 1, 2},
                       {0, 1, 2, 3},
                       13,
                       "z_bty_m does not match grid dimensions: nx = 3, ny = 4, bty_len = 13: "
                       "ShapeError/IncompatibleShape: incompatible shapes"},
        BuildErrorCase{"EmptyAxis",
                       {},
                       {0, 1},
                       1,
                       "z_bty_m does not match grid dimensions: nx = 0, ny = 2, bty_len = 1: "
                       "ShapeError/IncompatibleShape: incompatible shapes"},
        BuildErrorCase{"LengthBeatsOrder",
                       {1, 0},
                       {0, 1},
                       3,
                       "z_bty_m does not match grid dimensions: nx = 2, ny = 2, bty_len = 3: "
                       "ShapeError/OutOfBounds: out of bounds indexing"},
        BuildErrorCase{
            "XUnordered", {0, 10, 5}, {0, 1}, 6, "x_bty_m must be strictly increasing"},
        BuildErrorCase{"YRepeated", {0, 10}, {3, 3}, 4, "y_bty_m must be strictly increasing"},
        BuildErrorCase{"XBeatsY", {10, 0}, {3, 3}, 4, "x_bty_m must be strictly increasing"},
        BuildErrorCase{"NaNNode", {0}, {0, kNaN}, 2, "y_bty_m must be strictly increasing"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The bottom model and the water density.

TEST(BtyBuild, TakesOverModelWithMissingAttenuationsAsZero) {
    input::SimulationConfig cfg = make_config({0, 1}, {0, 1}, {1, 2, 3, 4});
    cfg.bathymetry.bottom_model = input::Acoustic{1600.0f, 1.8f, std::nullopt};
    BTYfield f = init_bty(cfg);
    ASSERT_TRUE(std::holds_alternative<AcousticBottom>(f.bottom_model));
    const auto& a = std::get<AcousticBottom>(f.bottom_model);
    EXPECT_EQ(a.compressional_speed_m_s, 1600.0f);
    EXPECT_EQ(a.density_g_cm3, 1.8f);
    EXPECT_EQ(a.compressional_attenuation_db_per_wavelength, 0.0f);
    EXPECT_EQ(f.water_density_g_cm3, 1.0f);

    cfg.bathymetry.bottom_model = input::Elastic{1700.0f, 400.0f, 2.0f, 0.5f, std::nullopt};
    cfg.bathymetry.water_density_g_cm3 = 1.03f;
    f = init_bty(cfg);
    ASSERT_TRUE(std::holds_alternative<ElasticBottom>(f.bottom_model));
    const auto& e = std::get<ElasticBottom>(f.bottom_model);
    EXPECT_EQ(e.compressional_speed_m_s, 1700.0f);
    EXPECT_EQ(e.shear_speed_m_s, 400.0f);
    EXPECT_EQ(e.density_g_cm3, 2.0f);
    EXPECT_EQ(e.compressional_attenuation_db_per_wavelength, 0.5f);
    EXPECT_EQ(e.shear_attenuation_db_per_wavelength, 0.0f);
    EXPECT_EQ(f.water_density_g_cm3, 1.03f);

    cfg.bathymetry.bottom_model = input::Rigid{};
    EXPECT_TRUE(std::holds_alternative<RigidBottom>(init_bty(cfg).bottom_model));
}

// ---------------------------------------------------------------------------------------------
// Depth and normal.

TEST(BtyLookup, FlatBottomEverywhere) {
    const BTYfield f = init_bty(make_config({0, 1000}, {0, 1000}, {100, 100, 100, 100}));
    for (Vec2 p : {Vec2{500, 500}, Vec2{0, 0}, Vec2{-1e5f, 3e4f}, Vec2{1e6f, -1e6f}}) {
        const Lookup l = look_up(f, p);
        EXPECT_EQ(l.depth, 100.0f);
        EXPECT_EQ(l.normal.x, 0.0f);
        EXPECT_EQ(l.normal.y, 0.0f);
        EXPECT_EQ(l.normal.z, 1.0f);
    }
}

struct SlopeCase {
    const char* name;
    std::vector<float> z;
    Vec2 p;
    float depth, gx, gy;
};

class BtySlope : public ::testing::TestWithParam<SlopeCase> {};

TEST_P(BtySlope, DepthAndNormal) {
    const SlopeCase& tc = GetParam();
    const BTYfield f = init_bty(make_config({0, 1000}, {0, 1000}, tc.z));
    const Lookup l = look_up(f, tc.p);
    EXPECT_FLOAT_EQ(l.depth, tc.depth);
    expect_normal(l.normal, tc.gx, tc.gy);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BtySlope,
    ::testing::Values(
        // Deepening along x by 0.1 m per m.
        SlopeCase{"AlongXMiddle", {100, 100, 200, 200}, {500, 300}, 150, 0.1f, 0},
        SlopeCase{"AlongXEdge", {100, 100, 200, 200}, {1000, 300}, 200, 0.1f, 0},
        // Beyond the edge: depth and normal of the nearest edge point.
        SlopeCase{"AlongXBeyondEdge", {100, 100, 200, 200}, {2000, 300}, 200, 0.1f, 0},
        SlopeCase{"AlongXBeforeStart", {100, 100, 200, 200}, {-50, 1e4f}, 100, 0.1f, 0},
        // y varies fastest in z_bty_m: this bottom deepens along y.
        SlopeCase{"YFastest", {100, 200, 100, 200}, {500, 500}, 150, 0, 0.1f},
        SlopeCase{"YFastestOffCentre", {100, 200, 100, 200}, {900, 250}, 125, 0, 0.1f},
        // Saddle z = 100 + 2e-4 x y: at (250, 750) depth 137.5, slopes 2e-4 y = 0.15 along x
        // and 2e-4 x = 0.05 along y.
        SlopeCase{"Saddle", {100, 100, 100, 300}, {250, 750}, 137.5f, 0.15f, 0.05f},
        // Beyond a corner both are constant: the corner's own values.
        SlopeCase{"SaddleBeyondCorner", {100, 100, 100, 300}, {5000, 5000}, 300, 0.2f, 0.2f}),
    [](const auto& info) { return std::string(info.param.name); });

// A bilinear bottom is reproduced on a non-uniform grid, cell by cell, with the walking cursor.
// Reference in double. The node depths (~4500 m) are rounded to float (ulp 5e-4) and the
// evaluation rounds a few times more: 5e-3 m on the depth; those node errors over a cell of
// 50 m or more shift the slopes by up to 2e-5, hence 3e-5 on the normal.
TEST(BtyLookup, BilinearOnNonUniformGrid) {
    const Axis x{0, 100, 350, 1000}, y{-200, 0, 50};
    std::vector<float> z;
    for (float xi : x)
        for (float yj : y)
            z.push_back(4000.0f + 0.5f * xi - 0.25f * yj + 1e-3f * xi * yj);
    const BTYfield f = init_bty(make_config(x, y, z));
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> ux(0, 1000), uy(-200, 50);
    BTYCursor cur = init_bty_cursor({0, 0}, f);
    for (int trial = 0; trial < 300; ++trial) {
        const Vec2 p{ux(rng), uy(rng)};
        const Lookup l = look_up(f, p, cur);
        cur = l.cur;
        const double X = p.x, Y = p.y;
        EXPECT_NEAR(l.depth, 4000.0 + 0.5 * X - 0.25 * Y + 1e-3 * X * Y, 5e-3);
        expect_normal(l.normal, static_cast<float>(0.5 + 1e-3 * Y),
                      static_cast<float>(-0.25 + 1e-3 * X), 3e-5);
    }
}

// A held cell gives the plain cursor's cell, depth and normal bit for bit: sloping, level
// (the normal's signed zeros), -0 depths and single-node axes, inside and outside the grid.
TEST(BtyLookup, HeldCellAgreesWithCursor) {
    const auto same_bits = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    const BTYfield fields[] = {
        init_bty(make_config({0, 300, 1000}, {0, 400, 1000},
                             {100, 120, 90, 100, 100, 100, 130, 100, 95})),
        init_bty(make_config({0, 1000}, {0, 1000}, {-0.0f, -0.0f, 0.0f, 0.0f})),
        init_bty(make_config({500}, {0, 400, 1000}, {100, 100, 200})),
        init_bty(make_config({0}, {0}, {123}))};
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-300, 1300);
    for (const BTYfield& f : fields) {
        BTYCursor cur = init_bty_cursor({0, 0}, f);
        BTYCell cell = hold_bty_cell(f, cur);
        for (int trial = 0; trial < 300; ++trial) {
            const Vec2 p{u(rng), u(rng)};
            const Lookup want = look_up(f, p, cur);
            cur = want.cur;
            update_bty_cell(p, f, cell);
            const CellPoint at = cell_point(p, cell);
            const float depth = interpolate_bty_at(at, cell);
            const Vec3 n = bottom_normal_at(at, cell);
            ASSERT_EQ(bty_cursor_of(cell).ix, cur.ix);
            ASSERT_EQ(bty_cursor_of(cell).iy, cur.iy);
            ASSERT_TRUE(same_bits(depth, want.depth));
            ASSERT_TRUE(same_bits(n.x, want.normal.x) && same_bits(n.y, want.normal.y) &&
                        same_bits(n.z, want.normal.z));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Single-node axes: a bottom constant along that axis.

TEST(BtySingleNode, OnePointIsAFlatBottom) {
    const BTYfield f = init_bty(make_config({0}, {0}, {123}));
    for (Vec2 p : {Vec2{0, 0}, Vec2{-5e3f, 7e3f}, Vec2{1e6f, 1e6f}}) {
        const Lookup l = look_up(f, p, init_bty_cursor(p, f));
        EXPECT_EQ(l.cur.ix, 0u);
        EXPECT_EQ(l.cur.iy, 0u);
        EXPECT_EQ(l.depth, 123.0f);
        EXPECT_EQ(l.normal.x, 0.0f);
        EXPECT_EQ(l.normal.y, 0.0f);
        EXPECT_EQ(l.normal.z, 1.0f);
    }
}

TEST(BtySingleNode, UsesTheOtherAxisAlone) {
    // One x node: deepening along y by 0.1 m per m; one y node: deepening along x likewise.
    const BTYfield along_y = init_bty(make_config({500}, {0, 1000}, {100, 200}));
    const BTYfield along_x = init_bty(make_config({0, 1000}, {500}, {100, 200}));
    for (float far : {-1e4f, 0.0f, 500.0f, 1e4f}) {
        const Lookup ly = look_up(along_y, {far, 250});
        EXPECT_EQ(ly.cur.ix, 0u);
        EXPECT_FLOAT_EQ(ly.depth, 125.0f);
        expect_normal(ly.normal, 0.0f, 0.1f);
        const Lookup lx = look_up(along_x, {250, far});
        EXPECT_EQ(lx.cur.iy, 0u);
        EXPECT_FLOAT_EQ(lx.depth, 125.0f);
        expect_normal(lx.normal, 0.1f, 0.0f);
    }
}

TEST(BtySingleNode, StepShorteningIgnoresTheSingleAxis) {
    const BTYfield f = init_bty(make_config({500}, {0, 1000}, {100, 200}));
    const BTYCursor cur = init_bty_cursor({0, 400}, f);
    // Along x there is no grid line at all; along y the next line is y = 1000.
    EXPECT_EQ(reduce_step_to_bty_lines({0, 400}, {1, 0}, f, cur, 50), 50.0f);
    EXPECT_EQ(reduce_step_to_bty_lines({0, 400}, {-1, 0}, f, cur, 50), 50.0f);
    EXPECT_EQ(reduce_step_to_bty_lines({0, 400}, {0.6f, 0.8f}, f, cur, 5000), 600.0f / 0.8f);
    EXPECT_EQ(reduce_step_to_bty_lines({0, 400}, {0, -1}, f, cur, 5000), 400.0f);
}

// ---------------------------------------------------------------------------------------------
// Cursor: search and walk follow the sound-speed cursor.

const Axis kNodes{0, 10, 20, 30};

struct WalkCase {
    std::uint32_t from;
    float p;
    std::uint32_t to;
};

class BtyWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(BtyWalk, MovesFromTheHeldCell) {
    const BTYfield f = init_bty(make_config(kNodes, kNodes, std::vector<float>(16, 50.0f)));
    const WalkCase tc = GetParam();
    BTYCursor cur{tc.from, 1};
    update_bty_cursor({tc.p, 15}, f, cur);
    EXPECT_EQ(cur.ix, tc.to);
    EXPECT_EQ(cur.iy, 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, BtyWalk,
                         ::testing::Values(WalkCase{0, 5, 0}, WalkCase{0, 25, 2},
                                           WalkCase{2, 5, 0}, WalkCase{0, 10, 0},
                                           WalkCase{2, 10, 1}, WalkCase{1, 20, 1},
                                           WalkCase{2, -1, 0}, WalkCase{0, 30, 2},
                                           WalkCase{0, 1e9f, 2}, WalkCase{1, kNaN, 1}),
                         [](const auto& info) {
                             return "FromCell" + std::to_string(info.param.from) + "To" +
                                    test::number_name(info.param.p);
                         });

struct SearchCase {
    float p;
    std::uint32_t cell;
};

class BtySearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(BtySearch, FindsTheLastNodeNotAboveTheCoordinate) {
    const BTYfield f = init_bty(make_config(kNodes, kNodes, std::vector<float>(16, 50.0f)));
    const SearchCase tc = GetParam();
    const BTYCursor cur = init_bty_cursor({tc.p, 25}, f);
    EXPECT_EQ(cur.ix, tc.cell);
    EXPECT_EQ(cur.iy, 2u);
}

INSTANTIATE_TEST_SUITE_P(Table, BtySearch,
                         ::testing::Values(SearchCase{-3, 0}, SearchCase{0, 0},
                                           SearchCase{9.5f, 0}, SearchCase{10, 1},
                                           SearchCase{20, 2}, SearchCase{30, 2},
                                           SearchCase{31, 2}),
                         [](const auto& info) {
                             return "At" + test::number_name(info.param.p);
                         });

TEST(BtyCursor, SearchAtNaNIsAnInternalError) {
    const BTYfield f = init_bty(make_config(kNodes, kNodes, std::vector<float>(16, 50.0f)));
    EXPECT_THROW((void)init_bty_cursor({kNaN, 3}, f), FatalError);
}

} // namespace
} // namespace kelp::bty
