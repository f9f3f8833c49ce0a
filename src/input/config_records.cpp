// Records: the member tables of the configuration records, their object and array forms,
// and the dotted paths of the keys that name no member.
#include "input/config_mapping.hpp"

#include <algorithm>
#include <array>

namespace kelp::input::detail {
namespace {

// A member is read from the JSON key that equals its name.
// clang-format off
#define KELP_MEMBER(Record, field, target, ...)                                               \
    Member{#field, Target::target,                                                            \
           [](void* record) -> void* { return &static_cast<Record*>(record)->field; },        \
           __VA_ARGS__}
// clang-format on

constexpr Member kSoundSpeedMembers[] = {
    KELP_MEMBER(SoundSpeed, x_ssp_m, F32List), KELP_MEMBER(SoundSpeed, y_ssp_m, F32List),
    KELP_MEMBER(SoundSpeed, z_ssp_m, F32List), KELP_MEMBER(SoundSpeed, c_m_s, F32List)};
constexpr RecordSpec kSoundSpeedSpec{"SoundSpeed", 4, kSoundSpeedMembers};

constexpr Member kBathymetryMembers[] = {
    KELP_MEMBER(Bathymetry, x_bty_m, F32List), KELP_MEMBER(Bathymetry, y_bty_m, F32List),
    KELP_MEMBER(Bathymetry, z_bty_m, F32List),
    KELP_MEMBER(Bathymetry, water_density_g_cm3, OptionalF32),
    KELP_MEMBER(Bathymetry, bottom_model, BottomModel)};
constexpr RecordSpec kBathymetrySpec{"Bathymetry", 3, kBathymetryMembers};

constexpr Member kSourceMembers[] = {KELP_MEMBER(Source, position, Position),
                                     KELP_MEMBER(Source, freq_hz, F32List),
                                     KELP_MEMBER(Source, launch_elev_deg, F32List),
                                     KELP_MEMBER(Source, launch_azim_deg, F32List)};
constexpr RecordSpec kSourceSpec{"Source", 4, kSourceMembers};

constexpr Member kReceiversMembers[] = {
    KELP_MEMBER(Receivers, config_type, String), KELP_MEMBER(Receivers, x_rcvr_m, F32List),
    KELP_MEMBER(Receivers, y_rcvr_m, F32List), KELP_MEMBER(Receivers, z_rcvr_m, F32List)};
constexpr RecordSpec kReceiversSpec{"Receivers", 4, kReceiversMembers};

constexpr Member kBeamMembers[] = {KELP_MEMBER(BeamSettings, step_m, F32),
                                   KELP_MEMBER(BeamSettings, max_steps, Usize),
                                   KELP_MEMBER(BeamSettings, max_range_m, F32),
                                   KELP_MEMBER(BeamSettings, store_ray_paths, Bool),
                                   KELP_MEMBER(BeamSettings, show_progress, Bool),
                                   KELP_MEMBER(BeamSettings, atomic_progress_counter, Bool),
                                   KELP_MEMBER(BeamSettings, integration_method, Method),
                                   KELP_MEMBER(BeamSettings, max_bottom_loss_db, OptionalF32),
                                   KELP_MEMBER(BeamSettings, max_arrivals, Usize)};
constexpr RecordSpec kBeamSpec{"BeamSettings", 3, kBeamMembers};

constexpr Member kConfigMembers[] = {
    KELP_MEMBER(SimulationConfig, ssp, Record, &kSoundSpeedSpec),
    KELP_MEMBER(SimulationConfig, bathymetry, Record, &kBathymetrySpec),
    KELP_MEMBER(SimulationConfig, source, Record, &kSourceSpec),
    KELP_MEMBER(SimulationConfig, receivers, Record, &kReceiversSpec),
    KELP_MEMBER(SimulationConfig, beam, Record, &kBeamSpec)};
constexpr RecordSpec kConfigSpec{"SimulationConfig", 5, kConfigMembers};

#undef KELP_MEMBER

Expect member_of(const Frame& f, std::size_t index) {
    const Member& m = f.layout->members[index];
    return {m.target, m.locate(f.into), m.layout};
}

// Where the next value goes, by the innermost open container; counts array elements.
Expect next_expect(MappingState& s, const JsonValue& v) {
    if (s.frames.empty()) {
        s.step.clear();
        return {Target::Record, &s.config, &kConfigSpec};
    }
    Frame& f = s.frames.back();
    switch (f.kind) {
    case FrameKind::RecordArray:
        if (f.count == f.layout->members.size()) fail_at(v.at, "trailing characters");
        s.step = std::to_string(f.count);
        return member_of(f, f.count++);
    case FrameKind::F32List:
        return {Target::F32Element, f.into};
    case FrameKind::Position: {
        auto& position = *static_cast<std::array<float, 3>*>(f.into);
        if (f.count == position.size()) fail_at(v.at, "trailing characters");
        return {Target::F32, &position[f.count++]};
    }
    case FrameKind::BottomArray:
        return next_bottom_element(s, f, v);
    case FrameKind::Skip:
        return {Target::Skip};
    default:
        return f.pending;
    }
}

void begin_record(MappingState& s, const JsonValue& v, void* into, const RecordSpec& layout) {
    if (v.kind != JsonKind::Object && v.kind != JsonKind::Array)
        fail_invalid_type(v, "struct " + std::string(layout.name));
    const std::size_t path_size = s.path.size();
    if (!s.step.empty()) {
        if (!s.path.empty()) s.path += '.';
        s.path += s.step;
    }
    s.frames.push_back(
        {.kind = v.kind == JsonKind::Object ? FrameKind::RecordObject : FrameKind::RecordArray,
         .into = into,
         .layout = &layout,
         .path_size = path_size});
}

void require_array(const JsonValue& v, std::string_view expected) {
    if (v.kind != JsonKind::Array) fail_invalid_type(v, expected);
}

} // namespace

void push_frame(MappingState& s, Frame frame) {
    frame.path_size = s.path.size();
    s.frames.push_back(frame);
}

bool array_is_full(const MappingState& s) {
    if (s.frames.empty()) return false;
    const Frame& f = s.frames.back();
    switch (f.kind) {
    case FrameKind::RecordArray:
        return f.count == f.layout->members.size();
    case FrameKind::Position:
        return f.count == 3;
    case FrameKind::BottomArray:
        return bottom_array_is_full(s, f);
    default:
        return false;
    }
}

void map_value(MappingState& s, const JsonValue& v) {
    const Expect e = next_expect(s, v);
    const bool container = v.kind == JsonKind::Object || v.kind == JsonKind::Array;
    switch (e.target) {
    case Target::Skip:
        if (container) push_frame(s, {FrameKind::Skip});
        return;
    case Target::F32:
        *static_cast<float*>(e.into) = read_f32(v);
        return;
    case Target::F32Element:
        static_cast<std::vector<float>*>(e.into)->push_back(read_f32(v));
        return;
    case Target::OptionalF32: {
        auto& out = *static_cast<std::optional<float>*>(e.into);
        out = v.kind == JsonKind::Null ? std::nullopt : std::optional<float>(read_f32(v));
        return;
    }
    case Target::Usize:
        *static_cast<std::uint64_t*>(e.into) = read_usize(v);
        return;
    case Target::Bool:
        *static_cast<bool*>(e.into) = read_bool(v);
        return;
    case Target::String:
        *static_cast<std::string*>(e.into) = read_string(v);
        return;
    case Target::F32List:
        require_array(v, "a sequence");
        push_frame(s, {FrameKind::F32List, e.into});
        return;
    case Target::Position:
        require_array(v, "an array of length 3");
        push_frame(s, {FrameKind::Position, e.into});
        return;
    case Target::Record:
        begin_record(s, v, e.into, *e.layout);
        return;
    case Target::BottomModel:
        begin_bottom_model(s, v, static_cast<BottomBoundaryModel*>(e.into));
        return;
    case Target::BottomTag:
        read_bottom_tag(s, v);
        return;
    case Target::BottomMember:
        read_bottom_member(s, v, e.member);
        return;
    case Target::Method:
        begin_integration_method(s, v, static_cast<IntegrationMethod*>(e.into));
        return;
    case Target::MethodUnit:
        if (v.kind != JsonKind::Null) fail_invalid_type(v, "unit");
        return;
    }
}

void map_key(MappingState& s, std::string_view key, std::size_t at) {
    Frame& f = s.frames.back();
    switch (f.kind) {
    case FrameKind::RecordObject: {
        const auto members = f.layout->members;
        const auto it = std::find_if(members.begin(), members.end(),
                                     [&](const Member& m) { return m.name == key; });
        if (it == members.end()) {
            // Skipped whole, and reported so that the caller can warn about it.
            s.sink->push_back(s.path.empty() ? std::string(key)
                                             : s.path + "." + std::string(key));
            f.pending = {Target::Skip};
            return;
        }
        const auto index = static_cast<std::size_t>(it - members.begin());
        const std::uint32_t bit = 1u << index;
        if (f.seen & bit) fail_at(at, "duplicate field `" + std::string(key) + "`");
        f.seen |= bit;
        f.pending = member_of(f, index);
        s.step.assign(key);
        return;
    }
    case FrameKind::BottomObject:
        map_bottom_key(s, f, key, at);
        return;
    case FrameKind::MethodObject:
        map_method_key(f, key, at);
        return;
    default:
        f.pending = {Target::Skip};
        return;
    }
}

void map_close(MappingState& s, std::size_t at) {
    const Frame& f = s.frames.back();
    switch (f.kind) {
    case FrameKind::RecordObject:
        for (std::size_t i = 0; i < f.layout->required; ++i)
            if (!(f.seen & (1u << i)))
                fail_at(at, "missing field `" + std::string(f.layout->members[i].name) + "`");
        break;
    case FrameKind::RecordArray:
        if (f.count < f.layout->required)
            fail_at(at, "invalid length " + std::to_string(f.count) + ", expected struct " +
                            std::string(f.layout->name) + " with " +
                            std::to_string(f.layout->members.size()) + " elements");
        break;
    case FrameKind::Position:
        if (f.count < 3)
            fail_at(at, "invalid length " + std::to_string(f.count) +
                            ", expected an array of length 3");
        break;
    case FrameKind::BottomObject:
    case FrameKind::BottomArray:
        finish_bottom_model(s, f, at);
        break;
    case FrameKind::MethodObject:
        finish_integration_method(f, at);
        break;
    default:
        break;
    }
    s.path.resize(f.path_size);
    s.frames.pop_back();
}

} // namespace kelp::input::detail
