#pragma once
// Bathymetry field: bottom depth on a horizontal grid (bilinear), the unit bottom normal, the
// bottom's acoustic model and the water density. Metres, depth positive down, g/cm^3.

#include "input/config.hpp"
#include "input/ndarray.hpp"
#include "input/vec3.hpp"

#include <cstdint>
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

// Immutable after init_bty. An axis may hold a single node: the bottom is then constant
// along it.
struct BTYfield {
    std::vector<float> x, y;
    Array2f z; // (nx, ny), y fastest
    BottomModel bottom_model;
    float water_density_g_cm3 = 1.0f;
};

// Cell indices; on a single-node axis the index is 0 and the cell is degenerate.
struct BTYCursor {
    std::uint32_t ix = 0, iy = 0;
};

// Throws FatalError on a length mismatch or an axis that is not strictly increasing.
BTYfield init_bty(const input::SimulationConfig& config);
BTYCursor init_bty_cursor(Vec2 p, const BTYfield& f);
void update_bty_cursor(Vec2 p, const BTYfield& f, BTYCursor& cur);
// Bilinear depth (m) at p, clamped to the grid; does not move the cursor.
float interpolate_bty_from_cursor(Vec2 p, const BTYfield& f, const BTYCursor& cur);
// Unit normal of the bilinear surface at p, pointing down into the bottom (z >= 0).
Vec3 bottom_normal_from_cursor(Vec2 p, const BTYfield& f, const BTYCursor& cur);

} // namespace kelp::bty
