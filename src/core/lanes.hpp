#pragma once
// Four floats in the processor's vector lanes (SSE on x86-64, GCC/Clang vector extensions).
// Each lane is one IEEE single-precision operation, rounded exactly as the scalar operation
// would be, so that independent scalar computations written lane by lane keep their bits.

#include <cstring>

namespace kelp {

using Lanes4 = float __attribute__((vector_size(16)));

inline Lanes4 load_lanes(const float* p) {
    Lanes4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace kelp
