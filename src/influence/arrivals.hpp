#pragma once
// The arrivals table: per receiver, each multipath arrival with its delay, its complex
// amplitude at every frequency of the run, its launch and arrival directions and its bounce
// counts. A second sink of the summation, beside the pressure field.
//
// Every contribution of a beam to a receiver is offered to the table. Contributions of
// neighbouring beams that follow the same path have the same surface and bottom bounce
// counts and, since each is taken at its paraxial travel time (the wavefront's curvature
// included), delays that agree to the paraxial error, far below a period; two different
// paths with the same counts differ by much more except where they merge at a caustic. So a
// contribution joins an arrival with the same counts whose span of delays it comes within
// arrival_delay_tolerance of; otherwise it opens a new one. An arrival keeps the sum of its
// contributions per frequency, so that at the end
//
//     p_k(receiver) = sum over its arrivals of amplitude_k exp(i omega_k delay)
//
// holds exactly (up to rounding), whatever the grouping decided, as long as nothing was
// dropped. When a receiver's table is full, the weakest of the arrivals and the newcomer
// (rms over the frequencies of |sum|) is dropped and counted.

#include "core/ndarray.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kelp::influence {

// The path a segment's contributions belong to, worked out once per segment: the beam and
// its launch direction (rad), the direction the ray travels along the segment (rad, in the
// launch angles' convention: elevation positive downwards, azimuth from +y towards +x), the
// bounce counts, and the rms over the frequencies of the product of bottom reflection
// coefficients met before the segment (weighs the contributions).
struct ArrivalPath {
    std::uint64_t beam_index = 0;
    float launch_elevation_rad = 0.0f;
    float launch_azimuth_rad = 0.0f;
    float arrival_elevation_rad = 0.0f;
    float arrival_azimuth_rad = 0.0f;
    std::uint32_t surface_bounces = 0;
    std::uint32_t bottom_bounces = 0;
    float reflection_rms = 1.0f;
};

// One arrival at one receiver while it accumulates, and once finalised. Its contributions'
// weights are beam amplitude x reflection_rms; the directions and the beam are those of the
// strongest contribution (the earliest offered on a tie).
struct Arrival {
    float delay_lo = 0.0f, delay_hi = 0.0f; // span of the contributions' paraxial delays, s
    float weight_sum = 0.0f;
    float weighted_delay = 0.0f; // sum of weight x delay, s
    float strongest = 0.0f;      // the largest weight
    float delay_s = 0.0f;        // set by finalise_arrivals: weighted mean delay
    ArrivalPath path;            // of the strongest contribution
};

// The arrivals of every receiver, at most `capacity` each. Slot (receiver r, j < count[r])
// is arrivals[r * capacity + j]; its per-frequency values are sums[(r * capacity + j) * F
// .. + F): the sums of contributions while accumulating, the amplitudes once finalised.
struct ArrivalTable {
    std::size_t capacity = 0;
    std::size_t receivers = 0;
    std::size_t frequencies = 0;
    std::vector<std::uint32_t> count;   // per receiver
    std::vector<std::uint64_t> dropped; // per receiver: arrivals discarded for lack of room
    std::unique_ptr<Arrival[]> arrivals;
    std::unique_ptr<Complex32[]> sums;

    std::span<Complex32> values(std::size_t receiver, std::size_t j) const {
        return {sums.get() + (receiver * capacity + j) * frequencies, frequencies};
    }
};

// Bytes one table takes for `receivers` x `capacity` arrivals at `frequencies` frequencies.
double arrival_table_bytes(std::size_t receivers, std::size_t capacity,
                           std::size_t frequencies);

// An empty table. Slots are written when an arrival opens, never before.
ArrivalTable init_arrival_table(std::size_t receivers, std::size_t capacity,
                                std::size_t frequencies);

// How far (s) a delay may lie outside an arrival's span and still belong to it: 1e-5 of the
// delay plus 1 microsecond. Far above the paraxial delay error of neighbouring beams and the
// rounding of single-precision travel times; far below the separation of distinct paths and
// a period at any frequency a beam model resolves.
float arrival_delay_tolerance(float delay_s);

// Offers the contribution of weight amplitude x path.reflection_rms at paraxial delay
// `delay_s` to `receiver`; returns the per-frequency sums its values must be added to, or an
// empty span when it was dropped (a zero weight is never recorded: its values are zero).
std::span<Complex32> offer_contribution(ArrivalTable& table, std::size_t receiver,
                                        const ArrivalPath& path, float delay_s,
                                        float amplitude);

// Adds right into left and returns left; left holds the earlier beams. For each receiver the
// right table's arrivals are taken in order: each joins left's first arrival with the same
// counts whose span overlaps its own within the tolerance, or is added (or, when the table is
// full, competes with left's weakest). Sums add; the strongest contribution wins the
// directions, left on a tie. The same tree of merges gives the same bits.
ArrivalTable merge_arrival_tables(ArrivalTable left, ArrivalTable right);

// Turns the sums into amplitudes: each arrival's delay becomes its weighted mean delay, its
// values sum_k exp(-i 2 pi f_k delay) with f_k the frequencies (Hz) as configured, and each
// receiver's arrivals are sorted by delay, then beam index. The phase is taken in double
// precision: 2 pi f delay reaches 1e5 rad, where single precision would leave phase errors
// of 1e-2 rad between the amplitudes and the sums they must reproduce.
void finalise_arrivals(ArrivalTable& table, std::span<const float> frequencies_hz);

} // namespace kelp::influence
