#include "core/fatal.hpp"
#include "engine/plausibility.hpp"
#include "input/config.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelp::engine {
namespace {

// 1500 m/s water over a bottom deepening along x from 100 m at x = -1000 to 300 m at x = 1000
// (200 m under the source at the origin), with receivers well inside the water and the range.
input::SimulationConfig plausible() {
    input::SimulationConfig c;
    c.ssp.x_ssp_m = {-1000.0f, 1000.0f};
    c.ssp.y_ssp_m = {-1000.0f, 1000.0f};
    c.ssp.z_ssp_m = {0.0f, 300.0f};
    c.ssp.c_m_s.assign(8, 1500.0f);
    c.bathymetry.x_bty_m = {-1000.0f, 1000.0f};
    c.bathymetry.y_bty_m = {-1000.0f, 1000.0f};
    c.bathymetry.z_bty_m = {100.0f, 100.0f, 300.0f, 300.0f};
    c.source.position = {0.0f, 0.0f, 50.0f};
    c.source.freq_hz = {100.0f};
    c.source.launch_elev_deg = {-20.0f, -10.0f, 0.0f, 10.0f, 20.0f};
    c.source.launch_azim_deg = {0.0f, 90.0f, 180.0f, 270.0f};
    c.receivers.config_type = "grid";
    c.receivers.x_rcvr_m = {-500.0f, 500.0f};
    c.receivers.y_rcvr_m = {0.0f, 400.0f};
    c.receivers.z_rcvr_m = {10.0f, 60.0f, 140.0f};
    c.beam.step_m = 10.0f;
    c.beam.max_steps = 1000;
    c.beam.max_range_m = 900.0f;
    return c;
}

TEST(Plausibility, APlausibleSetUpHasNoFindings) {
    EXPECT_TRUE(check_plausibility(plausible()).empty());
}

struct Case {
    const char* name;
    std::function<void(input::SimulationConfig&)> change;
    std::vector<std::string> findings; // exact texts, in order
};

// The bottom under x = -500 is 150 m and under x = 500 it is 250 m (bilinear along x); the
// receiver grid holds 2 x 2 columns of 3 depths.
const Case kCases[] = {
    {"OneTemperatureAmongSpeeds",
     [](auto& c) { c.ssp.c_m_s[3] = 12.5f; },
     {"ssp: 1 of 8 sound speeds lie outside 1300-1800 m/s (they range from 12.5 to 1500 m/s): "
      "were they given in km/s, or are they temperatures?"}},
    {"BathymetryInDegrees",
     [](auto& c) {
         c.bathymetry.x_bty_m = {-0.15f, 0.15f};
         c.bathymetry.y_bty_m = {45.0f, 45.2f};
         c.receivers.x_rcvr_m = {0.0f};
         c.receivers.y_rcvr_m = {45.1f};
         c.source.position = {0.0f, 45.1f, 50.0f};
     },
     {"grids: a horizontal grid is under 10 m wide (x_bty_m spans 0.3 m, y_bty_m spans 0.2 m): "
      "were the coordinates given in degrees or kilometres instead of metres?"}},
    {"OneNodeAxisIsAConstantBottom",
     [](auto& c) {
         c.bathymetry.x_bty_m = {0.0f};
         c.bathymetry.z_bty_m = {200.0f, 200.0f};
     },
     {}},
    {"ElevationsAsDepths",
     [](auto& c) {
         c.bathymetry.z_bty_m = {-100.0f, -100.0f, -300.0f, -300.0f};
         c.source.position[2] = 0.0f;
         c.receivers.z_rcvr_m = {0.0f};
     },
     {"bathymetry: 4 of 4 depths in z_bty_m are negative (above the sea surface, up to 300 m): "
      "land, or elevations (negative below sea level) given where kelp expects depths "
      "(positive down)?",
      "source: its depth 0 m lies below the bottom under it (-200 m, above the sea surface: on "
      "land), inside the seabed",
      "receivers: 4 of 4 lie below the bottom under them, inside the seabed"}},
    {"SourceOffBothGrids",
     [](auto& c) {
         c.source.position = {1500.0f, 0.0f, 50.0f};
     },
     {"source: (x, y) = (1500, 0) m lies outside the sound-speed grid (x -1000 to 1000, y "
      "-1000 to 1000 m) and the bathymetry grid (x -1000 to 1000, y -1000 to 1000 m); beyond "
      "a grid kelp holds its edge values",
      "receivers: 12 of 12 lie farther than max_range_m = 900 m from the source; rays stop "
      "there, so at most the edges of beams reach them"}},
    {"SourceOffTheSoundSpeedGridOnly",
     [](auto& c) {
         c.ssp.y_ssp_m = {100.0f, 1000.0f};
         c.receivers.y_rcvr_m = {400.0f};
     },
     {"source: (x, y) = (0, 0) m lies outside the sound-speed grid (x -1000 to 1000, y 100 to "
      "1000 m); beyond a grid kelp holds its edge values"}},
    {"FrequencyInKilohertz",
     [](auto& c) {
         c.source.freq_hz = {0.2f, 100.0f, 2.0e6f};
     },
     {"source: 2 of 3 frequencies lie outside 1 Hz to 1 MHz (they range from 0.2 to 2000000 "
      "Hz): were they given in kHz or MHz instead of Hz?"}},
    {"ElevationsInRadians",
     [](auto& c) {
         c.source.launch_elev_deg = {-0.5235988f, 0.0f, 0.5235988f};
         c.source.launch_azim_deg = {0.0f};
     },
     {"source: the launch angles look like radians (every elevation within +-1.5708, "
      "spanning -0.5235988 to 0.5235988, every azimuth within +-6.2832): kelp reads degrees, "
      "so this fan spans only 1.047 deg in elevation; multiply by 180/pi"}},
    {"ReceiversInTheSeabed",
     [](auto& c) {
         c.receivers.z_rcvr_m = {10.0f, 180.0f, 260.0f};
     },
     {"receivers: 6 of 12 lie below the bottom under them, inside the seabed"}},
    {"ArrayReceiversOffTheGrids",
     [](auto& c) {
         c.receivers.config_type = "array";
         c.receivers.layout = input::ReceiverLayout::Array;
         c.receivers.x_rcvr_m = {0.0f, 0.0f, 1200.0f};
         c.receivers.y_rcvr_m = {100.0f, -1100.0f, 0.0f};
         c.receivers.z_rcvr_m = {10.0f, 10.0f, 10.0f};
         c.beam.max_range_m = 1500.0f;
     },
     {"receivers: 2 of 3 lie outside the horizontal extent of the sound-speed or bathymetry "
      "grid, where kelp holds the grids' edge values"}},
    // Receivers exactly 500 m away are within a range of 500 m.
    {"ReceiversBeyondTheRange",
     [](auto& c) { c.beam.max_range_m = 500.0f; },
     {"receivers: 6 of 12 lie farther than max_range_m = 500 m from the source; rays stop "
      "there, so at most the edges of beams reach them"}},
};

class PlausibilityCase : public ::testing::TestWithParam<Case> {};

TEST_P(PlausibilityCase, GivesExactlyItsFindings) {
    input::SimulationConfig c = plausible();
    GetParam().change(c);
    EXPECT_EQ(check_plausibility(c), GetParam().findings);
}

INSTANTIATE_TEST_SUITE_P(Findings, PlausibilityCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct Fan {
    std::vector<float> elev, azim;
    bool radians;
};

// Radian fans users build (+-pi/2, +-20 deg, a full circle) against degree fans that are
// narrow in one direction or both but must not be taken for radians.
TEST(Plausibility, RadianRuleSeparatesRadianFansFromNarrowDegreeFans) {
    const Fan fans[] = {
        {{-1.5707964f, 0.0f, 1.5707964f}, {0.0f, 3.1415927f, 6.2831855f}, true},
        {{-0.34906584f, 0.34906584f}, {0.0f}, true},
        {{-0.15f, 0.15f}, {-3.1415927f, 0.0f}, true},
        {{0.0f}, {0.0f}, false},                            // a single ray
        {{-0.1f, 0.0f, 0.1f}, {0.0f}, false},               // a pencil fan, span 0.2 deg
        {{-30.0f, 30.0f}, {-0.5f, 0.0f, 0.5f}, false},      // a slice fan of 0.1 deg azimuths
        {{-1.0f, 0.0f, 1.0f}, {0.0f, 10.0f, 20.0f}, false}, // azimuths beyond 2 pi
        {{-1.6f, 0.0f, 1.6f}, {0.0f}, false},               // steeper than pi/2
        {{-1.5707965f, 1.5707965f}, {0.0f}, false},         // one float beyond pi/2
        {{-0.5f, 0.5f}, {0.0f, 6.2831860f}, false},         // one float beyond 2 pi
        {{}, {0.0f}, false},
    };
    for (const Fan& fan : fans) {
        EXPECT_EQ(launch_angles_look_like_radians(fan.elev, fan.azim), fan.radians)
            << "first elevation " << (fan.elev.empty() ? 0.0f : fan.elev.front());
    }
}

TEST(Plausibility, AGridTheRunCannotBuildFailsAsTheRunWould) {
    input::SimulationConfig c = plausible();
    c.ssp.c_m_s.pop_back();
    c.bathymetry.z_bty_m.pop_back();
    EXPECT_THROW(
        {
            try {
                check_plausibility(c);
            } catch (const FatalError& e) {
                EXPECT_STREQ(e.what(), "c_m_s does not match grid dimensions: "
                                       "ShapeError/OutOfBounds: out of bounds indexing");
                throw;
            }
        },
        FatalError);
}

TEST(Plausibility, RaggedArrayReceiversAreLeftToTheRun) {
    input::SimulationConfig c = plausible();
    c.receivers.layout = input::ReceiverLayout::Array;
    c.receivers.z_rcvr_m.push_back(5000.0f);
    EXPECT_TRUE(check_plausibility(c).empty());
}

} // namespace
} // namespace kelp::engine
