// Value checks of a parsed configuration, and the in-place correction of negative depths.
#include "input/config.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

namespace kelp::input {

std::string format_f32(float value) {
    if (!std::isfinite(value))
        return std::isnan(value) ? "NaN" : (value < 0.0f ? "-inf" : "inf");
    // to_chars without a precision gives the shortest digit string that reads back as the same
    // float; the scientific form makes digits and exponent easy to lay out positionally.
    std::array<char, 32> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                   std::chars_format::scientific);
    const std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
    const bool negative = sci.front() == '-';
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (const char c : sci.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0)))
        if (c != '.') digits += c;
    int exponent = 0;
    const std::string_view exp_text = sci.substr(e_pos + 1);
    std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                    exp_text.data() + exp_text.size(), exponent);
    const int count = static_cast<int>(digits.size());
    const int point = exponent + 1; // digits before the decimal point
    std::string out = negative ? "-" : "";
    if (point <= 0)
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    else if (point >= count)
        out += digits + std::string(static_cast<std::size_t>(point - count), '0');
    else
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
               digits.substr(static_cast<std::size_t>(point));
    return out;
}

namespace {

// Depth is positive downwards; a negative one is read as the same depth written with the other
// sign convention, replaced by its magnitude and reported. -0 is not below zero.
void correct_depth(float& depth_m, std::string_view what, std::vector<std::string>& warnings) {
    if (!(depth_m < 0.0f)) return;
    const float corrected = std::fabs(depth_m);
    warnings.push_back(std::string(what) + " " + format_f32(depth_m) +
                       " is negative (positive down convention); correcting to " +
                       format_f32(corrected));
    depth_m = corrected;
}

void check_bottom_model(const BottomBoundaryModel& model, std::vector<std::string>& errors) {
    const std::string prefix = "bathymetry.bottom_model: ";
    if (const auto* acoustic = std::get_if<Acoustic>(&model)) {
        if (acoustic->compressional_speed_m_s <= 0.0f)
            errors.push_back(prefix + "acoustic compressional_speed_m_s must be positive");
        if (acoustic->density_g_cm3 <= 0.0f)
            errors.push_back(prefix + "acoustic density_g_cm3 must be positive");
        if (acoustic->compressional_attenuation_db_per_wavelength.value_or(0.0f) < 0.0f)
            errors.push_back(
                prefix + "acoustic compressional_attenuation_db_per_wavelength must be >= 0");
    } else if (const auto* elastic = std::get_if<Elastic>(&model)) {
        if (elastic->compressional_speed_m_s <= 0.0f)
            errors.push_back(prefix + "elastic compressional_speed_m_s must be positive");
        if (elastic->shear_speed_m_s <= 0.0f)
            errors.push_back(prefix + "elastic shear_speed_m_s must be positive");
        if (elastic->density_g_cm3 <= 0.0f)
            errors.push_back(prefix + "elastic density_g_cm3 must be positive");
        if (elastic->compressional_attenuation_db_per_wavelength.value_or(0.0f) < 0.0f)
            errors.push_back(
                prefix + "elastic compressional_attenuation_db_per_wavelength must be >= 0");
        if (elastic->shear_attenuation_db_per_wavelength.value_or(0.0f) < 0.0f)
            errors.push_back(prefix +
                             "elastic shear_attenuation_db_per_wavelength must be >= 0");
    }
}

} // namespace

ValidationResult validate(SimulationConfig& config) {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    const auto non_positive = [](float v) { return v <= 0.0f; };

    SoundSpeed& ssp = config.ssp;
    if (ssp.c_m_s.empty()) errors.emplace_back("ssp: c_m_s must not be empty");
    if (std::any_of(ssp.c_m_s.begin(), ssp.c_m_s.end(), non_positive))
        errors.emplace_back("ssp: all sound speeds must be positive");
    for (float& z : ssp.z_ssp_m)
        correct_depth(z, "ssp: z_ssp_m value", warnings);

    const Bathymetry& bathymetry = config.bathymetry;
    if (bathymetry.z_bty_m.empty())
        errors.emplace_back("bathymetry: z_bty_m must not be empty");
    if (bathymetry.water_density_g_cm3 && *bathymetry.water_density_g_cm3 <= 0.0f)
        errors.emplace_back("bathymetry: water_density_g_cm3 must be positive when provided");
    check_bottom_model(bathymetry.bottom_model, errors);

    correct_depth(config.source.position[2], "source: z position", warnings);
    if (std::any_of(config.source.launch_elev_deg.begin(), config.source.launch_elev_deg.end(),
                    [](float deg) { return std::fabs(deg) > 90.0f; }))
        errors.emplace_back("source: launch elevation angles must be in [-90, 90] deg");

    Receivers& receivers = config.receivers;
    if (receivers.config_type != "grid" && receivers.config_type != "array")
        errors.push_back("receivers: config_type must be \"grid\" or \"array\", got \"" +
                         receivers.config_type + "\"");
    receivers.layout = receiver_layout(receivers.config_type);
    for (float& z : receivers.z_rcvr_m)
        correct_depth(z, "receivers: z_rcvr_m value", warnings);

    const BeamSettings& beam = config.beam;
    if (beam.step_m <= 0.0f) errors.emplace_back("beam: step_m must be positive");
    if (beam.max_steps == 0) errors.emplace_back("beam: max_steps must be > 0");
    if (beam.max_range_m <= 0.0f) errors.emplace_back("beam: max_range_m must be positive");
    if (beam.max_bottom_loss_db &&
        !(std::isfinite(*beam.max_bottom_loss_db) && *beam.max_bottom_loss_db > 0.0f))
        errors.emplace_back(
            "beam: max_bottom_loss_db must be positive and finite when provided");
    if (beam.max_arrivals > kMaxArrivals)
        errors.emplace_back("beam: max_arrivals must be at most 65535");

    if (errors.empty()) return {true, std::move(warnings), {}};
    std::string message = "Invalid simulation config:";
    for (const std::string& line : errors)
        message += "\n  - " + line;
    return {false, {}, std::move(message)};
}

ReceiverLayout receiver_layout(std::string_view config_type) {
    constexpr std::string_view array = "array";
    if (config_type.size() != array.size()) return ReceiverLayout::Grid;
    for (std::size_t i = 0; i < array.size(); ++i) {
        const char c = config_type[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != array[i]) return ReceiverLayout::Grid;
    }
    return ReceiverLayout::Array;
}

} // namespace kelp::input
