#include "bty/bty.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <type_traits>

namespace kelp::bty {
namespace {

void require_strictly_increasing(std::span<const float> g, const char* name) {
    if (g.empty()) fail(std::string(name) + " must hold at least one node");
    for (std::size_t i = 1; i < g.size(); ++i) {
        // Written negated so that a NaN node fails too.
        if (!(g[i] > g[i - 1])) fail(std::string(name) + " must be strictly increasing");
    }
}

BottomModel take_bottom_model(const input::BottomBoundaryModel& model) {
    return std::visit(
        [](const auto& m) -> BottomModel {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, input::Rigid>) {
                return RigidBottom{};
            } else if constexpr (std::is_same_v<M, input::Acoustic>) {
                return AcousticBottom{
                    m.compressional_speed_m_s, m.density_g_cm3,
                    m.compressional_attenuation_db_per_wavelength.value_or(0.0f)};
            } else {
                return ElasticBottom{
                    m.compressional_speed_m_s, m.shear_speed_m_s, m.density_g_cm3,
                    m.compressional_attenuation_db_per_wavelength.value_or(0.0f),
                    m.shear_attenuation_db_per_wavelength.value_or(0.0f)};
            }
        },
        model);
}

} // namespace

BTYfield init_bty(const input::SimulationConfig& config) {
    const input::Bathymetry& b = config.bathymetry;
    const std::size_t nx = b.x_bty_m.size();
    const std::size_t ny = b.y_bty_m.size();
    const std::size_t len = b.z_bty_m.size();
    std::size_t nodes = 0;
    const bool overflow = __builtin_mul_overflow(nx, ny, &nodes);
    if (overflow || len != nodes) {
        const bool too_short = overflow || len < nodes;
        fail("z_bty_m does not match grid dimensions: nx = " + std::to_string(nx) +
             ", ny = " + std::to_string(ny) + ", bty_len = " + std::to_string(len) +
             (too_short ? ": ShapeError/OutOfBounds: out of bounds indexing"
                        : ": ShapeError/IncompatibleShape: incompatible shapes"));
    }
    require_strictly_increasing(b.x_bty_m, "x_bty_m");
    require_strictly_increasing(b.y_bty_m, "y_bty_m");

    BTYfield f;
    f.z.shape = {nx, ny};
    f.z.data = b.z_bty_m;
    f.bottom_model = take_bottom_model(b.bottom_model);
    f.water_density_g_cm3 = b.water_density_g_cm3.value_or(1.0f);
    f.x = b.x_bty_m;
    f.y = b.y_bty_m;
    return f;
}

BTYCursor init_bty_cursor(Vec2 p, const BTYfield& f) {
    return {grid::search_cell(f.x, p.x, "x"), grid::search_cell(f.y, p.y, "y")};
}

} // namespace kelp::bty
