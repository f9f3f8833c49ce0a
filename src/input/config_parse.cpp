// JSON text -> SimulationConfig in one pass of RapidJSON's event reader.
//
// The reader validates the text as it goes and stops at the end of the top-level value, so
// bytes after it are never looked at. Every event goes straight into the mapping
// (config_mapping.hpp), which fails at the first value that does not fit; a refusal by the
// reader itself is worded from its error code and the bytes around the offset it reports.
#include "input/config.hpp"
#include "input/config_mapping.hpp"

#include <rapidjson/reader.h>

#include <new>

namespace kelp::input {
namespace {

using detail::fail_at;
using detail::JsonKind;
using detail::JsonValue;
using detail::kMaxNesting;
using detail::MappingState;
using detail::ParseFailure;

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_delimiter(char c) {
    return is_json_space(c) || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '"';
}

// The text as a RapidJSON input stream. The reader takes '\0' for the end of the text; a NUL
// byte inside the text stops it alike, and the messages below tell the two apart by offset.
struct TextStream {
    using Ch = char;
    const char* begin;
    const char* p;
    const char* end;
    Ch Peek() const { return p < end ? *p : '\0'; }
    Ch Take() { return p < end ? *p++ : '\0'; }
    std::size_t Tell() const { return static_cast<std::size_t>(p - begin); }
    // Write access is needed only for in-place parsing, which is not used.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }
};

} // namespace
} // namespace kelp::input

// The reader scans strings and numbers on a local copy of the stream and writes it back
// after the token's event, so during that event the stream still stands on the token's
// first byte: that is where the events below take their offsets from.
template <> struct rapidjson::StreamTraits<kelp::input::TextStream> {
    enum { copyOptimization = 1 };
};

