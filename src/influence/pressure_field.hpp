#pragma once
// The pressure field, the accumulator of a run, with its merge rule; and the sink through
// which the summation adds contributions to it.

#include "core/ndarray.hpp"
#include "influence/arrivals.hpp"
#include "input/config.hpp"

#include <cstddef>
#include <span>

namespace kelp::influence {

// Complex pressure per (frequency, receiver) and the earliest arrival per receiver. Grid
// layout: shapes (F, Nx, Ny, Nz) and (Nx, Ny, Nz); array layout: (F, N, 1, 1) and (N, 1, 1).
// The receivers' geometry is the configuration's (and, prepared, the ReceiverSet's).
struct PressureField {
    Array4c pressure;  // starts at 0
    Array3f delay_s;   // s, starts at +inf (no arrival yet)
    Array3f amplitude; // starts at 0
};

// Empty field for the receivers and frequencies of the validated configuration. Throws
// FatalError "array receiver coordinates must have equal lengths" for ragged array lists.
PressureField init_pressure_field(const input::SimulationConfig& config);

// Adds right into left and returns left: pressures are summed; right's arrival replaces
// left's when its delay is strictly earlier, or exactly equal with a larger |amplitude| (the
// rule of the update inside a field), so a full tie keeps left. Left must hold the earlier
// beams. Both come from init_pressure_field on the same configuration.
PressureField merge_pressure_fields(PressureField left, PressureField right);

// Where the summation's contributions go: the field's arrays by flat receiver index, with
// the angular frequencies (rad/s) of the pressure's first index and the product of bottom
// reflection coefficients that applies to the segment being summed; and, when a table is
// kept, the arrivals table with the path of the segment being summed.
struct FieldSink {
    std::span<Complex32> pressure; // (F, receivers)
    std::size_t receivers = 0;     // stride between frequencies
    std::span<float> delay_s;
    std::span<float> amplitude;
    std::span<const float> omegas;
    std::span<const Complex32> reflection; // per frequency
    ArrivalTable* arrivals = nullptr;
    const ArrivalPath* path = nullptr;
};

// The sink that adds into `field`.
FieldSink field_sink(PressureField& field, std::span<const float> omegas);

} // namespace kelp::influence
