// JSON text -> SimulationConfig through simdjson's On-Demand API.
//
// On-Demand walks the document once, front to back, and only validates what it is asked to
// read. To hold every input to the same standard a full parser would, every value is read
// explicitly: known members by their typed readers, unknown ones by `skip_value`, which
// descends into containers (enforcing the nesting limit) and parses every scalar. Errors end
// parsing through a private exception caught at the entry point, where the byte offset of the
// failure becomes "line L column C".
#include "input/config.hpp"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace kelp::input {
namespace {

namespace od = simdjson::ondemand;
using simdjson::error_code;

// The top-level value is level 1; a container deeper than this is refused.
constexpr int kMaxNesting = 128;

struct ParseFailure {
    std::string message;
    const char* where; // byte the error was detected at, inside the parsed buffer
};

// simdjson refused the text at `where`; the message is worked out from the text afterwards.
struct TokenizerFailure {
    error_code code;
    const char* where;
};

struct ParseContext {
    const char* begin;
    const char* end;
    od::document* doc;
    UnknownKeySink* sink;
    std::string path; // dotted path of the value being read
};

// Appends one step to the dotted path for the lifetime of the scope.
struct PathScope {
    PathScope(ParseContext& ctx, std::string_view step) : ctx(ctx), saved(ctx.path.size()) {
        if (!ctx.path.empty()) ctx.path += '.';
        ctx.path += step;
    }
    ~PathScope() { ctx.path.resize(saved); }
    PathScope(const PathScope&) = delete;
    PathScope& operator=(const PathScope&) = delete;
    ParseContext& ctx;
    std::size_t saved;
};

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_delimiter(char c) {
    return is_json_space(c) || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '"';
}

[[noreturn]] void fail_at(const char* where, std::string message) {
    throw ParseFailure{std::move(message), where};
}

// Where the tokenizer stopped; after an unrecoverable error simdjson points at the token it
// failed on (or the one before).
const char* current_location(ParseContext& ctx) {
    const char* loc = nullptr;
    if (ctx.doc->current_location().get(loc) != simdjson::SUCCESS || loc < ctx.begin ||
        loc > ctx.end)
        return ctx.end;
    return loc;
}

// The closing bracket just consumed: the last non-blank byte before the next token.
const char* closing_location(ParseContext& ctx) {
    const char* next = current_location(ctx);
    while (next > ctx.begin && is_json_space(next[-1]))
        --next;
    return next > ctx.begin ? next - 1 : ctx.begin;
}

// A message for each simdjson refusal; used only where the syntax scan below finds nothing to
// say more precisely.
std::string tokenizer_message(error_code ec) {
    switch (ec) {
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::N_ATOM_ERROR:
        return "expected ident";
    case simdjson::NUMBER_ERROR:
        return "invalid number";
    case simdjson::STRING_ERROR:
        return "invalid escape";
    case simdjson::UTF8_ERROR:
        return "invalid UTF-8";
    case simdjson::UNESCAPED_CHARS:
        return "control character (\\u0000-\\u001F) found while parsing a string";
    case simdjson::UNCLOSED_STRING:
        return "EOF while parsing a string";
    case simdjson::EMPTY:
        return "EOF while parsing a value";
    case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
        return "EOF while parsing a list or object";
    case simdjson::TAPE_ERROR:
    case simdjson::INCORRECT_TYPE:
        return "expected `,`, `:` or a value";
    case simdjson::MEMALLOC:
        return "out of memory";
    default:
        return std::string("invalid JSON (") + simdjson::error_message(ec) + ")";
    }
}

[[noreturn]] void fail_tokenizer(const char* where, error_code ec) {
    throw TokenizerFailure{ec, where};
}

[[noreturn]] void fail_json(ParseContext& ctx, error_code ec) {
    fail_tokenizer(current_location(ctx), ec);
}

template <class T> T take(ParseContext& ctx, simdjson::simdjson_result<T> result) {
    T value;
    if (const error_code ec = std::move(result).get(value)) fail_json(ctx, ec);
    return value;
}

struct JsonNumber {
    enum class Kind { Signed, Unsigned, Float } kind;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0.0;
};

// Round to the nearest f32. Doubles at or beyond the midpoint between FLT_MAX and 2^128
// round to infinity; converting them with a cast would be undefined behaviour.
float narrow_to_f32(double d) {
    constexpr double kOverflow = 0x1.ffffffp127;
    if (d >= kOverflow) return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

// Length of a JSON number at `p` by the grammar -?(0|[1-9]d*)(.d+)?([eE][+-]?d+)?, or 0.
std::size_t json_number_length(const char* p, const char* end) {
    const char* q = p;
    auto digits = [&] {
        const char* start = q;
        while (q < end && *q >= '0' && *q <= '9')
            ++q;
        return q > start;
    };
    if (q < end && *q == '-') ++q;
    if (q < end && *q == '0')
        ++q;
    else if (!digits())
        return 0;
    if (q < end && *q == '.') {
        ++q;
        if (!digits()) return 0;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        ++q;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        if (!digits()) return 0;
    }
    if (q < end && !is_delimiter(*q)) return 0;
    return static_cast<std::size_t>(q - p);
}

// simdjson refuses integers beyond 64 bits and doubles beyond the binary64 range. The first
// are read as doubles (a very large integer is still a number), the second are out of range.
JsonNumber parse_number_slowly(ParseContext& ctx, const char* at) {
    const std::size_t length = json_number_length(at, ctx.end);
    if (length == 0) fail_at(at, "invalid number");
    double d = 0.0;
    const char* first = at[0] == '-' ? at + 1 : at;
    const auto [ptr, ec] = std::from_chars(first, at + length, d);
    if (ec == std::errc::result_out_of_range) {
        // Underflow rounds to zero; overflow is an error. Tell them apart by the decimal
        // exponent of the leading significant digit.
        long exponent = 0;
        const std::string_view token(at, length);
        const std::size_t e_pos = token.find_first_of("eE");
        if (e_pos != std::string_view::npos) {
            const std::string_view exp_text = token.substr(e_pos + 1);
            const std::size_t skip = exp_text.size() > 0 && exp_text[0] == '+' ? 1 : 0;
            long parsed = 0;
            const auto res = std::from_chars(exp_text.data() + skip,
                                             exp_text.data() + exp_text.size(), parsed);
            exponent = res.ec == std::errc::result_out_of_range
                           ? (exp_text[0] == '-' ? -1000000L : 1000000L)
                           : parsed;
        }
        const std::string_view mantissa = token.substr(0, e_pos);
        const std::size_t lead = mantissa.find_first_of("123456789");
        const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
        if (lead != std::string_view::npos) {
            const long magnitude =
                exponent + (lead < point ? static_cast<long>(point - lead)
                                         : -static_cast<long>(lead - point - 1));
            if (magnitude > 0) fail_at(at, "number out of range");
        }
        d = 0.0;
    } else if (ec != std::errc() || ptr != at + length) {
        fail_at(at, "invalid number");
    }
    return {JsonNumber::Kind::Float, 0, 0, at[0] == '-' ? -d : d};
}

// "-0" is a float negative zero, as in serde_json; every other integer stays an integer.
JsonNumber convert_number(od::number n, const char* at) {
    switch (n.get_number_type()) {
    case od::number_type::signed_integer: {
        const std::int64_t i = n.get_int64();
        if (i == 0 && at[0] == '-') return {JsonNumber::Kind::Float, 0, 0, -0.0};
        return {JsonNumber::Kind::Signed, i, 0, 0.0};
    }
    case od::number_type::unsigned_integer:
        return {JsonNumber::Kind::Unsigned, 0, n.get_uint64(), 0.0};
    default:
        return {JsonNumber::Kind::Float, 0, 0, n.get_double()};
    }
}

template <class V> JsonNumber read_number(ParseContext& ctx, V& v, const char* at) {
    od::number n;
    const error_code ec = v.get_number().get(n);
    if (ec == simdjson::SUCCESS) return convert_number(n, at);
    if (ec == simdjson::NUMBER_ERROR) return parse_number_slowly(ctx, at);
    fail_tokenizer(at, ec);
}

float number_to_f32(const JsonNumber& n) {
    switch (n.kind) {
    case JsonNumber::Kind::Signed:
        return static_cast<float>(n.i);
    case JsonNumber::Kind::Unsigned:
        return static_cast<float>(n.u);
    default:
        return narrow_to_f32(n.d);
    }
}

// Shortest round-trip text of a double laid out as ryu does for serde_json's messages:
// positional with ".0" when the decimal point falls within 16 digits, scientific otherwise.
std::string describe_double(double d) {
    std::array<char, 64> buf{};
    const auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), d, std::chars_format::scientific);
    const std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
    const bool negative = sci[0] == '-';
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0)))
        if (c != '.') digits += c;
    int exponent = 0;
    const std::string_view exp_text = sci.substr(e_pos + 1);
    std::from_chars(exp_text.data() + (exp_text[0] == '+' ? 1 : 0),
                    exp_text.data() + exp_text.size(), exponent);
    const int n = static_cast<int>(digits.size());
    const int point = exponent + 1; // digits before the decimal point
    std::string out = negative ? "-" : "";
    if (n <= point && point <= 16) {
        out += digits + std::string(static_cast<std::size_t>(point - n), '0') + ".0";
    } else if (0 < point && point <= 16) {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
               digits.substr(static_cast<std::size_t>(point));
    } else if (-5 < point && point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else {
        out += digits.substr(0, 1);
        if (n > 1) out += "." + digits.substr(1);
        out += "e" + std::to_string(point - 1);
    }
    return out;
}

