#pragma once
// Mapping of JSON values onto the configuration records, one tokenizer event at a time.
// The tokenizer (config_parse.cpp) hands over each value as it completes, or a container as
// it opens, with the byte offset it starts at. The mapping keeps a stack with one frame per
// open container and stops with ParseFailure at the first value that does not fit.
#include "input/config.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelp::input::detail {

// A container opened deeper than this is refused; the top-level value is level 1.
inline constexpr std::size_t kMaxNesting = 128;

// The first error of a parse and the byte offset it was detected at.
struct ParseFailure {
    std::string message;
    std::size_t offset;
};

[[noreturn]] void fail_at(std::size_t offset, std::string message);

// A number as written: integers that fit 64 bits stay integers; "-0" and every number with
// a fraction or exponent is a double.
struct JsonNumber {
    enum class Kind { Signed, Unsigned, Float } kind = Kind::Float;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0.0;
};

// Extent of the number at offset `at` of `text` by the JSON grammar.
struct NumberToken {
    std::size_t end = 0; // offset just past it
    int digits = 0;
    bool integral = true;
    bool exponent = false;
};
NumberToken measure_number(std::string_view text, std::size_t at);

// The value of a number token, converted exactly from its text: integers that fit 64 bits
// as integers, everything else as the nearest double. Fails when the magnitude exceeds the
// double range; smaller magnitudes than the double range round to zero.
JsonNumber read_number(std::string_view token, std::size_t offset);
// Nearest f32, with magnitudes beyond the f32 range going to infinity.
float number_to_f32(const JsonNumber& n);
// Length of the number at the start of `text` by the JSON grammar, followed by a delimiter
// or the end of the text; 0 when there is no such number.
std::size_t json_number_length(std::string_view text);

enum class JsonKind { Null, Bool, Number, String, Object, Array };

// One value as the tokenizer delivers it: a scalar with its content, or an opening bracket.
struct JsonValue {
    JsonKind kind = JsonKind::Null;
    std::size_t at = 0; // offset of its first byte
    bool boolean = false;
    JsonNumber number{};
    std::string_view text{}; // unescaped content of a string
};

// "integer `5`", "string \"x\"", "sequence", ...: the value found, for "invalid type" messages.
std::string describe_value(const JsonValue& v);
std::string describe_number(const JsonNumber& n);
[[noreturn]] void fail_invalid_type(const JsonValue& v, std::string_view expected);

float read_f32(const JsonValue& v);
std::uint64_t read_usize(const JsonValue& v);
bool read_bool(const JsonValue& v);
std::string read_string(const JsonValue& v);

// What the next value is read into.
enum class Target {
    Skip,
    F32,
    F32Element,
    OptionalF32,
    Usize,
    Bool,
    String,
    F32List,
    Position,
    Record,
    BottomModel,
    BottomTag,
    BottomMember,
    Method,
    MethodUnit,
};

struct RecordSpec;

struct Expect {
    Target target = Target::Skip;
    void* into = nullptr;
    const RecordSpec* layout = nullptr;
    int member = 0; // which bottom-model member, for Target::BottomMember
};

struct Member {
    std::string_view name;
    Target target;
    void* (*locate)(void* record);      // where in the record the member is read into
    const RecordSpec* layout = nullptr; // a nested record's own members
};

// A record's members in declaration order, the leading `required` ones without default.
struct RecordSpec {
    std::string_view name;
    std::size_t required;
    std::span<const Member> members;
};

enum class FrameKind {
    RecordObject,
    RecordArray,
    F32List,
    Position,
    Skip,
    BottomObject,
    BottomArray,
    MethodObject,
};

// One open container.
struct Frame {
    FrameKind kind = FrameKind::Skip;
    void* into = nullptr;
    const RecordSpec* layout = nullptr;
    std::size_t count = 0;  // elements (arrays) or keys (integration method) so far
    std::uint32_t seen = 0; // members given, bit per member (records)
    Expect pending{};       // where the value after the current key goes (objects)
    std::size_t path_size = 0;
};

// One member of a bottom-model object as read before the tag is known. Whether it is an
// error depends on the variant, so a failure is kept rather than raised.
struct BottomEntry {
    int member = 0;
    std::size_t key_at = 0;
    std::size_t value_at = 0;
    std::optional<float> value{};
    std::string type_error{};
};

struct BottomState {
    int variant = -1; // index into rigid, acoustic, elastic once the tag is read
    std::size_t key_at = 0;
    std::vector<BottomEntry> entries;
};

struct MappingState {
    SimulationConfig config{};
    UnknownKeySink* sink = nullptr;
    std::vector<Frame> frames;
    std::string path; // dotted path of the innermost open record
    std::string step; // path step of the value about to be read
    BottomState bottom;
};

// Events of the tokenizer, in document order.
void map_value(MappingState& s, const JsonValue& v);
void map_key(MappingState& s, std::string_view key, std::size_t at);
void map_close(MappingState& s, std::size_t at);

void push_frame(MappingState& s, Frame frame);
// True when the innermost container is an array of fixed length holding all its elements.
bool array_is_full(const MappingState& s);

// The enumerations (config_enums.cpp).
void begin_bottom_model(MappingState& s, const JsonValue& v, BottomBoundaryModel* into);
void map_bottom_key(MappingState& s, Frame& f, std::string_view key, std::size_t at);
Expect next_bottom_element(MappingState& s, Frame& f, const JsonValue& v);
bool bottom_array_is_full(const MappingState& s, const Frame& f);
void read_bottom_tag(MappingState& s, const JsonValue& v);
void read_bottom_member(MappingState& s, const JsonValue& v, int member);
void finish_bottom_model(MappingState& s, const Frame& f, std::size_t close_at);

void begin_integration_method(MappingState& s, const JsonValue& v, IntegrationMethod* into);
void map_method_key(Frame& f, std::string_view key, std::size_t at);
void finish_integration_method(const Frame& f, std::size_t close_at);

} // namespace kelp::input::detail
