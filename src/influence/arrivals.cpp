#include "influence/arrivals.hpp"

#include "core/fatal.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <optional>

namespace kelp::influence {
namespace {

// The bounce counts as one word: a row's keys are scanned, compactly, before any arrival.
std::uint64_t counts_key(const ArrivalPath& p) {
    return (std::uint64_t{p.surface_bounces} << 32) | p.bottom_bounces;
}

// A key's bit in its row's summary: a row whose summary lacks the bit holds no arrival with
// those counts, which spares the scan of its keys for most of the weak paths a full row
// turns away (another cache line or more each).
std::uint64_t key_bit(std::uint64_t key) {
    return std::uint64_t{1} << ((key * 0x9E3779B97F4A7C15ull) >> 58);
}

// The summary of row i's keys, leaving out slot `skip`.
std::uint64_t key_summary(const ArrivalTable& table, std::size_t i, std::size_t skip) {
    std::uint64_t bits = 0;
    for (std::size_t j = 0; j < table.heads[i].count; ++j) {
        if (j != skip) bits |= key_bit(table.keys[i * table.capacity + j]);
    }
    return bits;
}

// Stores arrival a in slot j of row i, key included.
void store_arrival(ArrivalTable& table, std::size_t i, std::size_t j, const Arrival& a) {
    table.arrivals[i * table.capacity + j] = a;
    table.keys[i * table.capacity + j] = counts_key(a.path);
    table.weights[i * table.capacity + j] = a.weight_sum;
    table.heads[i].key_bits |= key_bit(table.keys[i * table.capacity + j]);
}

// The row of `receiver`, opened (empty) when it has none yet.
std::size_t row_for(ArrivalTable& table, std::size_t receiver) {
    std::uint32_t& slot = table.row_of[receiver];
    if (slot == 0) {
        table.heads.push_back({.receiver = static_cast<std::uint32_t>(receiver)});
        table.arrivals.resize(table.arrivals.size() + table.capacity);
        table.keys.resize(table.keys.size() + table.capacity);
        table.weights.resize(table.weights.size() + table.capacity);
        table.sums.resize(table.sums.size() + table.capacity * table.frequencies);
        slot = static_cast<std::uint32_t>(table.heads.size());
    }
    return slot - 1;
}

// The place in row i for a new arrival of total weight `weight`: the next free one, or the
// weakest arrival's when the newcomer outweighs it (a tie keeps the arrival already there);
// none when the newcomer is dropped. Counts what a full row drops.
std::optional<std::size_t> make_room(ArrivalTable& table, std::size_t i, float weight) {
    std::uint32_t& n = table.heads[i].count;
    if (n < table.capacity) return n++;
    ++table.heads[i].dropped;
    if (table.heads[i].weakest_weight < 0.0f) {
        const float* weights = table.weights.data() + i * table.capacity;
        std::uint32_t weakest = 0;
        for (std::uint32_t j = 1; j < n; ++j) {
            if (weights[j] < weights[weakest]) weakest = j;
        }
        table.heads[i].weakest = weakest;
        table.heads[i].weakest_weight = weights[weakest];
    }
    if (weight > table.heads[i].weakest_weight) {
        table.heads[i].weakest_weight = -1.0f; // the newcomer may be the weakest now
        table.heads[i].key_bits = key_summary(table, i, table.heads[i].weakest);
        return table.heads[i].weakest;
    }
    return std::nullopt;
}

// A join only ever adds weight: the weakest arrival stays the weakest unless it is the one
// that grew.
void note_growth(ArrivalTable& table, std::size_t i, std::size_t j) {
    if (table.heads[i].weakest == j) table.heads[i].weakest_weight = -1.0f;
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

// Adds one arrival's per-frequency sums to another's.
void add_values(std::span<Complex32> into, std::span<const Complex32> from) {
    for (std::size_t k = 0; k < into.size(); ++k) {
        into[k].re += from[k].re;
        into[k].im += from[k].im;
    }
}

// Whether the spans of two arrivals come within the tolerance of each other.
bool spans_meet(const Arrival& a, const Arrival& b) {
    const float tolerance = arrival_delay_tolerance(std::max(a.delay_hi, b.delay_hi));
    return b.delay_lo <= a.delay_hi + tolerance && b.delay_hi >= a.delay_lo - tolerance;
}

// Arrival j of row i has just grown: any other arrival with its counts that its span now
// meets belongs to the same path (two arrivals opened from the two ends of a beam's spread
// of delays, say) and is folded into it, the row's last arrival taking the freed slot.
// Returns j's slot afterwards.
std::size_t coalesce(ArrivalTable& table, std::size_t i, std::size_t j) {
    Arrival* row = table.arrivals.data() + i * table.capacity;
    std::uint64_t* keys = table.keys.data() + i * table.capacity;
    float* weights = table.weights.data() + i * table.capacity;
    for (std::size_t k = 0; k < table.heads[i].count;) {
        if (k == j || keys[k] != keys[j] || !spans_meet(row[j], row[k])) {
            ++k;
            continue;
        }
        absorb(row[j], row[k]);
        weights[j] = row[j].weight_sum;
        add_values(table.values(i, j), table.values(i, k));
        const std::size_t last = --table.heads[i].count;
        if (k != last) {
            row[k] = row[last];
            keys[k] = keys[last];
            weights[k] = weights[last];
            const std::span<const Complex32> moved = table.values(i, last);
            std::copy(moved.begin(), moved.end(), table.values(i, k).begin());
            if (j == last) j = k;
        }
        table.heads[i].weakest_weight = -1.0f;
        k = 0; // j's span grew again: look at every arrival once more
    }
    return j;
}

} // namespace

double arrival_table_bytes(std::size_t receivers, std::size_t capacity,
                           std::size_t frequencies) {
    const double n = static_cast<double>(receivers);
    const double slots = n * static_cast<double>(capacity);
    // Per receiver its row index and head; per slot the arrival, its key, its weight and its
    // values.
    return n * static_cast<double>(sizeof(std::uint32_t) + sizeof(ArrivalRow)) +
           slots *
               (static_cast<double>(sizeof(Arrival) + sizeof(std::uint64_t) + sizeof(float)) +
                static_cast<double>(frequencies) * static_cast<double>(sizeof(Complex32)));
}

ArrivalTable init_arrival_table(std::size_t receivers, std::size_t capacity,
                                std::size_t frequencies) {
    ArrivalTable table;
    table.capacity = capacity;
    table.receivers = receivers;
    table.frequencies = frequencies;
    table.row_of.assign(receivers, 0);
    return table;
}

DirectionAngles direction_angles(Vec3 d) {
    return {std::atan2(d.z, std::hypot(d.x, d.y)), std::atan2(d.x, d.y)};
}

std::ptrdiff_t offer_contribution(ArrivalTable& table, std::size_t receiver,
                                  const ArrivalPath& path, float delay_s, float amplitude) {
    const float weight = amplitude * path.reflection_rms;
    if (!(weight > 0.0f) || !std::isfinite(delay_s)) return kNoArrival;
    const std::size_t i = row_for(table, receiver);
    const float tolerance = arrival_delay_tolerance(delay_s);
    const Arrival offered{.delay_lo = delay_s,
                          .delay_hi = delay_s,
                          .path = path,
                          .weight_sum = weight,
                          .weighted_delay = weight * delay_s,
                          .strongest = weight};
    const std::uint64_t key = counts_key(path);
    const std::uint64_t* keys = table.keys.data() + i * table.capacity;
    const std::size_t n =
        (table.heads[i].key_bits & key_bit(key)) != 0 ? table.heads[i].count : 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (keys[j] != key) continue;
        Arrival& a = table.arrivals[i * table.capacity + j];
        if (delay_s >= a.delay_lo - tolerance && delay_s <= a.delay_hi + tolerance) {
            const bool grew = delay_s < a.delay_lo || delay_s > a.delay_hi;
            absorb(a, offered);
            table.weights[i * table.capacity + j] = a.weight_sum;
            note_growth(table, i, j);
            const std::size_t at = grew ? coalesce(table, i, j) : j;
            return static_cast<std::ptrdiff_t>((i * table.capacity + at) * table.frequencies);
        }
    }
    const std::optional<std::size_t> j = make_room(table, i, weight);
    if (!j) return kNoArrival;
    store_arrival(table, i, *j, offered);
    const std::span<Complex32> sums = table.values(i, *j);
    std::fill(sums.begin(), sums.end(), Complex32{});
    return static_cast<std::ptrdiff_t>((i * table.capacity + *j) * table.frequencies);
}

ArrivalTable merge_arrival_tables(ArrivalTable left, ArrivalTable right) {
    KELP_DCHECK_EQ(left.receivers, right.receivers);
    KELP_DCHECK_EQ(left.capacity, right.capacity);
    KELP_DCHECK_EQ(left.frequencies, right.frequencies);
    for (std::size_t ri = 0; ri < right.rows(); ++ri) {
        const std::size_t i = row_for(left, right.heads[ri].receiver);
        left.heads[i].dropped += right.heads[ri].dropped;
        for (std::size_t rj = 0; rj < right.heads[ri].count; ++rj) {
            const Arrival& b = right.row(ri)[rj];
            const std::span<const Complex32> b_sums = right.values(ri, rj);
            std::optional<std::size_t> slot;
            const std::span<Arrival> row = left.row(i);
            const std::uint64_t key = counts_key(b.path);
            for (std::size_t j = 0; j < row.size() && !slot; ++j) {
                if (left.keys[i * left.capacity + j] == key && spans_meet(row[j], b)) slot = j;
            }
            if (slot) {
                absorb(row[*slot], b);
                left.weights[i * left.capacity + *slot] = row[*slot].weight_sum;
                note_growth(left, i, *slot);
                add_values(left.values(i, *slot), b_sums);
                coalesce(left, i, *slot);
                continue;
            }
            slot = make_room(left, i, b.weight_sum);
            if (!slot) continue;
            store_arrival(left, i, *slot, b);
            std::copy(b_sums.begin(), b_sums.end(), left.values(i, *slot).begin());
        }
    }
    return left;
}

void finalise_arrivals(ArrivalTable& table, std::span<const float> frequencies_hz) {
    KELP_DCHECK_EQ(frequencies_hz.size(), table.frequencies);
    const std::size_t nf = table.frequencies;
    const std::size_t cap = table.capacity;
    ArrivalTable sorted = init_arrival_table(table.receivers, cap, nf);
    const std::size_t rows = table.rows();
    sorted.heads.reserve(rows);
    sorted.arrivals.resize(rows * cap);
    sorted.keys.resize(rows * cap);
    sorted.weights.resize(rows * cap);
    sorted.sums.resize(rows * cap * nf);
    std::vector<std::uint32_t> order(cap);
    for (std::size_t r = 0; r < table.receivers; ++r) {
        if (table.row_of[r] == 0) continue;
        const std::size_t i = table.row_of[r] - 1;
        const std::span<Arrival> row = table.row(i);
        for (std::size_t j = 0; j < row.size(); ++j) {
            Arrival& a = row[j];
            const float mean = a.weighted_delay / a.weight_sum;
            a.delay_s =
                std::clamp(std::isfinite(mean) ? mean : 0.5f * (a.delay_lo + a.delay_hi),
                           a.delay_lo, a.delay_hi);
            const auto delay = static_cast<double>(a.delay_s);
            const std::span<Complex32> v = table.values(i, j);
            for (std::size_t k = 0; k < nf; ++k) {
                const double phase =
                    -2.0 * std::numbers::pi * static_cast<double>(frequencies_hz[k]) * delay;
                const double c = std::cos(phase), s = std::sin(phase);
                const auto re = static_cast<double>(v[k].re), im = static_cast<double>(v[k].im);
                v[k] = {static_cast<float>(re * c - im * s),
                        static_cast<float>(re * s + im * c)};
            }
        }
        const auto n = static_cast<std::ptrdiff_t>(row.size());
        std::iota(order.begin(), order.begin() + n, 0u);
        std::stable_sort(order.begin(), order.begin() + n,
                         [row](std::uint32_t x, std::uint32_t y) {
                             if (row[x].delay_s != row[y].delay_s)
                                 return row[x].delay_s < row[y].delay_s;
                             return row[x].path.beam_index < row[y].path.beam_index;
                         });
        const std::size_t out = sorted.heads.size();
        sorted.heads.push_back({.receiver = static_cast<std::uint32_t>(r),
                                .count = table.heads[i].count,
                                .dropped = table.heads[i].dropped});
        sorted.row_of[r] = static_cast<std::uint32_t>(out + 1);
        for (std::size_t j = 0; j < row.size(); ++j) {
            store_arrival(sorted, out, j, row[order[j]]);
            const std::span<const Complex32> v = table.values(i, order[j]);
            std::copy(v.begin(), v.end(), sorted.values(out, j).begin());
        }
    }
    table = std::move(sorted);
}

} // namespace kelp::influence
