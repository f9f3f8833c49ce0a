#include "engine/plausibility.hpp"

#include "bty/bty.hpp"
#include "core/constants.hpp"
#include "core/vec3.hpp"
#include "ssp/ssp.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace kelp::engine {
namespace {

// Sea water lies between about 1440 and 1560 m/s; the bounds leave room for brines, fresh
// cold water and hypothetical cases, and still catch km/s (1.5) and temperatures (2 to 30).
constexpr float kMinSpeed_m_s = 1300.0f;
constexpr float kMaxSpeed_m_s = 1800.0f;
// Below 1 Hz a 1500 m/s wavelength exceeds 1.5 km (kHz given as Hz); above 1 MHz it is under
// 1.5 mm (Hz given as mHz or a sampling rate).
constexpr float kMinFreq_hz = 1.0f;
constexpr float kMaxFreq_hz = 1.0e6f;
// No sea area is narrower than this; degrees (0.3 wide for a 30 km tile) and kilometres are.
constexpr float kMinExtent_m = 10.0f;

// A computed value to four significant digits, written as the configuration values are.
std::string rounded(float value) {
    if (value == 0.0f || !std::isfinite(value)) return input::format_f32(value);
    const double v = static_cast<double>(value);
    const double scale = std::pow(10.0, 3.0 - std::floor(std::log10(std::fabs(v))));
    return input::format_f32(static_cast<float>(std::round(v * scale) / scale));
}

std::string count_of(std::size_t n, std::size_t m) {
    return std::to_string(n) + " of " + std::to_string(m);
}

// A point lies outside an axis's extent when it is beyond its first or last node; a one-node
// bathymetry axis is a bottom constant along it and has no edge.
bool outside_axis(std::span<const float> axis, float p) {
    return axis.size() > 1 && (p < axis.front() || p > axis.back());
}

bool outside_horizontal(const ssp::SSPFields& ssp, const bty::BTYfield& bty, Vec2 p) {
    return outside_axis(ssp.x, p.x) || outside_axis(ssp.y, p.y) || outside_axis(bty.x, p.x) ||
           outside_axis(bty.y, p.y);
}

std::string extent_text(std::span<const float> x, std::span<const float> y) {
    const auto axis = [](std::span<const float> g) {
        return g.size() > 1
                   ? input::format_f32(g.front()) + " to " + input::format_f32(g.back())
                   : "unbounded";
    };
    return "x " + axis(x) + ", y " + axis(y) + " m";
}

void check_sound_speeds(const ssp::SSPFields& ssp, std::vector<std::string>& out) {
    std::size_t n = 0, m = 0;
    float lo = INFINITY, hi = -INFINITY;
    for (std::size_t q = 0; q < ssp.nodes.size(); q += ssp::kFieldsPerNode, ++m) {
        const float c = ssp.nodes[q];
        lo = std::min(lo, c);
        hi = std::max(hi, c);
        if (c < kMinSpeed_m_s || c > kMaxSpeed_m_s) ++n;
    }
    if (n == 0) return;
    out.push_back("ssp: " + count_of(n, m) + " sound speeds lie outside 1300-1800 m/s (they " +
                  "range from " + input::format_f32(lo) + " to " + input::format_f32(hi) +
                  " m/s): were they given in km/s, or are they temperatures?");
}

void check_grid_extent(const ssp::SSPFields& ssp, const bty::BTYfield& bty,
                       std::vector<std::string>& out) {
    std::string narrow;
    const auto check = [&](std::span<const float> g, const char* name) {
        if (g.size() < 2 || !(g.back() - g.front() < kMinExtent_m)) return;
        if (!narrow.empty()) narrow += ", ";
        narrow += std::string(name) + " spans " + rounded(g.back() - g.front()) + " m";
    };
    check(ssp.x, "x_ssp_m");
    check(ssp.y, "y_ssp_m");
    check(bty.x, "x_bty_m");
    check(bty.y, "y_bty_m");
    if (narrow.empty()) return;
    out.push_back("grids: a horizontal grid is under 10 m wide (" + narrow +
                  "): were the coordinates given in degrees or kilometres instead of metres?");
}

void check_negative_depths(const bty::BTYfield& bty, std::vector<std::string>& out) {
    const std::vector<float>& z = bty.z.data;
    const std::size_t n = static_cast<std::size_t>(
        std::count_if(z.begin(), z.end(), [](float d) { return d < 0.0f; }));
    if (n == 0) return;
    const float lowest = *std::min_element(z.begin(), z.end());
    out.push_back("bathymetry: " + count_of(n, z.size()) +
                  " depths in z_bty_m are negative (above the sea surface, up to " +
                  input::format_f32(-lowest) + " m): land, or elevations (negative below sea " +
                  "level) given where kelp expects depths (positive down)?");
}

void check_source(const input::SimulationConfig& config, const ssp::SSPFields& ssp,
                  const bty::BTYfield& bty, std::vector<std::string>& out) {
    const auto& pos = config.source.position;
    const Vec2 p{pos[0], pos[1]};
    const bty::BTYCursor cur = bty::init_bty_cursor(p, bty);
    const float bottom = bty::interpolate_bty_from_cursor(p, bty, cur);
    if (pos[2] > bottom) {
        out.push_back("source: its depth " + input::format_f32(pos[2]) +
                      " m lies below the bottom under it (" + rounded(bottom) + " m" +
                      (bottom < 0.0f ? ", above the sea surface: on land" : "") +
                      "), inside the seabed");
    }
    std::string grids;
    if (outside_axis(ssp.x, p.x) || outside_axis(ssp.y, p.y))
        grids = "the sound-speed grid (" + extent_text(ssp.x, ssp.y) + ")";
    if (outside_axis(bty.x, p.x) || outside_axis(bty.y, p.y))
        grids += (grids.empty() ? "" : " and ") + std::string("the bathymetry grid (") +
                 extent_text(bty.x, bty.y) + ")";
    if (!grids.empty()) {
        out.push_back("source: (x, y) = (" + input::format_f32(p.x) + ", " +
                      input::format_f32(p.y) + ") m lies outside " + grids +
                      "; beyond a grid kelp holds its edge values");
    }
}

void check_frequencies(const std::vector<float>& freq_hz, std::vector<std::string>& out) {
    std::size_t n = 0;
    for (const float f : freq_hz)
        if (f < kMinFreq_hz || f > kMaxFreq_hz) ++n;
    if (n == 0) return;
    const auto [lo, hi] = std::minmax_element(freq_hz.begin(), freq_hz.end());
    out.push_back("source: " + count_of(n, freq_hz.size()) +
                  " frequencies lie outside 1 Hz to 1 MHz (they range from " +
                  input::format_f32(*lo) + " to " + input::format_f32(*hi) +
                  " Hz): were they given in kHz or MHz instead of Hz?");
}

void check_launch_angles(const input::Source& source, std::vector<std::string>& out) {
    if (!launch_angles_look_like_radians(source.launch_elev_deg, source.launch_azim_deg))
        return;
    const auto [lo, hi] =
        std::minmax_element(source.launch_elev_deg.begin(), source.launch_elev_deg.end());
    out.push_back("source: the launch angles look like radians (every elevation within "
                  "+-1.5708, spanning " +
                  input::format_f32(*lo) + " to " + input::format_f32(*hi) +
                  ", every azimuth within +-6.2832): kelp reads degrees, so this fan spans "
                  "only " +
                  rounded(*hi - *lo) + " deg in elevation; multiply by 180/pi");
}

void check_receivers(const input::SimulationConfig& config, const ssp::SSPFields& ssp,
                     const bty::BTYfield& bty, std::vector<std::string>& out) {
    const input::Receivers& rc = config.receivers;
    const std::vector<float>& xs = rc.x_rcvr_m;
    const std::vector<float>& ys = rc.y_rcvr_m;
    const std::vector<float>& zs = rc.z_rcvr_m;
    const bool grid = rc.layout == input::ReceiverLayout::Grid;
    if (!grid && (ys.size() != xs.size() || zs.size() != xs.size())) return;

    const float sx = config.source.position[0];
    const float sy = config.source.position[1];
    // Rays end once their horizontal distance from the source reaches max_range_m.
    const float range2 = config.beam.max_range_m * config.beam.max_range_m;
    std::size_t total = 0, below = 0, outside = 0, beyond = 0;
    bty::BTYCursor cur{};
    // One horizontal position and the depths kelp places there: a grid column, or one point.
    const auto visit = [&](float x, float y, std::span<const float> depths) {
        const Vec2 p{x, y};
        bty::update_bty_cursor(p, bty, cur);
        const float bottom = bty::interpolate_bty_from_cursor(p, bty, cur);
        const std::size_t k = depths.size();
        total += k;
        below += static_cast<std::size_t>(
            std::count_if(depths.begin(), depths.end(), [&](float z) { return z > bottom; }));
        if (outside_horizontal(ssp, bty, p)) outside += k;
        const float dx = x - sx, dy = y - sy;
        if (dx * dx + dy * dy > range2) beyond += k;
    };
    if (grid) {
        for (const float x : xs)
            for (const float y : ys)
                visit(x, y, zs);
    } else {
        for (std::size_t i = 0; i < xs.size(); ++i)
            visit(xs[i], ys[i], std::span<const float>(&zs[i], 1));
    }

    if (below > 0)
        out.push_back("receivers: " + count_of(below, total) +
                      " lie below the bottom under them, inside the seabed");
    if (outside > 0)
        out.push_back("receivers: " + count_of(outside, total) +
                      " lie outside the horizontal extent of the sound-speed or bathymetry "
                      "grid, where kelp holds the grids' edge values");
    if (beyond > 0)
        out.push_back(
            "receivers: " + count_of(beyond, total) +
            " lie farther than max_range_m = " + input::format_f32(config.beam.max_range_m) +
            " m from the source; rays stop there, so at most the edges of beams "
            "reach them");
}

} // namespace

