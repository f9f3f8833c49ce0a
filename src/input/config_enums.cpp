// Enumerations: the bottom model, an internally tagged union whose tag may stand anywhere in
// its object, and the integration method, written as a name or as {"name": null}.
#include "input/config_mapping.hpp"

#include <algorithm>
#include <array>

namespace kelp::input::detail {
namespace {

enum BottomMember { kSpeed, kShear, kDensity, kSpeedAtten, kShearAtten };

constexpr std::array<std::string_view, 5> kBottomMemberNames = {
    "compressional_speed_m_s", "shear_speed_m_s", "density_g_cm3",
    "compressional_attenuation_db_per_wavelength", "shear_attenuation_db_per_wavelength"};

// Members of each variant in declaration order, the leading `required` ones without default.
struct VariantLayout {
    std::string_view name;
    std::size_t required;
    std::vector<int> members;
};

const VariantLayout& variant_layout(int variant) {
    static const std::array<VariantLayout, 3> kLayouts = {
        VariantLayout{"Rigid", 0, {}},
        VariantLayout{"Acoustic", 2, {kSpeed, kDensity, kSpeedAtten}},
        VariantLayout{"Elastic", 3, {kSpeed, kShear, kDensity, kSpeedAtten, kShearAtten}}};
    return kLayouts[static_cast<std::size_t>(variant)];
}

// Fills the chosen variant from the entries in document order, with the record rules for
// duplicates and missing members; entries of other variants are ignored without a report.
BottomBoundaryModel build_bottom_model(const BottomState& b, std::size_t close_at) {
    const VariantLayout& layout = variant_layout(b.variant);
    std::array<bool, kBottomMemberNames.size()> seen{};
    std::array<std::optional<float>, kBottomMemberNames.size()> values{};
    for (const BottomEntry& entry : b.entries) {
        const auto it = std::find(layout.members.begin(), layout.members.end(), entry.member);
        if (it == layout.members.end()) continue;
        const auto slot = static_cast<std::size_t>(entry.member);
        if (seen[slot])
            fail_at(entry.key_at,
                    "duplicate field `" + std::string(kBottomMemberNames[slot]) + "`");
        seen[slot] = true;
        if (!entry.type_error.empty()) fail_at(entry.value_at, entry.type_error);
        const auto position = static_cast<std::size_t>(it - layout.members.begin());
        if (position < layout.required && !entry.value)
            fail_at(entry.value_at, "invalid type: null, expected f32");
        values[slot] = entry.value;
    }
    for (std::size_t i = 0; i < layout.required; ++i) {
        const auto slot = static_cast<std::size_t>(layout.members[i]);
        if (!seen[slot])
            fail_at(close_at, "missing field `" + std::string(kBottomMemberNames[slot]) + "`");
    }
    switch (b.variant) {
    case 1:
        return Acoustic{.compressional_speed_m_s = *values[kSpeed],
                        .density_g_cm3 = *values[kDensity],
                        .compressional_attenuation_db_per_wavelength = values[kSpeedAtten]};
    case 2:
        return Elastic{.compressional_speed_m_s = *values[kSpeed],
                       .shear_speed_m_s = *values[kShear],
                       .density_g_cm3 = *values[kDensity],
                       .compressional_attenuation_db_per_wavelength = values[kSpeedAtten],
                       .shear_attenuation_db_per_wavelength = values[kShearAtten]};
    default:
        return Rigid{};
    }
}

IntegrationMethod integration_method_named(std::string_view name, std::size_t at) {
    if (name == "euler") return IntegrationMethod::Euler;
    if (name == "rk2") return IntegrationMethod::Rk2;
    fail_at(at, "unknown variant `" + std::string(name) + "`, expected `euler` or `rk2`");
}

} // namespace

void begin_bottom_model(MappingState& s, const JsonValue& v, BottomBoundaryModel* into) {
    if (v.kind != JsonKind::Object && v.kind != JsonKind::Array)
        fail_invalid_type(v, "internally tagged enum BottomBoundaryModel");
    s.bottom = {};
    push_frame(
        s,
        {v.kind == JsonKind::Object ? FrameKind::BottomObject : FrameKind::BottomArray, into});
}

void map_bottom_key(MappingState& s, Frame& f, std::string_view key, std::size_t at) {
    if (key == "model") {
        if (s.bottom.variant >= 0) fail_at(at, "duplicate field `model`");
        f.pending = {Target::BottomTag};
        return;
    }
    const auto it = std::find(kBottomMemberNames.begin(), kBottomMemberNames.end(), key);
    if (it == kBottomMemberNames.end()) {
        f.pending = {Target::Skip};
        return;
    }
    s.bottom.key_at = at;
    f.pending = {.target = Target::BottomMember,
                 .member = static_cast<int>(it - kBottomMemberNames.begin())};
}

// Array form: the tag, then the variant's members in declaration order.
Expect next_bottom_element(MappingState& s, Frame& f, const JsonValue& v) {
    if (s.bottom.variant < 0) return {Target::BottomTag};
    const VariantLayout& layout = variant_layout(s.bottom.variant);
    if (f.count == layout.members.size()) fail_at(v.at, "trailing characters");
    return {.target = Target::BottomMember, .member = layout.members[f.count++]};
}

bool bottom_array_is_full(const MappingState& s, const Frame& f) {
    return s.bottom.variant >= 0 && f.count == variant_layout(s.bottom.variant).members.size();
}

void read_bottom_tag(MappingState& s, const JsonValue& v) {
    if (v.kind != JsonKind::String) fail_invalid_type(v, "variant identifier");
    constexpr std::array<std::string_view, 3> kTags = {"rigid", "acoustic", "elastic"};
    const auto it = std::find(kTags.begin(), kTags.end(), v.text);
    if (it == kTags.end())
        fail_at(v.at, "unknown variant `" + std::string(v.text) +
                          "`, expected one of `rigid`, `acoustic`, `elastic`");
    s.bottom.variant = static_cast<int>(it - kTags.begin());
}

void read_bottom_member(MappingState& s, const JsonValue& v, int member) {
    BottomEntry entry{.member = member, .key_at = s.bottom.key_at, .value_at = v.at};
    if (v.kind == JsonKind::Number) {
        entry.value = number_to_f32(v.number);
    } else if (v.kind != JsonKind::Null) {
        entry.type_error = "invalid type: " + describe_value(v) + ", expected f32";
        if (v.kind == JsonKind::Object || v.kind == JsonKind::Array)
            push_frame(s, {FrameKind::Skip});
    }
    s.bottom.entries.push_back(std::move(entry));
}

void finish_bottom_model(MappingState& s, const Frame& f, std::size_t close_at) {
    if (s.bottom.variant < 0) fail_at(close_at, "missing field `model`");
    const VariantLayout& layout = variant_layout(s.bottom.variant);
    if (f.kind == FrameKind::BottomArray && f.count < layout.required)
        fail_at(close_at, "invalid length " + std::to_string(f.count) + ", expected struct " +
                              std::string(layout.name) + " with " +
                              std::to_string(layout.members.size()) + " elements");
    *static_cast<BottomBoundaryModel*>(f.into) = build_bottom_model(s.bottom, close_at);
}

void begin_integration_method(MappingState& s, const JsonValue& v, IntegrationMethod* into) {
    if (v.kind == JsonKind::String) {
        *into = integration_method_named(v.text, v.at);
        return;
    }
    if (v.kind != JsonKind::Object) fail_invalid_type(v, "enum IntegrationMethod");
    push_frame(s, {FrameKind::MethodObject, into});
}

void map_method_key(Frame& f, std::string_view key, std::size_t at) {
    if (f.count > 0) fail_at(at, "trailing characters");
    *static_cast<IntegrationMethod*>(f.into) = integration_method_named(key, at);
    f.count = 1;
    f.pending = {Target::MethodUnit};
}

void finish_integration_method(const Frame& f, std::size_t close_at) {
    if (f.count == 0) fail_at(close_at, "invalid length 0, expected enum IntegrationMethod");
}

} // namespace kelp::input::detail
