#pragma once
// Single-precision constants, named once. Every physics literal in kelp is a float.

namespace kelp {

inline constexpr float kPi = 3.1415927f;
inline constexpr float kHalfPi = 1.5707964f;
inline constexpr float kTwoPi = 6.2831855f;
inline constexpr float kDegToRad = 0.017453292f;    // pi / 180
inline constexpr float kNepersPerDb = 0.115129255f; // ln(10) / 20

} // namespace kelp
