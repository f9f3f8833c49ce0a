#pragma once
// The configuration records of a simulation, their mapping from JSON text, and their
// validation. Units are in the member names: metres, seconds, m/s, g/cm^3, hertz, degrees.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelp::input {

// Sound speed on a regular (x, y, z) grid; c_m_s is flattened with z fastest, then y, then x.
struct SoundSpeed {
    std::vector<float> x_ssp_m;
    std::vector<float> y_ssp_m;
    std::vector<float> z_ssp_m;
    std::vector<float> c_m_s;
};

struct Rigid {};
struct Acoustic {
    float compressional_speed_m_s = 0.0f;
    float density_g_cm3 = 0.0f;
    std::optional<float> compressional_attenuation_db_per_wavelength;
};
struct Elastic {
    float compressional_speed_m_s = 0.0f;
    float shear_speed_m_s = 0.0f;
    float density_g_cm3 = 0.0f;
    std::optional<float> compressional_attenuation_db_per_wavelength;
    std::optional<float> shear_attenuation_db_per_wavelength;
};
// Tagged union on the JSON member "model": "rigid", "acoustic" or "elastic".
using BottomBoundaryModel = std::variant<Rigid, Acoustic, Elastic>;

// Bottom depth on a regular (x, y) grid; z_bty_m is flattened with y fastest.
struct Bathymetry {
    std::vector<float> x_bty_m;
    std::vector<float> y_bty_m;
    std::vector<float> z_bty_m;
    std::optional<float> water_density_g_cm3;
    BottomBoundaryModel bottom_model = Rigid{};
};

struct Source {
    std::array<float, 3> position{}; // x, y, depth (m)
    std::vector<float> freq_hz;
    std::vector<float> launch_elev_deg; // from the horizontal, positive down
    std::vector<float> launch_azim_deg; // from +y towards +x
};

// How the receivers are laid out: the regular grid of three axes, or a list of points.
enum class ReceiverLayout { Grid, Array };

struct Receivers {
    std::string config_type; // "grid" or "array"
    // Decided from config_type by validate (array: "array" in any ASCII case); every stage
    // after validation reads this, never the text.
    ReceiverLayout layout = ReceiverLayout::Grid;
    std::vector<float> x_rcvr_m;
    std::vector<float> y_rcvr_m;
    std::vector<float> z_rcvr_m;
};

enum class IntegrationMethod { Euler, Rk2 };

struct BeamSettings {
    float step_m = 0.0f;
    std::uint64_t max_steps = 0;
    float max_range_m = 0.0f;
    bool store_ray_paths = false;
    bool show_progress = false;
    bool atomic_progress_counter = false;
    IntegrationMethod integration_method = IntegrationMethod::Euler;
    // A beam ends at the first bottom reflection after which the product of the bottom
    // reflection coefficients met along it is weaker than this many dB at every frequency;
    // absent: never (dB, > 0).
    std::optional<float> max_bottom_loss_db = std::nullopt;
    // Arrivals kept per receiver in the arrivals table (at most kMaxArrivals); 0: no table.
    std::uint64_t max_arrivals = 0;
};

inline constexpr std::uint64_t kMaxArrivals = 65535;

struct SimulationConfig {
    SoundSpeed ssp;
    Bathymetry bathymetry;
    Source source;
    Receivers receivers;
    BeamSettings beam;
};

// Ordered dotted paths of the keys the parser skipped ("beam.foo", "source.3.bar").
using UnknownKeySink = std::vector<std::string>;

// Either a configuration or the first parse error, formatted "<message> at line L column C".
struct ParseResult {
    std::optional<SimulationConfig> config;
    std::string error;
};

// Maps UTF-8 JSON text onto a SimulationConfig. Never throws for any input bytes; unknown
// keys are appended to `sink` in document order (the caller discards them on error).
ParseResult parse_simulation_config(std::string_view json_text, UnknownKeySink& sink);

// Success carries the warnings (possibly none); failure the aggregated message
// "Invalid simulation config:\n  - ...". Negative depths are corrected in place either way.
struct ValidationResult {
    bool ok = false;
    std::vector<std::string> warnings;
    std::string error;
};

ValidationResult validate(SimulationConfig& config);

// The layout a config_type names: "array" in any ASCII case is a list of points, anything
// else the grid.
ReceiverLayout receiver_layout(std::string_view config_type);

// Shortest decimal text that reads back as the same float, positional, no ".0" (-5, -0.5).
std::string format_f32(float value);

} // namespace kelp::input
