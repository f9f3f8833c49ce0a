// Parsing and validation of arbitrary bytes must end in a configuration or one error message.
#include "input/config.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelp::input::UnknownKeySink sink;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = kelp::input::parse_simulation_config(text, sink);
    if (!parsed.config) {
        if (parsed.error.empty()) __builtin_trap(); // a failure must say why
        return 0;
    }
    const auto result = kelp::input::validate(*parsed.config);
    if (!result.ok && result.error.rfind("Invalid simulation config:\n  - ", 0) != 0)
        __builtin_trap();
    return 0;
}