namespace kelp::input {
namespace {

// Offset of the last byte of the first escape \uXXXX in the string at `at` that decodes to a
// trailing surrogate (U+DC00..U+DFFF) with no leading one before it, or npos. The reader
// passes such an escape through as an encoded surrogate; this finds where it was written.
std::size_t lone_trailing_surrogate(std::string_view text, std::size_t at) {
    bool after_leading = false;
    for (std::size_t i = at + 1; i + 5 < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') continue;
        if (text[i + 1] != 'u') {
            ++i;
            after_leading = false;
            continue;
        }
        unsigned code = 0;
        for (std::size_t k = i + 2; k < i + 6; ++k) {
            const char c = text[k];
            code =
                code * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        if (code >= 0xdc00 && code <= 0xdfff && !after_leading) return i + 5;
        after_leading = code >= 0xd800 && code <= 0xdbff;
        i += 5;
    }
    return std::string_view::npos;
}

// Offset just past the closing quote of the (well-formed) string at `at`.
std::size_t string_end(std::string_view text, std::size_t at) {
    std::size_t i = at + 1;
    while (text[i] != '"')
        i += text[i] == '\\' ? 2 : 1;
    return i + 1;
}

// The reader's SAX interface: turns each event into a JsonValue at its starting offset.
struct EventHandler {
    TextStream& is;
    MappingState& state;
    std::string_view text;
    std::size_t last_end = 0; // offset just after the previous token
    std::size_t depth = 0;

    bool scalar(JsonValue v, std::size_t end) {
        detail::map_value(state, v);
        last_end = end;
        return true;
    }

    // true, false and null are read on the stream itself, which stands after the word.
    bool Null() { return scalar({.kind = JsonKind::Null, .at = is.Tell() - 4}, is.Tell()); }
    bool Bool(bool b) {
        return scalar({.kind = JsonKind::Bool, .at = is.Tell() - (b ? 4 : 5), .boolean = b},
                      is.Tell());
    }

    // Numbers: the reader has checked the grammar and computed the value. Integers are
    // exact. A decimal of at most 15 digits without exponent is a significand below 2^53
    // divided by an exact power of ten, one correctly rounded operation; every other number
    // is converted again from its text.
    bool number(detail::JsonNumber n) {
        const std::size_t at = is.Tell();
        const detail::NumberToken t = detail::measure_number(text, at);
        // A number runs up to a delimiter: "0800" or "1.5.3" is one malformed number, not a
        // number followed by something unexpected.
        if (t.end < text.size() && !is_delimiter(text[t.end])) fail_at(at, "invalid number");
        const bool negative_zero = t.integral && text[at] == '-' && n.i == 0;
        if (t.exponent || t.digits > 15 || negative_zero)
            n = detail::read_number(text.substr(at, t.end - at), at);
        if (!state.frames.empty() && state.frames.back().kind == detail::FrameKind::F32List) {
            // The bulk of a configuration: long lists of numbers.
            static_cast<std::vector<float>*>(state.frames.back().into)
                ->push_back(detail::number_to_f32(n));
            last_end = t.end;
            return true;
        }
        return scalar({.kind = JsonKind::Number, .at = at, .number = n}, t.end);
    }
    bool Int(int i) { return number({.kind = detail::JsonNumber::Kind::Signed, .i = i}); }
    bool Uint(unsigned u) {
        return number({.kind = detail::JsonNumber::Kind::Unsigned, .u = u});
    }
    bool Int64(std::int64_t i) {
        return number({.kind = detail::JsonNumber::Kind::Signed, .i = i});
    }
    bool Uint64(std::uint64_t u) {
        return number({.kind = detail::JsonNumber::Kind::Unsigned, .u = u});
    }
    bool Double(double d) { return number({.kind = detail::JsonNumber::Kind::Float, .d = d}); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }

    void check_surrogates(std::string_view decoded, std::size_t at) const {
        if (decoded.find('\xed') == std::string_view::npos) return;
        const std::size_t bad = lone_trailing_surrogate(text, at);
        if (bad != std::string_view::npos)
            fail_at(bad, "lone trailing surrogate in hex escape");
    }

    bool String(const char* str, rapidjson::SizeType length, bool) {
        const std::size_t at = is.Tell();
        check_surrogates({str, length}, at);
        return scalar({.kind = JsonKind::String, .at = at, .text = {str, length}},
                      string_end(text, at));
    }

    bool Key(const char* str, rapidjson::SizeType length, bool) {
        const std::size_t at = is.Tell();
        check_surrogates({str, length}, at);
        detail::map_key(state, {str, length}, at);
        last_end = string_end(text, at);
        return true;
    }

    // Brackets are read on the stream itself, which stands after the bracket.
    bool open(JsonKind kind) {
        const std::size_t at = is.Tell() - 1;
        if (++depth > kMaxNesting) fail_at(at, "recursion limit exceeded");
        detail::map_value(state, {.kind = kind, .at = at});
        last_end = is.Tell();
        return true;
    }
    bool close() {
        --depth;
        detail::map_close(state, is.Tell() - 1);
        last_end = is.Tell();
        return true;
    }
    bool StartObject() { return open(JsonKind::Object); }
    bool StartArray() { return open(JsonKind::Array); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }
};

// The last byte before `at` that is not blank, or '\0'.
char previous_token_byte(std::string_view t, std::size_t at) {
    while (at > 0 && is_json_space(t[at - 1]))
        --at;
    return at > 0 ? t[at - 1] : '\0';
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

// The message and position of the reader's refusal `code` at offset `p` of `t`.
ParseFailure syntax_failure(rapidjson::ParseErrorCode code, std::size_t p, std::string_view t) {
    const bool at_end = p >= t.size();
    // At the end of the text the error is placed on its last byte.
    const auto eof = [&](const char* what) {
        return ParseFailure{std::string("EOF while parsing ") + what,
                            t.empty() ? 0 : t.size() - 1};
    };
    // A malformed number is reported at its first byte.
    const auto invalid_number = [&] {
        std::size_t start = std::min(p, t.size());
        while (start > 0 &&
               std::string_view("0123456789+-.eE").find(t[start - 1]) != std::string_view::npos)
            --start;
        return ParseFailure{"invalid number", start};
    };
    const char* const kControl =
        "control character (\\u0000-\\u001F) found while parsing a string";
    switch (code) {
    case rapidjson::kParseErrorDocumentEmpty:
        return at_end ? eof("a value") : ParseFailure{"expected value", p};
    case rapidjson::kParseErrorValueInvalid: {
        // Raised at the first byte that cannot continue a value: after a lone minus, inside
        // true / false / null, or where a value should start.
        if (p > 0 && t[p - 1] == '-') return invalid_number();
        const bool in_word = p > 0 && t[p - 1] >= 'a' && t[p - 1] <= 'z';
        if (at_end)
            return eof(!in_word && previous_token_byte(t, p) == '[' ? "a list" : "a value");
        if (in_word) return {"expected ident", p};
        if (t[p] == ']' && previous_token_byte(t, p) == ',') return {"trailing comma", p};
        return {"expected value", p};
    }
    case rapidjson::kParseErrorObjectMissName:
        if (at_end) return eof("an object");
        if (t[p] == '}') return {"trailing comma", p};
        return {"key must be a string", p};
    case rapidjson::kParseErrorObjectMissColon:
        return at_end ? eof("an object") : ParseFailure{"expected `:`", p};
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
        return at_end ? eof("an object") : ParseFailure{"expected `,` or `}`", p};
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
        return at_end ? eof("a list") : ParseFailure{"expected `,` or `]`", p};
    case rapidjson::kParseErrorStringMissQuotationMark:
        return at_end ? eof("a string") : ParseFailure{kControl, p};
    case rapidjson::kParseErrorStringEscapeInvalid:
        if (p < t.size() && t[p] == '\\')
            return p + 1 >= t.size() ? eof("a string") : ParseFailure{"invalid escape", p + 1};
        return {kControl, p};
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex: {
        // The escape at `p` is either malformed itself or a leading surrogate whose partner
        // is malformed.
        bool first_valid = p + 6 <= t.size();
        for (std::size_t k = p + 2; first_valid && k < p + 6; ++k)
            first_valid = is_hex(t[k]);
        if (!first_valid) return {"invalid escape", p + 1};
        return {"lone leading surrogate in hex escape", p + 5};
    }
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
        return {"lone leading surrogate in hex escape", p + 5};
    case rapidjson::kParseErrorStringInvalidEncoding:
        return {"invalid UTF-8", p};
    case rapidjson::kParseErrorNumberTooBig:
        if (detail::json_number_length(t.substr(p)) == 0) return {"invalid number", p};
        return {"number out of range", p};
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent:
        return invalid_number();
    default:
        return {std::string("invalid JSON (") + std::to_string(static_cast<int>(code)) + ")",
                p};
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

} // namespace

ParseResult parse_simulation_config(std::string_view json_text, UnknownKeySink& sink) {
    try {
        MappingState state;
        state.sink = &sink;
        TextStream stream{json_text.data(), json_text.data(),
                          json_text.data() + json_text.size()};
        EventHandler handler{stream, state, json_text};
        rapidjson::Reader reader;
        constexpr unsigned kFlags =
            rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseValidateEncodingFlag;
        const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
        if (result.IsError()) {
            // In an array of fixed length that is already full, whatever follows the next
            // comma is one element too many, however malformed it is.
            std::size_t next = handler.last_end;
            const auto skip_blanks = [&] {
                while (next < json_text.size() && is_json_space(json_text[next]))
                    ++next;
            };
            skip_blanks();
            const bool after_comma = next < json_text.size() && json_text[next] == ',';
            ++next;
            skip_blanks();
            if (after_comma && detail::array_is_full(state) && result.Offset() >= next &&
                next < json_text.size())
                return {std::nullopt, with_position("trailing characters", next, json_text)};
            const ParseFailure failure =
                syntax_failure(result.Code(), result.Offset(), json_text);
            return {std::nullopt, with_position(failure.message, failure.offset, json_text)};
        }
        return {std::move(state.config), {}};
    } catch (const ParseFailure& failure) {
        return {std::nullopt, with_position(failure.message, failure.offset, json_text)};
    } catch (const std::bad_alloc&) {
        return {std::nullopt, "out of memory while parsing at line 1 column 1"};
    }
}

} // namespace kelp::input