std::string describe_number(const JsonNumber& n) {
    switch (n.kind) {
    case JsonNumber::Kind::Signed:
        return "integer `" + std::to_string(n.i) + "`";
    case JsonNumber::Kind::Unsigned:
        return "integer `" + std::to_string(n.u) + "`";
    default:
        return "floating point `" + describe_double(n.d) + "`";
    }
}

// Rust's Debug quoting, which serde_json uses for strings inside messages.
std::string quote_string(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            constexpr char kHex[] = "0123456789abcdef";
            out += "\\u{";
            if (byte >= 0x10) out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
            out += '}';
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* token_location(ParseContext&, od::value& v) {
    return v.raw_json_token().data();
}

const char* token_location(ParseContext& ctx, od::document& doc) {
    std::string_view token;
    if (doc.raw_json_token().get(token) != simdjson::SUCCESS || token.data() == nullptr)
        return current_location(ctx);
    return token.data();
}

template <class V> od::json_type type_of(ParseContext& ctx, V& v) {
    od::json_type type;
    if (const error_code ec = v.type().get(type)) fail_json(ctx, ec);
    return type;
}

// Description of the value found, for "invalid type" messages. Scalars are parsed (so a
// malformed one is reported as such); containers are named without being looked into.
template <class V> std::string describe_value(ParseContext& ctx, V& v, const char* at) {
    switch (type_of(ctx, v)) {
    case od::json_type::array:
        return "sequence";
    case od::json_type::object:
        return "map";
    case od::json_type::number:
        return describe_number(read_number(ctx, v, at));
    case od::json_type::string: {
        std::string_view s;
        if (const error_code ec = v.get_string().get(s)) fail_tokenizer(at, ec);
        return "string " + quote_string(s);
    }
    case od::json_type::boolean: {
        bool b = false;
        if (v.get_bool().get(b) != simdjson::SUCCESS)
            fail_tokenizer(at, simdjson::T_ATOM_ERROR);
        return b ? "boolean `true`" : "boolean `false`";
    }
    default: {
        bool null = false;
        if (v.is_null().get(null) != simdjson::SUCCESS || !null)
            fail_tokenizer(at, simdjson::N_ATOM_ERROR);
        return "null";
    }
    }
}

template <class V>
[[noreturn]] void fail_invalid_type(ParseContext& ctx, V& v, std::string_view expected) {
    const char* at = token_location(ctx, v);
    fail_at(at, "invalid type: " + describe_value(ctx, v, at) + ", expected " +
                    std::string(expected));
}

// Consumes a value of any shape, parsing every scalar and key, so that malformed or too deeply
// nested text is refused even where its content is not wanted.
void skip_value(ParseContext& ctx, od::value v, int depth) {
    const char* at = token_location(ctx, v);
    switch (type_of(ctx, v)) {
    case od::json_type::array: {
        if (depth > kMaxNesting) fail_at(at, "recursion limit exceeded");
        od::array array = take(ctx, v.get_array());
        for (auto element : array)
            skip_value(ctx, take(ctx, std::move(element)), depth + 1);
        return;
    }
    case od::json_type::object: {
        if (depth > kMaxNesting) fail_at(at, "recursion limit exceeded");
        od::object object = take(ctx, v.get_object());
        for (auto field_result : object) {
            od::field field = take(ctx, std::move(field_result));
            take(ctx, field.unescaped_key());
            skip_value(ctx, field.value(), depth + 1);
        }
        return;
    }
    default:
        describe_value(ctx, v, at);
    }
}

// Integers beyond 2^53 may already have been rounded once on their way to a double; those
// are converted again from their digits so that they round only once, straight to f32.
float large_integer_to_f32(const char* at, const char* end, double d) {
    const std::size_t length = json_number_length(at, end);
    const std::string_view token(at, length);
    if (length == 0 || token.find_first_of(".eE") != std::string_view::npos)
        return narrow_to_f32(d);
    if (at[0] == '-') {
        std::int64_t i = 0;
        const auto res = std::from_chars(at, at + length, i);
        return res.ec == std::errc() ? static_cast<float>(i) : narrow_to_f32(d);
    }
    std::uint64_t u = 0;
    const auto res = std::from_chars(at, at + length, u);
    return res.ec == std::errc() ? static_cast<float>(u) : narrow_to_f32(d);
}

float read_f32(ParseContext& ctx, od::value& v) {
    const char* at = v.raw_json_token().data();
    double d = 0.0;
    if (v.get_double().get(d) == simdjson::SUCCESS) {
        if (std::fabs(d) >= 0x1p53) return large_integer_to_f32(at, ctx.end, d);
        return narrow_to_f32(d);
    }
    if (type_of(ctx, v) != od::json_type::number) fail_invalid_type(ctx, v, "f32");
    return number_to_f32(read_number(ctx, v, at));
}

std::optional<float> read_optional_f32(ParseContext& ctx, od::value& v) {
    if (type_of(ctx, v) == od::json_type::null) {
        describe_value(ctx, v, token_location(ctx, v));
        return std::nullopt;
    }
    return read_f32(ctx, v);
}

void read_f32_list(ParseContext& ctx, od::value& v, std::vector<float>& out) {
    if (type_of(ctx, v) != od::json_type::array) fail_invalid_type(ctx, v, "a sequence");
    od::array array = take(ctx, v.get_array());
    for (auto element_result : array) {
        od::value element = take(ctx, std::move(element_result));
        out.push_back(read_f32(ctx, element));
    }
}

std::uint64_t read_usize(ParseContext& ctx, od::value& v) {
    if (type_of(ctx, v) != od::json_type::number) fail_invalid_type(ctx, v, "usize");
    const char* at = token_location(ctx, v);
    const JsonNumber n = read_number(ctx, v, at);
    switch (n.kind) {
    case JsonNumber::Kind::Unsigned:
        return n.u;
    case JsonNumber::Kind::Signed:
        if (n.i < 0) fail_at(at, "invalid value: " + describe_number(n) + ", expected usize");
        return static_cast<std::uint64_t>(n.i);
    default:
        fail_at(at, "invalid type: " + describe_number(n) + ", expected usize");
    }
}

bool read_bool(ParseContext& ctx, od::value& v) {
    if (type_of(ctx, v) != od::json_type::boolean) fail_invalid_type(ctx, v, "a boolean");
    bool b = false;
    if (v.get_bool().get(b) != simdjson::SUCCESS)
        fail_tokenizer(token_location(ctx, v), simdjson::T_ATOM_ERROR);
    return b;
}

std::string read_string(ParseContext& ctx, od::value& v) {
    if (type_of(ctx, v) != od::json_type::string) fail_invalid_type(ctx, v, "a string");
    return std::string(take(ctx, v.get_string()));
}

void read_position(ParseContext& ctx, od::value& v, std::array<float, 3>& out) {
    if (type_of(ctx, v) != od::json_type::array)
        fail_invalid_type(ctx, v, "an array of length 3");
    od::array array = take(ctx, v.get_array());
    std::size_t count = 0;
    for (auto element_result : array) {
        od::value element = take(ctx, std::move(element_result));
        if (count == out.size()) fail_at(token_location(ctx, element), "trailing characters");
        out[count++] = read_f32(ctx, element);
    }
    if (count < out.size())
        fail_at(closing_location(ctx),
                "invalid length " + std::to_string(count) + ", expected an array of length 3");
}

template <class Record> struct MemberSpec {
    std::string_view name;
    void (*read)(ParseContext&, od::value&, int depth, Record&);
};

// Members in declaration order; the first `required` of them have no default.
template <class Record, std::size_t N> struct RecordSpec {
    std::string_view name;
    std::size_t required;
    std::array<MemberSpec<Record>, N> members;
};

void report_unknown_key(ParseContext& ctx, std::string_view key) {
    ctx.sink->push_back(ctx.path.empty() ? std::string(key)
                                         : ctx.path + "." + std::string(key));
}

const char* key_location(ParseContext& ctx, od::field& field) {
    const char* raw = reinterpret_cast<const char*>(field.key().raw());
    return raw != nullptr && raw > ctx.begin ? raw - 1 : current_location(ctx);
}

template <class Record, std::size_t N>
void read_record_object(ParseContext& ctx, od::object object, int depth,
                        const RecordSpec<Record, N>& spec, Record& out) {
    std::array<bool, N> seen{};
    for (auto field_result : object) {
        od::field field = take(ctx, std::move(field_result));
        const char* key_at = key_location(ctx, field);
        const std::string_view key = take(ctx, field.unescaped_key());
        const auto* member = std::find_if(spec.members.begin(), spec.members.end(),
                                          [&](const auto& m) { return m.name == key; });
        if (member == spec.members.end()) {
            report_unknown_key(ctx, key);
            skip_value(ctx, field.value(), depth + 1);
            continue;
        }
        const auto index = static_cast<std::size_t>(member - spec.members.begin());
        if (seen[index]) fail_at(key_at, "duplicate field `" + std::string(key) + "`");
        seen[index] = true;
        const PathScope scope(ctx, member->name);
        member->read(ctx, field.value(), depth + 1, out);
    }
    for (std::size_t i = 0; i < spec.required; ++i)
        if (!seen[i])
            fail_at(closing_location(ctx),
                    "missing field `" + std::string(spec.members[i].name) + "`");
}

template <class Record, std::size_t N>
void read_record_array(ParseContext& ctx, od::array array, int depth,
                       const RecordSpec<Record, N>& spec, Record& out) {
    std::size_t count = 0;
    for (auto element_result : array) {
        od::value element = take(ctx, std::move(element_result));
        if (count == N) fail_at(token_location(ctx, element), "trailing characters");
        const PathScope scope(ctx, std::to_string(count));
        spec.members[count].read(ctx, element, depth + 1, out);
        ++count;
    }
    if (count < spec.required)
        fail_at(closing_location(ctx), "invalid length " + std::to_string(count) +
                                           ", expected struct " + std::string(spec.name) +
                                           " with " + std::to_string(N) + " elements");
}

template <class Record, std::size_t N>
Record read_record(ParseContext& ctx, od::value& v, int depth,
                   const RecordSpec<Record, N>& spec) {
    Record out{};
    switch (type_of(ctx, v)) {
    case od::json_type::object:
        read_record_object(ctx, take(ctx, v.get_object()), depth, spec, out);
        break;
    case od::json_type::array:
        read_record_array(ctx, take(ctx, v.get_array()), depth, spec, out);
        break;
    default:
        fail_invalid_type(ctx, v, "struct " + std::string(spec.name));
    }
    return out;
}

enum class BottomMember { Speed, Shear, Density, SpeedAtten, ShearAtten };

constexpr std::array<std::string_view, 5> kBottomMemberNames = {
    "compressional_speed_m_s", "shear_speed_m_s", "density_g_cm3",
    "compressional_attenuation_db_per_wavelength", "shear_attenuation_db_per_wavelength"};

// One member of a bottom-model object as read before the tag is known. Whether it is an error
// depends on the variant, so a failure is kept rather than raised.
struct BottomEntry {
    BottomMember member;
    const char* key_at;
    const char* value_at;
    std::optional<float> value;
    std::string type_error;
};

// Members of each variant in declaration order, the leading `required` ones without default.
struct VariantLayout {
    std::string_view name;
    std::size_t required;
    std::vector<BottomMember> members;
};

const VariantLayout& variant_layout(int variant) {
    static const std::array<VariantLayout, 3> kLayouts = {
        VariantLayout{"Rigid", 0, {}},
        VariantLayout{"Acoustic",
                      2,
                      {BottomMember::Speed, BottomMember::Density, BottomMember::SpeedAtten}},
        VariantLayout{"Elastic",
                      3,
                      {BottomMember::Speed, BottomMember::Shear, BottomMember::Density,
                       BottomMember::SpeedAtten, BottomMember::ShearAtten}}};
    return kLayouts[static_cast<std::size_t>(variant)];
}

int read_bottom_tag(ParseContext& ctx, od::value& v) {
    if (type_of(ctx, v) != od::json_type::string)
        fail_invalid_type(ctx, v, "variant identifier");
    const char* at = token_location(ctx, v);
    const std::string_view tag = take(ctx, v.get_string());
    constexpr std::array<std::string_view, 3> kTags = {"rigid", "acoustic", "elastic"};
    for (std::size_t i = 0; i < kTags.size(); ++i)
        if (tag == kTags[i]) return static_cast<int>(i);
    fail_at(at, "unknown variant `" + std::string(tag) +
                    "`, expected one of `rigid`, `acoustic`, `elastic`");
}

BottomEntry read_bottom_entry(ParseContext& ctx, od::value& v, BottomMember member,
                              const char* key_at, int depth) {
    BottomEntry entry{member, key_at, token_location(ctx, v), std::nullopt, {}};
    const od::json_type type = type_of(ctx, v);
    if (type == od::json_type::number) {
        entry.value = number_to_f32(read_number(ctx, v, entry.value_at));
    } else if (type == od::json_type::null) {
        describe_value(ctx, v, entry.value_at);
    } else {
        const std::string found = type == od::json_type::array ? "sequence"
                                  : type == od::json_type::object
                                      ? "map"
                                      : describe_value(ctx, v, entry.value_at);
        if (type == od::json_type::array || type == od::json_type::object)
            skip_value(ctx, v, depth);
        entry.type_error = "invalid type: " + found + ", expected f32";
    }
    return entry;
}

// Fills the chosen variant from the entries in document order, with the record rules for
// duplicates and missing members; entries of other variants are ignored without a report.
BottomBoundaryModel build_bottom_model(int variant, const std::vector<BottomEntry>& entries,
                                       const char* close_at) {
    const VariantLayout& layout = variant_layout(variant);
    std::array<bool, kBottomMemberNames.size()> seen{};
    std::array<std::optional<float>, kBottomMemberNames.size()> values{};
    for (const BottomEntry& entry : entries) {
        const auto it = std::find(layout.members.begin(), layout.members.end(), entry.member);
        if (it == layout.members.end()) continue;
        const auto slot = static_cast<std::size_t>(entry.member);
        const std::string_view name = kBottomMemberNames[slot];
        if (seen[slot]) fail_at(entry.key_at, "duplicate field `" + std::string(name) + "`");
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
    const auto value_of = [&](BottomMember m) { return values[static_cast<std::size_t>(m)]; };
    switch (variant) {
    case 1:
        return Acoustic{*value_of(BottomMember::Speed), *value_of(BottomMember::Density),
                        value_of(BottomMember::SpeedAtten)};
    case 2:
        return Elastic{*value_of(BottomMember::Speed), *value_of(BottomMember::Shear),
                       *value_of(BottomMember::Density), value_of(BottomMember::SpeedAtten),
                       value_of(BottomMember::ShearAtten)};
    default:
        return Rigid{};
    }
}

BottomBoundaryModel read_bottom_model(ParseContext& ctx, od::value& v, int depth) {
    const od::json_type type = type_of(ctx, v);
    int variant = -1;
    std::vector<BottomEntry> entries;
    if (type == od::json_type::object) {
        od::object object = take(ctx, v.get_object());
        for (auto field_result : object) {
            od::field field = take(ctx, std::move(field_result));
            const char* key_at = key_location(ctx, field);
            const std::string_view key = take(ctx, field.unescaped_key());
            if (key == "model") {
                if (variant >= 0) fail_at(key_at, "duplicate field `model`");
                variant = read_bottom_tag(ctx, field.value());
                continue;
            }
            const auto it =
                std::find(kBottomMemberNames.begin(), kBottomMemberNames.end(), key);
            if (it == kBottomMemberNames.end()) {
                skip_value(ctx, field.value(), depth + 1);
                continue;
            }
            const auto member = static_cast<BottomMember>(it - kBottomMemberNames.begin());
            entries.push_back(read_bottom_entry(ctx, field.value(), member, key_at, depth + 1));
        }
        const char* close_at = closing_location(ctx);
        if (variant < 0) fail_at(close_at, "missing field `model`");
        return build_bottom_model(variant, entries, close_at);
    }
    if (type != od::json_type::array)
        fail_invalid_type(ctx, v, "internally tagged enum BottomBoundaryModel");
    // Array form: the tag, then the variant's members in declaration order.
    od::array array = take(ctx, v.get_array());
    std::size_t count = 0;
    for (auto element_result : array) {
        od::value element = take(ctx, std::move(element_result));
        if (variant < 0) {
            variant = read_bottom_tag(ctx, element);
            continue;
        }
        const VariantLayout& layout = variant_layout(variant);
        if (count == layout.members.size())
            fail_at(token_location(ctx, element), "trailing characters");
        const BottomMember member = layout.members[count++];
        entries.push_back(read_bottom_entry(ctx, element, member, nullptr, depth + 1));
    }
    const char* close_at = closing_location(ctx);
    if (variant < 0) fail_at(close_at, "missing field `model`");
    const VariantLayout& layout = variant_layout(variant);
    if (count < layout.required)
        fail_at(close_at, "invalid length " + std::to_string(count) + ", expected struct " +
                              std::string(layout.name) + " with " +
                              std::to_string(layout.members.size()) + " elements");
    return build_bottom_model(variant, entries, close_at);
}

IntegrationMethod integration_method_named(std::string_view name, const char* at) {
    if (name == "euler") return IntegrationMethod::Euler;
    if (name == "rk2") return IntegrationMethod::Rk2;
    fail_at(at, "unknown variant `" + std::string(name) + "`, expected `euler` or `rk2`");
}

IntegrationMethod read_integration_method(ParseContext& ctx, od::value& v) {
    const char* at = token_location(ctx, v);
    const od::json_type type = type_of(ctx, v);
    if (type == od::json_type::string)
        return integration_method_named(take(ctx, v.get_string()), at);
    if (type != od::json_type::object) fail_invalid_type(ctx, v, "enum IntegrationMethod");
    od::object object = take(ctx, v.get_object());
    std::optional<IntegrationMethod> method;
    for (auto field_result : object) {
        od::field field = take(ctx, std::move(field_result));
        const char* key_at = key_location(ctx, field);
        const std::string_view key = take(ctx, field.unescaped_key());
        if (method) fail_at(key_at, "trailing characters");
        method = integration_method_named(key, key_at);
        od::value unit = field.value();
        if (type_of(ctx, unit) != od::json_type::null) fail_invalid_type(ctx, unit, "unit");
        describe_value(ctx, unit, token_location(ctx, unit));
    }
    if (!method)
        fail_at(closing_location(ctx), "invalid length 0, expected enum IntegrationMethod");
    return *method;
}

const RecordSpec<SoundSpeed, 4> kSoundSpeedSpec{
    "SoundSpeed",
    4,
    {{{"x_ssp_m", [](ParseContext& c, od::value& v, int,
                     SoundSpeed& r) { read_f32_list(c, v, r.x_ssp_m); }},
      {"y_ssp_m", [](ParseContext& c, od::value& v, int,
                     SoundSpeed& r) { read_f32_list(c, v, r.y_ssp_m); }},
      {"z_ssp_m", [](ParseContext& c, od::value& v, int,
                     SoundSpeed& r) { read_f32_list(c, v, r.z_ssp_m); }},
      {"c_m_s", [](ParseContext& c, od::value& v, int, SoundSpeed& r) {
           read_f32_list(c, v, r.c_m_s);
       }}}}};

const RecordSpec<Bathymetry, 5> kBathymetrySpec{
    "Bathymetry",
    3,
    {{{"x_bty_m", [](ParseContext& c, od::value& v, int,
                     Bathymetry& r) { read_f32_list(c, v, r.x_bty_m); }},
      {"y_bty_m", [](ParseContext& c, od::value& v, int,
                     Bathymetry& r) { read_f32_list(c, v, r.y_bty_m); }},
      {"z_bty_m", [](ParseContext& c, od::value& v, int,
                     Bathymetry& r) { read_f32_list(c, v, r.z_bty_m); }},
      {"water_density_g_cm3",
       [](ParseContext& c, od::value& v, int, Bathymetry& r) {
           r.water_density_g_cm3 = read_optional_f32(c, v);
       }},
      {"bottom_model", [](ParseContext& c, od::value& v, int depth, Bathymetry& r) {
           r.bottom_model = read_bottom_model(c, v, depth);
       }}}}};

const RecordSpec<Source, 4> kSourceSpec{
    "Source",
    4,
    {{{"position",
       [](ParseContext& c, od::value& v, int, Source& r) { read_position(c, v, r.position); }},
      {"freq_hz",
       [](ParseContext& c, od::value& v, int, Source& r) { read_f32_list(c, v, r.freq_hz); }},
      {"launch_elev_deg", [](ParseContext& c, od::value& v, int,
                             Source& r) { read_f32_list(c, v, r.launch_elev_deg); }},
      {"launch_azim_deg", [](ParseContext& c, od::value& v, int, Source& r) {
           read_f32_list(c, v, r.launch_azim_deg);
       }}}}};

const RecordSpec<Receivers, 4> kReceiversSpec{
    "Receivers",
    4,
    {{{"config_type", [](ParseContext& c, od::value& v, int,
                         Receivers& r) { r.config_type = read_string(c, v); }},
      {"x_rcvr_m", [](ParseContext& c, od::value& v, int,
                      Receivers& r) { read_f32_list(c, v, r.x_rcvr_m); }},
      {"y_rcvr_m", [](ParseContext& c, od::value& v, int,
                      Receivers& r) { read_f32_list(c, v, r.y_rcvr_m); }},
      {"z_rcvr_m", [](ParseContext& c, od::value& v, int, Receivers& r) {
           read_f32_list(c, v, r.z_rcvr_m);
       }}}}};

const RecordSpec<BeamSettings, 7> kBeamSpec{
    "BeamSettings",
    3,
    {{{"step_m",
       [](ParseContext& c, od::value& v, int, BeamSettings& r) { r.step_m = read_f32(c, v); }},
      {"max_steps", [](ParseContext& c, od::value& v, int,
                       BeamSettings& r) { r.max_steps = read_usize(c, v); }},
      {"max_range_m", [](ParseContext& c, od::value& v, int,
                         BeamSettings& r) { r.max_range_m = read_f32(c, v); }},
      {"store_ray_paths", [](ParseContext& c, od::value& v, int,
                             BeamSettings& r) { r.store_ray_paths = read_bool(c, v); }},
      {"show_progress", [](ParseContext& c, od::value& v, int,
                           BeamSettings& r) { r.show_progress = read_bool(c, v); }},
      {"atomic_progress_counter",
       [](ParseContext& c, od::value& v, int, BeamSettings& r) {
           r.atomic_progress_counter = read_bool(c, v);
       }},
      {"integration_method", [](ParseContext& c, od::value& v, int, BeamSettings& r) {
           r.integration_method = read_integration_method(c, v);
       }}}}};

const RecordSpec<SimulationConfig, 5> kConfigSpec{
    "SimulationConfig",
    5,
    {{{"ssp", [](ParseContext& c, od::value& v, int depth,
                 SimulationConfig& r) { r.ssp = read_record(c, v, depth, kSoundSpeedSpec); }},
      {"bathymetry",
       [](ParseContext& c, od::value& v, int depth, SimulationConfig& r) {
           r.bathymetry = read_record(c, v, depth, kBathymetrySpec);
       }},
      {"source", [](ParseContext& c, od::value& v, int depth,
                    SimulationConfig& r) { r.source = read_record(c, v, depth, kSourceSpec); }},
      {"receivers",
       [](ParseContext& c, od::value& v, int depth, SimulationConfig& r) {
           r.receivers = read_record(c, v, depth, kReceiversSpec);
       }},
      {"beam", [](ParseContext& c, od::value& v, int depth, SimulationConfig& r) {
           r.beam = read_record(c, v, depth, kBeamSpec);
       }}}}};

// Byte offset just past the top-level value, found by bracket counting outside strings, or
// npos when it never closes. Used only after simdjson has refused the text as a whole, to
// separate faults inside the value from bytes after it.
std::size_t find_value_end(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_json_space(text[i]))
        ++i;
    if (i == text.size()) return std::string_view::npos;
    if (text[i] != '{' && text[i] != '[' && text[i] != '"') {
        while (i < text.size() && !is_delimiter(text[i]))
            ++i;
        return i;
    }
    std::size_t depth = 0;
    bool in_string = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
                if (depth == 0) return i + 1;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && depth > 0 && --depth == 0) {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

// simdjson refused the text as a whole; the fault may lie after the top-level value.
struct WholeTextRefusal {
    error_code code;
};

SimulationConfig read_document(ParseContext& ctx) {
    od::document& doc = *ctx.doc;
    SimulationConfig config{};
    // The root goes through the document's own accessors: they check that the text's last
    // token closes the root container, which keeps the iterator inside the indexed tokens.
    const od::json_type type = type_of(ctx, doc);
    if (type == od::json_type::object) {
        od::object object;
        if (const error_code ec = doc.get_object().get(object)) throw WholeTextRefusal{ec};
        read_record_object(ctx, object, 1, kConfigSpec, config);
    } else if (type == od::json_type::array) {
        od::array array;
        if (const error_code ec = doc.get_array().get(array)) throw WholeTextRefusal{ec};
        read_record_array(ctx, array, 1, kConfigSpec, config);
    } else {
        const std::string_view text(ctx.begin, static_cast<std::size_t>(ctx.end - ctx.begin));
        const std::size_t end = find_value_end(text);
        if (end != std::string_view::npos &&
            text.find_first_not_of(" \t\n\r", end) != std::string_view::npos)
            throw WholeTextRefusal{simdjson::TRAILING_CONTENT};
        fail_invalid_type(ctx, doc, "struct SimulationConfig");
    }
    return config;
}

// Length of the well-formed UTF-8 sequence at text[i] (overlong forms, surrogates and code
// points beyond U+10FFFF refused), or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
    };
    const auto cont = [&](std::size_t k, unsigned lo, unsigned hi) {
        return byte(k) >= lo && byte(k) <= hi;
    };
    const unsigned b = byte(i);
    if (b < 0x80) return 1;
    if (b >= 0xc2 && b <= 0xdf) return cont(i + 1, 0x80, 0xbf) ? 2 : 0;
    const unsigned lo = b == 0xe0 ? 0xa0 : (b == 0xf0 ? 0x90 : 0x80);
    const unsigned hi = b == 0xed ? 0x9f : (b == 0xf4 ? 0x8f : 0xbf);
    if (b >= 0xe0 && b <= 0xef) return cont(i + 1, lo, hi) && cont(i + 2, 0x80, 0xbf) ? 3 : 0;
    if (b >= 0xf0 && b <= 0xf4)
        return cont(i + 1, lo, hi) && cont(i + 2, 0x80, 0xbf) && cont(i + 3, 0x80, 0xbf) ? 4
                                                                                         : 0;
    return 0;
}

