// Scalar values: numbers and their rounding to f32, counts, booleans, strings, and the
// descriptions of a value found where another type was expected.
#include "input/config_mapping.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

namespace kelp::input::detail {

void fail_at(std::size_t offset, std::string message) {
    throw ParseFailure{std::move(message), offset};
}

namespace {

bool is_delimiter(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':' ||
           c == '[' || c == ']' || c == '{' || c == '}' || c == '"';
}

// Round to the nearest f32. Doubles at or beyond the midpoint between FLT_MAX and 2^128
// round to infinity; converting them with a cast would be undefined behaviour.
float narrow_to_f32(double d) {
    constexpr double kOverflow = 0x1.ffffffp127;
    if (d >= kOverflow) return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

// A double from the token; out of range is an error when the magnitude is too large and zero
// when it is too small. The two are told apart by the decimal exponent of the leading
// significant digit.
double read_double(std::string_view token, std::size_t offset) {
    const bool negative = token[0] == '-';
    double d = 0.0;
    const auto [ptr, ec] =
        std::from_chars(token.data() + (negative ? 1 : 0), token.data() + token.size(), d);
    if (ec == std::errc::result_out_of_range) {
        long exponent = 0;
        const std::size_t e_pos = token.find_first_of("eE");
        if (e_pos != std::string_view::npos) {
            const std::string_view exp_text = token.substr(e_pos + 1);
            const std::size_t skip = !exp_text.empty() && exp_text[0] == '+' ? 1 : 0;
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
            if (magnitude > 0) fail_at(offset, "number out of range");
        }
        d = 0.0;
    } else if (ec != std::errc() || ptr != token.data() + token.size()) {
        fail_at(offset, "invalid number");
    }
    return negative ? -d : d;
}

// Shortest round-trip text of a double laid out as in the messages of the reference JSON
// mapping: positional with ".0" when the decimal point falls within 16 digits, scientific
// otherwise.
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
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
        out += ".0";
    } else if (0 < point && point <= 16) {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    } else if (-5 < point && point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(point - 1);
    }
    return out;
}

// Strings inside messages are quoted and escaped as a debugging representation: control
// characters as \u{..}, quotes and backslashes escaped.
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

} // namespace

std::size_t json_number_length(std::string_view text) {
    std::size_t q = 0;
    const auto digits = [&] {
        const std::size_t start = q;
        while (q < text.size() && text[q] >= '0' && text[q] <= '9')
            ++q;
        return q > start;
    };
    if (q < text.size() && text[q] == '-') ++q;
    if (q < text.size() && text[q] == '0')
        ++q;
    else if (!digits())
        return 0;
    if (q < text.size() && text[q] == '.') {
        ++q;
        if (!digits()) return 0;
    }
    if (q < text.size() && (text[q] == 'e' || text[q] == 'E')) {
        ++q;
        if (q < text.size() && (text[q] == '+' || text[q] == '-')) ++q;
        if (!digits()) return 0;
    }
    if (q < text.size() && !is_delimiter(text[q])) return 0;
    return q;
}

NumberToken measure_number(std::string_view text, std::size_t at) {
    NumberToken t;
    std::size_t q = at;
    const auto digits = [&] {
        const std::size_t start = q;
        while (q < text.size() && text[q] >= '0' && text[q] <= '9')
            ++q;
        t.digits += static_cast<int>(q - start);
    };
    if (q < text.size() && text[q] == '-') ++q;
    if (q < text.size() && text[q] == '0') {
        ++q;
        ++t.digits;
    } else {
        digits();
    }
    if (q < text.size() && text[q] == '.') {
        t.integral = false;
        ++q;
        digits();
    }
    if (q < text.size() && (text[q] == 'e' || text[q] == 'E')) {
        t.integral = false;
        t.exponent = true;
        ++q;
        if (q < text.size() && (text[q] == '+' || text[q] == '-')) ++q;
        digits();
    }
    t.end = q;
    return t;
}

JsonNumber read_number(std::string_view token, std::size_t offset) {
    const bool integral = token.find_first_of(".eE") == std::string_view::npos;
    if (integral) {
        // "-0" is a float negative zero; every other integer that fits stays an integer.
        if (token == "-0") return {.kind = JsonNumber::Kind::Float, .d = -0.0};
        const char* end = token.data() + token.size();
        if (token[0] == '-') {
            std::int64_t i = 0;
            if (const auto res = std::from_chars(token.data(), end, i); res.ec == std::errc())
                return {.kind = JsonNumber::Kind::Signed, .i = i};
        } else {
            std::uint64_t u = 0;
            if (const auto res = std::from_chars(token.data(), end, u); res.ec == std::errc())
                return {.kind = JsonNumber::Kind::Unsigned, .u = u};
        }
    }
    return {.kind = JsonNumber::Kind::Float, .d = read_double(token, offset)};
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

std::string describe_value(const JsonValue& v) {
    switch (v.kind) {
    case JsonKind::Array:
        return "sequence";
    case JsonKind::Object:
        return "map";
    case JsonKind::Number:
        return describe_number(v.number);
    case JsonKind::String:
        return "string " + quote_string(v.text);
    case JsonKind::Bool:
        return v.boolean ? "boolean `true`" : "boolean `false`";
    default:
        return "null";
    }
}

void fail_invalid_type(const JsonValue& v, std::string_view expected) {
    fail_at(v.at, "invalid type: " + describe_value(v) + ", expected " + std::string(expected));
}

float read_f32(const JsonValue& v) {
    if (v.kind != JsonKind::Number) fail_invalid_type(v, "f32");
    return number_to_f32(v.number);
}

std::uint64_t read_usize(const JsonValue& v) {
    if (v.kind != JsonKind::Number) fail_invalid_type(v, "usize");
    const JsonNumber& n = v.number;
    switch (n.kind) {
    case JsonNumber::Kind::Unsigned:
        return n.u;
    case JsonNumber::Kind::Signed:
        if (n.i < 0) fail_at(v.at, "invalid value: " + describe_number(n) + ", expected usize");
        return static_cast<std::uint64_t>(n.i);
    default:
        fail_invalid_type(v, "usize");
    }
}

bool read_bool(const JsonValue& v) {
    if (v.kind != JsonKind::Bool) fail_invalid_type(v, "a boolean");
    return v.boolean;
}

std::string read_string(const JsonValue& v) {
    if (v.kind != JsonKind::String) fail_invalid_type(v, "a string");
    return std::string(v.text);
}

} // namespace kelp::input::detail
