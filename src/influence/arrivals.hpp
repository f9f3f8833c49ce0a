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
// dropped. When a receiver's table is full, the weakest of the arrivals and the newcomer is
// dropped and counted; an arrival's strength is the sum of its contributions' weights (beam
// amplitude x rms reflection product), which for the in-phase contributions of one path is
// its amplitude, and which only grows, so the weakest is known without recomputing sums.

#include "core/ndarray.hpp"
#include "core/vec3.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kelp::influence {

// The path a segment's contributions belong to, worked out once per segment: the bounce
// counts, the rms over the frequencies of the product of bottom reflection coefficients met
// before the segment (weighs the contributions), the beam and its launch direction (rad) and
// the direction the ray travels along the segment (any length; turned into angles only for
// the arrivals that survive, by arrival_angles).
struct ArrivalPath {
    std::uint32_t surface_bounces = 0;
    std::uint32_t bottom_bounces = 0;
    float reflection_rms = 1.0f;
    float launch_elevation_rad = 0.0f;
    float launch_azimuth_rad = 0.0f;
    Vec3 direction{};
    std::uint64_t beam_index = 0;
};

// Elevation (positive downwards) and azimuth (from +y towards +x) of a direction, rad: the
// launch angles' convention, so a ray in uniform water arrives at its launch angles.
struct DirectionAngles {
    float elevation_rad = 0.0f;
    float azimuth_rad = 0.0f;
};
DirectionAngles direction_angles(Vec3 direction);

// One arrival at one receiver while it accumulates, and once finalised. Its contributions'
// weights are beam amplitude x reflection_rms; the directions and the beam are those of the
// strongest contribution (the earliest offered on a tie).
// What the match of a contribution reads (the span and the counts) comes first.
struct Arrival {
    float delay_lo = 0.0f, delay_hi = 0.0f; // span of the contributions' paraxial delays, s
    ArrivalPath path;                       // of the strongest contribution
    float weight_sum = 0.0f;
    float weighted_delay = 0.0f; // sum of weight x delay, s
    float strongest = 0.0f;      // the largest weight
    float delay_s = 0.0f;        // set by finalise_arrivals: weighted mean delay
};

// What an offer reads of a receiver's row first, in one place: its receiver, how many
// arrivals it holds, its weakest arrival and that one's weight while they hold (a negative
// weight: to be found again; a full row turns away a stream of weak paths), a bit per key
// present (key_bit in arrivals.cpp), and the contributions and arrivals a full row turned
// away.
struct ArrivalRow {
    std::uint32_t receiver = 0;
    std::uint32_t count = 0;
    std::uint32_t weakest = 0;
    float weakest_weight = -1.0f;
    std::uint64_t key_bits = 0;
    std::uint64_t dropped = 0;
};

// The arrivals of the receivers a run (or a part of its fan) reached, at most `capacity`
// each. A receiver's arrivals live in one row, opened when its first arrival is offered: a
// block of neighbouring beams reaches a small part of the receivers, so the table grows with
// what the beams reach, not with the receivers. Row i holds count[i] arrivals at
// arrivals[i * capacity ...] with their per-frequency values at sums[(i * capacity + j) * F
// ...]: the sums of contributions while accumulating, the amplitudes once finalised.
struct ArrivalTable {
    std::size_t capacity = 0;
    std::size_t receivers = 0;
    std::size_t frequencies = 0;
    std::vector<std::uint32_t> row_of; // per receiver: its row + 1, 0 for none yet
    std::vector<ArrivalRow> heads;     // per row
    std::vector<Arrival> arrivals;     // rows x capacity
    // Rows x capacity: each arrival's bounce counts in one word, scanned before any arrival.
    std::vector<std::uint64_t> keys;
    // Rows x capacity: each arrival's weight_sum, where a full row looks for its weakest.
    std::vector<float> weights;
    std::vector<Complex32> sums; // rows x capacity x frequencies

    std::size_t rows() const { return heads.size(); }
    std::span<Arrival> row(std::size_t i) {
        return {arrivals.data() + i * capacity, heads[i].count};
    }
    std::span<const Arrival> row(std::size_t i) const {
        return {arrivals.data() + i * capacity, heads[i].count};
    }
    std::span<Complex32> values(std::size_t i, std::size_t j) {
        return {sums.data() + (i * capacity + j) * frequencies, frequencies};
    }
    std::span<const Complex32> values(std::size_t i, std::size_t j) const {
        return {sums.data() + (i * capacity + j) * frequencies, frequencies};
    }
};

// Bytes a table takes at most: every one of `receivers` reached, every row full.
double arrival_table_bytes(std::size_t receivers, std::size_t capacity,
                           std::size_t frequencies);

// An empty table for `receivers` receivers.
ArrivalTable init_arrival_table(std::size_t receivers, std::size_t capacity,
                                std::size_t frequencies);

// How far (s) a delay may lie outside an arrival's span and still belong to it: 1e-5 of the
// delay plus 1 microsecond. Far above the paraxial delay error of neighbouring beams and the
// rounding of single-precision travel times; far below the separation of distinct paths and
// a period at any frequency a beam model resolves.
inline float arrival_delay_tolerance(float delay_s) {
    return 1e-5f * (delay_s < 0.0f ? -delay_s : delay_s) + 1e-6f;
}

// Offers the contribution of weight amplitude x path.reflection_rms at paraxial delay
// `delay_s` to `receiver`; returns where its per-frequency values must be added (the offset
// of the arrival's values in table.sums, valid until the next offer opens a row), or
// kNoArrival when it was dropped (a zero weight is never recorded: its values are zero).
inline constexpr std::ptrdiff_t kNoArrival = -1;
std::ptrdiff_t offer_contribution(ArrivalTable& table, std::size_t receiver,
                                  const ArrivalPath& path, float delay_s, float amplitude);

// Adds right into left and returns left; left holds the earlier beams. For each of right's
// rows in order, its arrivals are taken in order: each joins left's first arrival with the same
// counts whose span overlaps its own within the tolerance, or is added (or, when the table is
// full, competes with left's weakest). Sums add; the strongest contribution wins the
// directions, left on a tie. The same tree of merges gives the same bits.
ArrivalTable merge_arrival_tables(ArrivalTable left, ArrivalTable right);

// Turns the sums into amplitudes: each arrival's delay becomes its weighted mean delay, its
// values sum_k exp(-i 2 pi f_k delay) with f_k the frequencies (Hz) as configured; the rows
// are put in receiver order and each row's arrivals sorted by delay, then beam index. The phase
// is taken in double precision: 2 pi f delay reaches 1e5 rad, where single precision would
// leave phase errors of 1e-2 rad between the amplitudes and the sums they must reproduce.
void finalise_arrivals(ArrivalTable& table, std::span<const float> frequencies_hz);

} // namespace kelp::influence