struct SyntaxError {
    std::string message;
    std::size_t offset;
};

// The first syntax error of the top-level value, with the messages and positions of
// serde_json. simdjson says only that, and roughly where, the text is malformed; this scan
// (run only after such a refusal) says what is wrong. Nesting is tracked on an explicit
// stack, so no input can exhaust the call stack.
std::optional<SyntaxError> find_syntax_error(std::string_view t) {
    std::size_t pos = 0;
    const auto skip_space = [&] {
        while (pos < t.size() && is_json_space(t[pos]))
            ++pos;
    };
    const auto error = [&](std::string message, std::size_t at) {
        return std::optional<SyntaxError>(SyntaxError{std::move(message), at});
    };
    // Position of an end-of-text error: the last byte, as the text has been read to the end.
    const auto eof = [&](const char* what) {
        return error(std::string("EOF while parsing ") + what, t.empty() ? 0 : t.size() - 1);
    };
    const auto hex4 = [&](std::size_t at, unsigned& code) {
        code = 0;
        for (std::size_t k = at; k < at + 4; ++k) {
            if (k >= t.size()) return false;
            const char c = t[k];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) return false;
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return true;
    };
    // Scans the string whose opening quote is at `pos`; leaves `pos` after the closing quote.
    const auto scan_string = [&]() -> std::optional<SyntaxError> {
        ++pos;
        while (true) {
            if (pos >= t.size()) return eof("a string");
            const auto c = static_cast<unsigned char>(t[pos]);
            if (c == '"') {
                ++pos;
                return std::nullopt;
            }
            if (c < 0x20)
                return error("control character (\\u0000-\\u001F) found while parsing a string",
                             pos);
            if (c == '\\') {
                if (++pos >= t.size()) return eof("a string");
                const char e = t[pos];
                if (e == 'u') {
                    unsigned code = 0;
                    if (!hex4(pos + 1, code)) return error("invalid escape", pos);
                    pos += 5;
                    if (code >= 0xdc00 && code <= 0xdfff)
                        return error("lone trailing surrogate in hex escape", pos - 1);
                    if (code >= 0xd800 && code <= 0xdbff) {
                        unsigned low = 0;
                        if (pos + 1 >= t.size() || t[pos] != '\\' || t[pos + 1] != 'u' ||
                            !hex4(pos + 2, low) || low < 0xdc00 || low > 0xdfff)
                            return error("lone leading surrogate in hex escape", pos - 1);
                        pos += 6;
                    }
                    continue;
                }
                if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos)
                    return error("invalid escape", pos);
                ++pos;
                continue;
            }
            const std::size_t length = utf8_sequence_length(t, pos);
            if (length == 0) return error("invalid UTF-8", pos);
            pos += length;
        }
    };

    std::vector<char> open;
    bool expect_value = true; // otherwise a value has just ended
    skip_space();
    while (true) {
        if (expect_value) {
            if (pos >= t.size()) return eof("a value");
            const char c = t[pos];
            if (c == '{' || c == '[') {
                if (open.size() + 1 > static_cast<std::size_t>(kMaxNesting))
                    return error("recursion limit exceeded", pos);
                open.push_back(c);
                ++pos;
                skip_space();
                if (pos >= t.size()) return eof(c == '{' ? "an object" : "a list");
                if (t[pos] == (c == '{' ? '}' : ']')) {
                    open.pop_back();
                    ++pos;
                    expect_value = false;
                    continue;
                }
                if (c == '[') continue;
                if (t[pos] != '"') return error("key must be a string", pos);
                if (auto e = scan_string()) return e;
                skip_space();
                if (pos >= t.size()) return eof("an object");
                if (t[pos] != ':') return error("expected `:`", pos);
                ++pos;
                skip_space();
                continue;
            }
            if (c == '"') {
                if (auto e = scan_string()) return e;
            } else if (c == '-' || (c >= '0' && c <= '9')) {
                const std::size_t length =
                    json_number_length(t.data() + pos, t.data() + t.size());
                if (length == 0) return error("invalid number", pos);
                pos += length;
            } else if (c == 't' || c == 'f' || c == 'n') {
                const std::string_view word = c == 't' ? "true" : (c == 'f' ? "false" : "null");
                if (t.substr(pos, word.size()) != word) {
                    std::size_t k = 0;
                    while (k < word.size() && pos + k < t.size() && t[pos + k] == word[k])
                        ++k;
                    if (pos + k >= t.size()) return eof("a value");
                    return error("expected ident", pos + k);
                }
                pos += word.size();
            } else {
                return error("expected value", pos);
            }
            expect_value = false;
            continue;
        }
        if (open.empty()) return std::nullopt;
        skip_space();
        const bool in_object = open.back() == '{';
        if (pos >= t.size()) return eof(in_object ? "an object" : "a list");
        const char c = t[pos];
        if (c == (in_object ? '}' : ']')) {
            open.pop_back();
            ++pos;
            continue;
        }
        if (c != ',')
            return error(in_object ? "expected `,` or `}`" : "expected `,` or `]`", pos);
        ++pos;
        skip_space();
        if (pos < t.size() && t[pos] == (in_object ? '}' : ']'))
            return error("trailing comma", pos);
        expect_value = true;
        if (!in_object) continue;
        if (pos >= t.size()) return eof("an object");
        if (t[pos] != '"') return error("key must be a string", pos);
        if (auto e = scan_string()) return e;
        skip_space();
        if (pos >= t.size()) return eof("an object");
        if (t[pos] != ':') return error("expected `:`", pos);
        ++pos;
        skip_space();
    }
}

