#pragma once
// The one fatal-error type of kelp. Builders of the environment and the field throw it when
// the configuration cannot describe a valid grid, and invariant checks throw it when the code
// itself is wrong. Only the Python boundary catches it (as PanicException); worker-thread
// failures are carried back to the calling thread and rethrown as this type.

#include <sstream>
#include <stdexcept>
#include <string>

namespace kelp {

struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) {
    throw FatalError(message);
}

} // namespace kelp

// Debug checks print both operands; they compile to nothing in Release builds.
#ifndef NDEBUG
#define KELP_DCHECK_OP(a, op, b)                                                               \
    do {                                                                                       \
        if (!((a)op(b))) {                                                                     \
            std::ostringstream kelp_dcheck_os_;                                                \
            kelp_dcheck_os_ << "check failed: " #a " " #op " " #b " (" << (a) << " vs " << (b) \
                            << ") at " << __FILE__ << ":" << __LINE__;                         \
            ::kelp::fail(kelp_dcheck_os_.str());                                               \
        }                                                                                      \
    } while (0)
#else
#define KELP_DCHECK_OP(a, op, b)                                                               \
    do {                                                                                       \
    } while (0)
#endif
#define KELP_DCHECK_LT(a, b) KELP_DCHECK_OP(a, <, b)
#define KELP_DCHECK_LE(a, b) KELP_DCHECK_OP(a, <=, b)
#define KELP_DCHECK_EQ(a, b) KELP_DCHECK_OP(a, ==, b)
