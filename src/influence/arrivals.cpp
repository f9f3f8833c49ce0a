#include "influence/arrivals.hpp"

#include "core/fatal.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <optional>

namespace kelp::influence {
namespace {

bool same_counts(const ArrivalPath& a, const ArrivalPath& b) {
    return a.surface_bounces == b.surface_bounces && a.bottom_bounces == b.bottom_bounces;
}

// The level an arrival competes with when a table is full: rms over the frequencies of |sum|
// (for a single contribution, its weight).
float arrival_level(std::span<const Complex32> sums) {
    float power = 0.0f;
    for (const Complex32 s : sums)
        power += s.re * s.re + s.im * s.im;
    return std::sqrt(power / static_cast<float>(std::max<std::size_t>(sums.size(), 1)));
}

// The slot of the weakest arrival of a full receiver row.
std::size_t weakest_arrival(const ArrivalTable& table, std::size_t receiver, float& level) {
    std::size_t weakest = 0;
    level = arrival_level(table.values(receiver, 0));
    for (std::size_t j = 1; j < table.count[receiver]; ++j) {
        const float l = arrival_level(table.values(receiver, j));
        if (l < level) {
            level = l;
            weakest = j;
        }
    }
    return weakest;
}

// The slot a new arrival of `level` goes to: the next free one, or the weakest's when it is
// weaker than the newcomer (a tie keeps the arrival already there); none when the newcomer is
// dropped. Counts what is dropped.
std::optional<std::size_t> make_room(ArrivalTable& table, std::size_t receiver, float level) {
    std::uint32_t& n = table.count[receiver];
    if (n < table.capacity) return n++;
    ++table.dropped[receiver];
    float weakest_level = 0.0f;
    const std::size_t weakest = weakest_arrival(table, receiver, weakest_level);
    if (level > weakest_level) return weakest;
    return std::nullopt;
}

void absorb(Arrival& into, const Arrival& from) {
    into.delay_lo = std::min(into.delay_lo, from.delay_lo);
    into.delay_hi = std::max(into.delay_hi, from.delay_hi);
    into.weight_sum += from.weight_sum;
    into.weighted_delay += from.weighted_delay;
    if (from.strongest > into.strongest) {
        into.strongest = from.strongest;
        into.path = from.path;
    }
}

} // namespace

double arrival_table_bytes(std::size_t receivers, std::size_t capacity,
                           std::size_t frequencies) {
    const double slots = static_cast<double>(receivers) * static_cast<double>(capacity);
    return static_cast<double>(receivers) *
               static_cast<double>(sizeof(std::uint32_t) + sizeof(std::uint64_t)) +
           slots * (static_cast<double>(sizeof(Arrival)) +
                    static_cast<double>(frequencies) * static_cast<double>(sizeof(Complex32)));
}

ArrivalTable init_arrival_table(std::size_t receivers, std::size_t capacity,
                                std::size_t frequencies) {
    ArrivalTable table;
    table.capacity = capacity;
    table.receivers = receivers;
    table.frequencies = frequencies;
    table.count.assign(receivers, 0);
    table.dropped.assign(receivers, 0);
    table.arrivals = std::make_unique_for_overwrite<Arrival[]>(receivers * capacity);
    table.sums =
        std::make_unique_for_overwrite<Complex32[]>(receivers * capacity * frequencies);
    return table;
}

float arrival_delay_tolerance(float delay_s) {
    return 1e-5f * std::fabs(delay_s) + 1e-6f;
}

std::span<Complex32> offer_contribution(ArrivalTable& table, std::size_t receiver,
                                        const ArrivalPath& path, float delay_s,
                                        float amplitude) {
    const float weight = amplitude * path.reflection_rms;
    if (!(weight > 0.0f) || !std::isfinite(delay_s)) return {};
    Arrival* row = table.arrivals.get() + receiver * table.capacity;
    const float tolerance = arrival_delay_tolerance(delay_s);
    for (std::size_t j = 0; j < table.count[receiver]; ++j) {
        Arrival& a = row[j];
        if (same_counts(a.path, path) && delay_s >= a.delay_lo - tolerance &&
            delay_s <= a.delay_hi + tolerance) {
            absorb(a, {.delay_lo = delay_s,
                       .delay_hi = delay_s,
                       .weight_sum = weight,
                       .weighted_delay = weight * delay_s,
                       .strongest = weight,
                       .path = path});
            return table.values(receiver, j);
        }
    }
    const std::optional<std::size_t> slot = make_room(table, receiver, weight);
    if (!slot) return {};
    row[*slot] = {.delay_lo = delay_s,
                  .delay_hi = delay_s,
                  .weight_sum = weight,
                  .weighted_delay = weight * delay_s,
                  .strongest = weight,
                  .path = path};
    const std::span<Complex32> sums = table.values(receiver, *slot);
    std::fill(sums.begin(), sums.end(), Complex32{});
    return sums;
}

ArrivalTable merge_arrival_tables(ArrivalTable left, ArrivalTable right) {
    KELP_DCHECK_EQ(left.receivers, right.receivers);
    KELP_DCHECK_EQ(left.capacity, right.capacity);
    KELP_DCHECK_EQ(left.frequencies, right.frequencies);
    for (std::size_t r = 0; r < left.receivers; ++r) {
        left.dropped[r] += right.dropped[r];
        Arrival* row = left.arrivals.get() + r * left.capacity;
        for (std::size_t i = 0; i < right.count[r]; ++i) {
            const Arrival& b = right.arrivals[r * right.capacity + i];
            const std::span<const Complex32> b_sums = right.values(r, i);
            std::optional<std::size_t> slot;
            for (std::size_t j = 0; j < left.count[r] && !slot; ++j) {
                const Arrival& a = row[j];
                const float tolerance =
                    arrival_delay_tolerance(std::max(a.delay_hi, b.delay_hi));
                if (same_counts(a.path, b.path) && b.delay_lo <= a.delay_hi + tolerance &&
                    b.delay_hi >= a.delay_lo - tolerance)
                    slot = j;
            }
            if (slot) {
                absorb(row[*slot], b);
                const std::span<Complex32> sums = left.values(r, *slot);
                for (std::size_t k = 0; k < sums.size(); ++k) {
                    sums[k].re += b_sums[k].re;
                    sums[k].im += b_sums[k].im;
                }
                continue;
            }
            slot = make_room(left, r, arrival_level(b_sums));
            if (!slot) continue;
            row[*slot] = b;
            std::copy(b_sums.begin(), b_sums.end(), left.values(r, *slot).begin());
        }
    }
    return left;
}

void finalise_arrivals(ArrivalTable& table, std::span<const float> frequencies_hz) {
    KELP_DCHECK_EQ(frequencies_hz.size(), table.frequencies);
    const std::size_t nf = table.frequencies;
    std::vector<std::uint32_t> order(table.capacity);
    std::vector<Arrival> arrivals(table.capacity);
    std::vector<Complex32> sums(table.capacity * nf);
    for (std::size_t r = 0; r < table.receivers; ++r) {
        const std::size_t n = table.count[r];
        Arrival* row = table.arrivals.get() + r * table.capacity;
        for (std::size_t j = 0; j < n; ++j) {
            Arrival& a = row[j];
            const float mean = a.weighted_delay / a.weight_sum;
            a.delay_s =
                std::clamp(std::isfinite(mean) ? mean : 0.5f * (a.delay_lo + a.delay_hi),
                           a.delay_lo, a.delay_hi);
            const auto delay = static_cast<double>(a.delay_s);
            const std::span<Complex32> v = table.values(r, j);
            for (std::size_t k = 0; k < nf; ++k) {
                const double phase =
                    -2.0 * std::numbers::pi * static_cast<double>(frequencies_hz[k]) * delay;
                const double c = std::cos(phase), s = std::sin(phase);
                const auto re = static_cast<double>(v[k].re), im = static_cast<double>(v[k].im);
                v[k] = {static_cast<float>(re * c - im * s),
                        static_cast<float>(re * s + im * c)};
            }
        }
        std::iota(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n), 0u);
        std::stable_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n),
                         [row](std::uint32_t i, std::uint32_t j) {
                             if (row[i].delay_s != row[j].delay_s)
                                 return row[i].delay_s < row[j].delay_s;
                             return row[i].path.beam_index < row[j].path.beam_index;
                         });
        for (std::size_t j = 0; j < n; ++j) {
            arrivals[j] = row[order[j]];
            const std::span<const Complex32> v = table.values(r, order[j]);
            std::copy(v.begin(), v.end(), sums.begin() + static_cast<std::ptrdiff_t>(j * nf));
        }
        for (std::size_t j = 0; j < n; ++j) {
            row[j] = arrivals[j];
            std::copy_n(sums.begin() + static_cast<std::ptrdiff_t>(j * nf), nf,
                        table.values(r, j).begin());
        }
    }
}

} // namespace kelp::influence