bool launch_angles_look_like_radians(const std::vector<float>& elev_deg,
                                     const std::vector<float>& azim_deg) {
    if (elev_deg.empty()) return false;
    const auto [lo, hi] = std::minmax_element(elev_deg.begin(), elev_deg.end());
    // kHalfPi and kTwoPi are the float values of pi/2 and 2 pi that numpy.radians(90) and
    // numpy.radians(360) give, so fans built up to them still count.
    const bool elev_fits = -*lo <= kHalfPi && *hi <= kHalfPi;
    const bool azim_fits = std::all_of(azim_deg.begin(), azim_deg.end(),
                                       [](float a) { return std::fabs(a) <= kTwoPi; });
    return elev_fits && *hi - *lo >= kRadianFanMinSpan && azim_fits;
}

std::vector<std::string> check_plausibility(const input::SimulationConfig& config) {
    // The run builds the sound speed first; a configuration it cannot build fails here alike.
    const ssp::SSPFields ssp = ssp::init_ssp(config);
    const bty::BTYfield bty = bty::init_bty(config);
    std::vector<std::string> out;
    check_sound_speeds(ssp, out);
    check_grid_extent(ssp, bty, out);
    check_negative_depths(bty, out);
    check_source(config, ssp, bty, out);
    check_frequencies(config.source.freq_hz, out);
    check_launch_angles(config.source, out);
    check_receivers(config, ssp, bty, out);
    return out;
}

} // namespace kelp::engine