std::string with_position(std::string_view message, std::size_t offset, std::string_view text) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    return std::string(message) + " at line " + std::to_string(line) + " column " +
           std::to_string(offset - line_start + 1);
}

std::size_t offset_of(const char* where, std::string_view text) {
    if (where == nullptr || where < text.data()) return text.size();
    return std::min(static_cast<std::size_t>(where - text.data()), text.size());
}

// The message for a refusal by simdjson at `where` (nullptr: somewhere in the text).
std::string describe_refusal(error_code ec, const char* where, std::string_view text) {
    const std::size_t at = where == nullptr ? text.size() : offset_of(where, text);
    // The scan may place the fault inside the token simdjson stopped at, not before it.
    const std::size_t token_end = at < text.size() ? find_value_end(text.substr(at)) : 0;
    const std::size_t limit =
        token_end == std::string_view::npos ? text.size() : at + token_end;
    if (const auto syntax = find_syntax_error(text); syntax && syntax->offset <= limit)
        return with_position(syntax->message, syntax->offset, text);
    return with_position(tokenizer_message(ec), at == text.size() && at > 0 ? at - 1 : at,
                         text);
}

struct FormattedFailure {
    std::string message;
};

// Parses `text`; on a refusal by simdjson's whole-text checks (which also see the bytes after
// the top-level value) the text is cut after the value and parsed again.
SimulationConfig parse_text(std::string_view text, UnknownKeySink& sink, bool may_cut) {
    // On-Demand reads up to SIMDJSON_PADDING bytes past the text, so it gets a padded copy.
    const simdjson::padded_string padded(text);
    const std::string_view padded_text(padded.data(), padded.size());
    od::parser parser;
    // simdjson counts the document as depth 1 and indexes a table by container depth; the
    // nesting limit itself is enforced while reading.
    if (parser.allocate(padded.size(), kMaxNesting + 2) != simdjson::SUCCESS)
        throw std::bad_alloc();
    const std::size_t sink_size = sink.size();
    od::document doc;
    ParseContext ctx{padded.data(), padded.data() + padded.size(), &doc, &sink, {}};
    error_code ec = parser.iterate(padded).get(doc);
    if (ec == simdjson::SUCCESS) {
        try {
            return read_document(ctx);
        } catch (const ParseFailure& failure) {
            throw FormattedFailure{with_position(
                failure.message, offset_of(failure.where, padded_text), padded_text)};
        } catch (const TokenizerFailure& failure) {
            throw FormattedFailure{describe_refusal(failure.code, failure.where, padded_text)};
        } catch (const WholeTextRefusal& refusal) {
            ec = refusal.code;
        }
    }
    const std::size_t end = find_value_end(padded_text);
    const std::size_t trimmed = padded_text.find_last_not_of(" \t\n\r") + 1;
    if (may_cut && end != std::string_view::npos && end < trimmed) {
        sink.resize(sink_size);
        return parse_text(text.substr(0, end), sink, false);
    }
    throw FormattedFailure{describe_refusal(ec, nullptr, padded_text)};
}

} // namespace

ParseResult parse_simulation_config(std::string_view json_text, UnknownKeySink& sink) {
    try {
        return {parse_text(json_text, sink, true), {}};
    } catch (const FormattedFailure& failure) {
        return {std::nullopt, failure.message};
    } catch (const std::bad_alloc&) {
        return {std::nullopt, "out of memory while parsing at line 1 column 1"};
    }
}

} // namespace kelp::input
