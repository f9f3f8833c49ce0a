// The arrivals table: which contributions form one arrival, what a full row keeps, that a
// merge of two parts of a fan gives what one table fed with all of it gives, and that the
// finalised amplitudes reproduce the summed contributions.

#include "influence/arrivals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <tuple>
#include <vector>

// The references are double precision.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

namespace kelp::influence {
namespace {

// A contribution: receiver, bounce counts, paraxial delay (s), amplitude, and its value at
// the table's single frequency.
struct Offer {
    std::size_t receiver;
    std::uint32_t surface, bottom;
    float delay_s, amplitude;
    std::uint64_t beam = 0;
};

// Offers each contribution with the value amplitude (real), as the kernel adds it.
void feed(ArrivalTable& t, const std::vector<Offer>& offers) {
    for (const Offer& o : offers) {
        const ArrivalPath path{
            .surface_bounces = o.surface, .bottom_bounces = o.bottom, .beam_index = o.beam};
        const std::ptrdiff_t at =
            offer_contribution(t, o.receiver, path, o.delay_s, o.amplitude);
        if (at != kNoArrival) t.sums[static_cast<std::size_t>(at)].re += o.amplitude;
    }
}

std::vector<float> delays_of(const ArrivalTable& t, std::size_t receiver) {
    std::vector<float> out;
    if (t.row_of[receiver] == 0) return out;
    for (const Arrival& a : t.row(t.row_of[receiver] - 1))
        out.push_back(a.delay_s);
    return out;
}

struct TableCase {
    const char* name;
    std::size_t capacity;
    std::vector<Offer> offers;
    std::vector<float> delays; // receiver 0 after finalising, in order
    std::uint64_t dropped;
};

class TableRules : public testing::TestWithParam<TableCase> {};

TEST_P(TableRules, GroupsKeepsAndDrops) {
    const TableCase& c = GetParam();
    ArrivalTable t = init_arrival_table(2, c.capacity, 1);
    feed(t, c.offers);
    const float f = 0.0f; // no rotation: amplitudes stay the sums
    finalise_arrivals(t, {&f, 1});
    const std::vector<float> got = delays_of(t, 0);
    ASSERT_EQ(got.size(), c.delays.size());
    for (std::size_t j = 0; j < got.size(); ++j)
        EXPECT_NEAR(got[j], c.delays[j], 1e-7f) << j;
    EXPECT_EQ(t.row_of[0] ? t.heads[t.row_of[0] - 1].dropped : 0u, c.dropped);
}

// At 1 s the tolerance is 11 us. Weighted means: (1 x 1.000 + 3 x 1.000008) / 4 = 1.000006.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Arrivals, TableRules, testing::Values(
    TableCase{"JoinWithinTolerance", 4, {{0, 0, 0, 1.0f, 1.0f}, {0, 0, 0, 1.000008f, 3.0f}},
              {1.000006f}, 0},
    TableCase{"SeparateBeyondTolerance", 4, {{0, 0, 0, 1.000012f, 1.0f}, {0, 0, 0, 1.0f, 1.0f}},
              {1.0f, 1.000012f}, 0},
    TableCase{"SeparateByCounts", 4, {{0, 0, 0, 1.0f, 1.0f}, {0, 1, 0, 1.0f, 1.0f},
                                      {0, 0, 1, 1.0f, 1.0f}},
              {1.0f, 1.0f, 1.0f}, 0},
    TableCase{"ChainWidensTheSpan", 4, {{0, 0, 0, 1.0f, 1.0f}, {0, 0, 0, 1.00001f, 1.0f},
                                        {0, 0, 0, 1.00002f, 1.0f}},
              {1.00001f}, 0},
    TableCase{"GrowingSpansCoalesce", 4, {{0, 0, 0, 1.0f, 1.0f}, {0, 0, 0, 1.00002f, 1.0f},
                                          {0, 0, 0, 1.00001f, 1.0f}},
              {1.00001f}, 0},
    TableCase{"FullRowDropsTheWeakerNewcomer", 2,
              {{0, 0, 0, 1.0f, 2.0f}, {0, 0, 0, 2.0f, 3.0f}, {0, 0, 0, 3.0f, 1.0f}},
              {1.0f, 2.0f}, 1},
    TableCase{"FullRowReplacesItsWeakest", 2,
              {{0, 0, 0, 1.0f, 2.0f}, {0, 0, 0, 2.0f, 3.0f}, {0, 0, 0, 3.0f, 5.0f}},
              {2.0f, 3.0f}, 1},
    TableCase{"ZeroWeightIsNeverRecorded", 1, {{0, 0, 0, 1.0f, 0.0f}, {0, 0, 0, 2.0f, 1.0f}},
              {2.0f}, 0},
    TableCase{"OtherReceiversDoNotCount", 1, {{1, 0, 0, 1.0f, 1.0f}, {0, 0, 0, 2.0f, 1.0f}},
              {2.0f}, 0}),
    [](const testing::TestParamInfo<TableCase>& info) { return std::string(info.param.name); });
