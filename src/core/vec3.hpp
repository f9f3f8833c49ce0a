#pragma once
// A small single-precision 3-vector (x, y, z; z is depth, positive down) with free functions.

#include <cmath>

namespace kelp {

struct Vec3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

inline Vec3 operator+(Vec3 a, Vec3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(Vec3 a, Vec3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator*(float s, Vec3 a) {
    return {s * a.x, s * a.y, s * a.z};
}
inline float dot(Vec3 a, Vec3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec3 cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float norm(Vec3 a) {
    return std::sqrt(dot(a, a));
}

// std::fmax and std::fmin without the library call they compile to, in two comparisons: the
// same value for every pair of floats, one NaN operand ignored (the sign of a zero result is
// unspecified, as it is for the library, whose result the compiler's folding may not share).
inline float larger(float a, float b) {
    return (a > b || b != b) ? a : b;
}
inline float smaller(float a, float b) {
    return (a < b || b != b) ? a : b;
}

struct Vec2 {
    float x = 0.0f;
    float y = 0.0f;
};

} // namespace kelp
