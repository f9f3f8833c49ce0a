#pragma once
// Readable names for parametrised GoogleTest cases, which allow only letters, digits and
// underscores: numbers as "Minus1p5", "1e30", "NaN"; phrases in CamelCase.

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace kelp::test {

// Shortest text of a number with '-' written "Minus", '.' written "p" and no '+'.
inline std::string number_name(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "MinusInf" : "Inf";
    char buf[64];
    const auto fits_float = static_cast<double>(static_cast<float>(v)) == v;
    const auto res = fits_float ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v))
                                : std::to_chars(buf, buf + sizeof buf, v);
    std::string out;
    for (const char* c = buf; c != res.ptr; ++c) {
        if (*c == '-')
            out += "Minus";
        else if (*c == '.')
            out += 'p';
        else if (*c != '+')
            out += *c;
    }
    return out;
}

// "ssp x plane ahead (d < 0)" -> "SspXPlaneAheadD0"; an empty phrase is "Empty".
inline std::string words_name(std::string_view phrase) {
    std::string out;
    bool word_start = true;
    for (const char c : phrase) {
        if (c == '\'') continue; // "cell's" is one word
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum) {
            word_start = true;
            continue;
        }
        out += word_start && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        word_start = false;
    }
    return out.empty() ? "Empty" : out;
}

} // namespace kelp::test