// clang-format on

// Merging the tables of two halves of a fan equals one table fed with the whole fan when no
// row fills up: same arrivals, same sums.
TEST(Arrivals, MergeOfTwoPartsEqualsOneTable) {
    const std::vector<Offer> first{
        {0, 0, 0, 1.0f, 1.0f, 0}, {1, 1, 0, 2.0f, 1.0f, 0}, {0, 1, 0, 1.5f, 0.5f, 1}};
    const std::vector<Offer> second{
        {0, 0, 0, 1.000005f, 2.0f, 2}, {1, 1, 0, 3.0f, 1.0f, 2}, {0, 2, 0, 1.7f, 0.25f, 3}};
    ArrivalTable whole = init_arrival_table(2, 4, 1), left = whole, right = whole;
    feed(whole, first);
    feed(whole, second);
    feed(left, first);
    feed(right, second);
    ArrivalTable merged = merge_arrival_tables(std::move(left), std::move(right));
    const float f = 100.0f;
    finalise_arrivals(whole, {&f, 1});
    finalise_arrivals(merged, {&f, 1});
    ASSERT_EQ(merged.rows(), whole.rows());
    for (std::size_t i = 0; i < whole.rows(); ++i) {
        ASSERT_EQ(merged.heads[i].count, whole.heads[i].count);
        for (std::size_t j = 0; j < whole.heads[i].count; ++j) {
            const Arrival &a = whole.row(i)[j], &b = merged.row(i)[j];
            EXPECT_EQ(b.delay_s, a.delay_s);
            EXPECT_EQ(b.path.beam_index, a.path.beam_index); // the strongest contribution's
            EXPECT_EQ(b.path.surface_bounces, a.path.surface_bounces);
            EXPECT_EQ(merged.values(i, j)[0].re, whole.values(i, j)[0].re);
        }
    }
    EXPECT_EQ(merged.row(0)[0].path.beam_index, 2u);
    EXPECT_EQ(merged.heads[0].count, 3u);
}

// The finalised amplitudes turn back into the summed contributions: sum_k A_k exp(i 2 pi f T)
// at every frequency, with T the weighted mean delay, to single-precision rounding even where
// 2 pi f T is 1e5 rad.
TEST(Arrivals, AmplitudesReproduceTheSums) {
    const std::vector<float> freqs{10.0f, 250.0f, 1500.0f};
    ArrivalTable t = init_arrival_table(1, 2, freqs.size());
    const ArrivalPath path{};
    const std::complex<double> c1(0.3, -0.2), c2(-0.1, 0.05);
    for (const auto& [delay, amp, c] : {std::tuple{10.0f, 1.0f, c1}, {10.00005f, 0.5f, c2}}) {
        const std::ptrdiff_t at = offer_contribution(t, 0, path, delay, amp);
        ASSERT_NE(at, kNoArrival);
        for (std::size_t k = 0; k < freqs.size(); ++k) {
            t.sums[static_cast<std::size_t>(at) + k].re += static_cast<float>(c.real());
            t.sums[static_cast<std::size_t>(at) + k].im += static_cast<float>(c.imag());
        }
    }
    const std::vector<Complex32> sums(t.sums.begin(), t.sums.begin() + 3);
    finalise_arrivals(t, freqs);
    const Arrival& a = t.row(0)[0];
    EXPECT_NEAR(a.delay_s, (10.0 + 0.5 * 10.00005) / 1.5, 2e-6);
    for (std::size_t k = 0; k < freqs.size(); ++k) {
        const Complex32 v = t.values(0, 0)[k];
        const std::complex<double> back =
            std::complex<double>(v.re, v.im) *
            std::exp(std::complex<double>(0.0, 2.0 * M_PI * freqs[k] * a.delay_s));
        EXPECT_NEAR(back.real(), sums[k].re, 1e-6) << k;
        EXPECT_NEAR(back.imag(), sums[k].im, 1e-6) << k;
    }
}

TEST(Arrivals, DirectionAnglesFollowTheLaunchConvention) {
    // Down-going along +x at 30 degrees below the horizontal: elevation +30, azimuth 90.
    const DirectionAngles a =
        direction_angles({std::cos(0.5235988f), 0.0f, std::sin(0.5235988f)});
    EXPECT_NEAR(a.elevation_rad, 0.5235988f, 1e-6f);
    EXPECT_NEAR(a.azimuth_rad, 1.5707964f, 1e-6f);
}

} // namespace
} // namespace kelp::influence
