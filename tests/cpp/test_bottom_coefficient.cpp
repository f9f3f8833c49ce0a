// Plane-wave reflection coefficient of the bottom against the Rayleigh formula of a fluid
// half-space, derived here in double precision, and the limits and symmetries of the fluid
// and solid models.

#include "core/constants.hpp"
#include "test_names.hpp"

#include "reflect/reflect.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace kelp::reflect {
namespace {

constexpr double kPiD = 3.14159265358979323846;
constexpr float kWater = 1500.0f;
constexpr float kRhoW = 1.0f;

// Slowness of a ray moving down onto a flat bottom (normal +z) at `grazing_rad` above it.
Vec3 incident_slowness(double grazing_rad, double c = kWater) {
    return {static_cast<float>(std::cos(grazing_rad) / c), 0.0f,
            static_cast<float>(std::sin(grazing_rad) / c)};
}
constexpr Vec3 kDown{0.0f, 0.0f, 1.0f};

double rad(double deg) {
    return deg * kPiD / 180.0;
}

// Rayleigh coefficient of a fluid half-space for time dependence exp(-i omega t) (the one
// the model's exp(+i omega tau) phase implies): R = (rho_b kz_w - rho_w kz_b) /
// (rho_b kz_w + rho_w kz_b), with the bottom wavenumber k_b = omega / cp + i delta
// (delta in nepers per metre) and kz_b the root whose field exp(i kz_b z) stays bounded in
// the bottom, Im kz_b >= 0.
std::complex<double> rayleigh(double grazing_rad, double cp, double rho_b, double atten_db,
                              double f_hz, double c = kWater, double rho_w = kRhoW) {
    const double w = 2.0 * kPiD * f_hz;
    const double kr = w / c * std::cos(grazing_rad);
    const double kz_w = w / c * std::sin(grazing_rad);
    const double delta = atten_db * std::log(10.0) / 20.0 / (cp / f_hz);
    const std::complex<double> kb(w / cp, delta);
    std::complex<double> kz_b = std::sqrt(kb * kb - kr * kr);
    if (kz_b.imag() < 0.0) kz_b = -kz_b;
    return (rho_b * kz_w - rho_w * kz_b) / (rho_b * kz_w + rho_w * kz_b);
}

Complex32 fluid_r(double grazing_rad, float cp, float rho_b, float atten_db, float f_hz) {
    const bty::BottomModel m = bty::AcousticBottom{cp, rho_b, atten_db};
    return compute_bottom_reflection_coefficient(m, incident_slowness(grazing_rad), kDown,
                                                 kWater, kRhoW, kTwoPi * f_hz);
}

Complex32 elastic_r(double grazing_rad, float cp, float cs, float rho_b, float ap, float as,
                    float f_hz) {
    const bty::BottomModel m = bty::ElasticBottom{cp, cs, rho_b, ap, as};
    return compute_bottom_reflection_coefficient(m, incident_slowness(grazing_rad), kDown,
                                                 kWater, kRhoW, kTwoPi * f_hz);
}

double distance(Complex32 a, std::complex<double> b) {
    return std::abs(std::complex<double>(a.re, a.im) - b);
}
double distance(Complex32 a, Complex32 b) {
    return std::hypot(a.re - b.re, a.im - b.im);
}
double modulus(Complex32 a) {
    return std::hypot(a.re, a.im);
}

TEST(BottomCoefficient, EarlyAnswersAreOne) {
    const std::vector<bty::BottomModel> models = {
        bty::RigidBottom{}, bty::AcousticBottom{1600.0f, 1.8f, 0.5f},
        bty::ElasticBottom{2000.0f, 800.0f, 2.0f, 0.5f, 1.0f}};
    for (double g : {1.0, 10.0, 45.0, 90.0}) {
        for (float omega : {0.0f, 628.0f, -6283.0f}) {
            const Vec3 t = incident_slowness(rad(g));
            const Complex32 rigid =
                compute_bottom_reflection_coefficient(models[0], t, kDown, kWater, 1.0f, omega);
            EXPECT_EQ(rigid.re, 1.0f);
            EXPECT_EQ(rigid.im, 0.0f);
            for (const auto& m : models) {
                const Complex32 at_zero =
                    compute_bottom_reflection_coefficient(m, t, kDown, kWater, 1.0f, 0.0f);
                EXPECT_EQ(at_zero.re, 1.0f);
                EXPECT_EQ(at_zero.im, 0.0f);
                for (Vec3 n : {Vec3{}, Vec3{0.0f, 0.0f, 1e-13f}}) {
                    const Complex32 r =
                        compute_bottom_reflection_coefficient(m, t, n, kWater, 1.0f, omega);
                    EXPECT_EQ(r.re, 1.0f);
                    EXPECT_EQ(r.im, 0.0f);
                }
            }
        }
    }
}

struct FluidCase {
    float cp, rho_b, atten_db, f_hz;
};

class RayleighTable : public ::testing::TestWithParam<FluidCase> {};

// From normal incidence to 1 degree of grazing, lossless and lossy, slower and faster
// bottoms. Single precision carries relative errors of a few 1e-7 through the wavenumbers;
// the square root of kr^2 - k^2 amplifies them near the critical angle, where the tolerance
// is relaxed (a 2e-6 relative error in X gives about 1e-3 / sqrt(|X| / k^2)).
TEST_P(RayleighTable, MatchesDoublePrecisionHalfSpace) {
    const FluidCase fc = GetParam();
    const double crit = fc.cp > kWater ? std::acos(double{kWater} / double{fc.cp}) : -1.0;
    for (double g_deg = 90.0; g_deg >= 1.0; g_deg -= 0.5) {
        const double g = rad(g_deg);
        const std::complex<double> ref = rayleigh(g, fc.cp, fc.rho_b, fc.atten_db, fc.f_hz);
        const Complex32 r = fluid_r(g, fc.cp, fc.rho_b, fc.atten_db, fc.f_hz);
        const double tol = std::fabs(g - crit) < rad(1.0) ? 1e-3 : 2e-5;
        EXPECT_LT(distance(r, ref), tol) << "grazing " << g_deg << " deg";
    }
}

INSTANTIATE_TEST_SUITE_P(Bottoms, RayleighTable,
                         ::testing::Values(FluidCase{1600.0f, 1.8f, 0.0f, 100.0f},
                                           FluidCase{1600.0f, 1.8f, 0.5f, 100.0f},
                                           FluidCase{1800.0f, 2.1f, 0.2f, 1000.0f},
                                           FluidCase{1450.0f, 1.5f, 0.0f, 50.0f},
                                           FluidCase{1450.0f, 1.5f, 1.0f, 50.0f}),
                         [](const auto& info) {
                             const FluidCase& c = info.param;
                             return "Cp" + test::number_name(c.cp) + "Rho" +
                                    test::number_name(c.rho_b) + "Atten" +
                                    test::number_name(c.atten_db) + "F" +
                                    test::number_name(c.f_hz);
                         });

TEST(BottomCoefficient, CriticalAngleSplitsRealAndTotalReflection) {
    const double crit = std::acos(1500.0 / 1600.0); // 20.36 degrees
    for (double g = crit + rad(0.5); g < rad(90.0); g += rad(3.0)) {
        const Complex32 r = fluid_r(g, 1600.0f, 1.8f, 0.0f, 100.0f);
        EXPECT_NEAR(r.im, 0.0f, 1e-6f) << g;
        EXPECT_LT(modulus(r), 1.0);
    }
    for (double g = rad(1.0); g < crit - rad(0.5); g += rad(2.0)) {
        const Complex32 lossless = fluid_r(g, 1600.0f, 1.8f, 0.0f, 100.0f);
        EXPECT_NEAR(modulus(lossless), 1.0, 2e-6) << g;
        EXPECT_GT(std::fabs(lossless.im), 0.05f) << g;
        EXPECT_LT(modulus(fluid_r(g, 1600.0f, 1.8f, 0.5f, 100.0f)), 0.999) << g;
    }
}

TEST(BottomCoefficient, NormalIncidenceIsImpedanceContrast) {
    for (auto [cp, rho_b] : {std::pair{1600.0f, 1.8f}, {1450.0f, 1.2f}, {3000.0f, 2.5f}}) {
        const Complex32 r = fluid_r(rad(90.0), cp, rho_b, 0.0f, 200.0f);
        const float z = rho_b * cp, zw = kRhoW * kWater;
        EXPECT_NEAR(r.re, (z - zw) / (z + zw), 1e-6f);
        EXPECT_NEAR(r.im, 0.0f, 1e-6f);
    }
}

TEST(BottomCoefficient, MatchedBottomReflectsNothing) {
    for (double g_deg : {10.0, 30.0, 60.0, 89.0}) {
        const Complex32 r = fluid_r(rad(g_deg), kWater, kRhoW, 0.0f, 100.0f);
        EXPECT_LT(modulus(r), 1e-5) << g_deg;
    }
    // Powers of two make every rounding cancel at normal incidence; the residue is flushed.
    const bty::BottomModel m = bty::AcousticBottom{1024.0f, 1.0f, 0.0f};
    const Complex32 r = compute_bottom_reflection_coefficient(m, {0.0f, 0.0f, 1.0f / 1024.0f},
                                                              kDown, 1024.0f, 1.0f, 512.0f);
    EXPECT_EQ(r.re, 0.0f);
    EXPECT_EQ(r.im, 0.0f);
}

TEST(BottomCoefficient, TendsToMinusOneAtGrazing) {
    double previous = 2.0;
    for (double g : {1e-2, 1e-3, 1e-4}) {
        const double miss =
            distance(fluid_r(g, 1600.0f, 1.8f, 0.5f, 100.0f), std::complex<double>(-1.0, 0.0));
        EXPECT_LT(miss, previous);
        previous = miss;
    }
    EXPECT_LT(previous, 2e-3); // R + 1 is of order 10 theta here
}

TEST(BottomCoefficient, NegativeFrequencyConjugates) {
    const std::vector<bty::BottomModel> models = {
        bty::AcousticBottom{1600.0f, 1.8f, 0.5f},
        bty::ElasticBottom{2000.0f, 800.0f, 2.0f, 0.5f, 1.0f}};
    for (const auto& m : models) {
        for (double g_deg : {5.0, 20.0, 70.0}) {
            const Vec3 t = incident_slowness(rad(g_deg));
            const Complex32 pos =
                compute_bottom_reflection_coefficient(m, t, kDown, kWater, 1.0f, 628.0f);
            const Complex32 neg =
                compute_bottom_reflection_coefficient(m, t, kDown, kWater, 1.0f, -628.0f);
            EXPECT_EQ(neg.re, pos.re);
            EXPECT_EQ(neg.im, -pos.im);
        }
    }
}

TEST(BottomCoefficient, ZeroOrNegativeAttenuationIsLossless) {
    for (double g_deg : {5.0, 20.0, 70.0}) {
        const Complex32 none = fluid_r(rad(g_deg), 1600.0f, 1.8f, 0.0f, 100.0f);
        const Complex32 negative = fluid_r(rad(g_deg), 1600.0f, 1.8f, -3.0f, 100.0f);
        EXPECT_EQ(none.re, negative.re);
        EXPECT_EQ(none.im, negative.im);
        const Complex32 e0 = elastic_r(rad(g_deg), 2000.0f, 800.0f, 2.0f, 0.0f, 0.0f, 100.0f);
        const Complex32 en = elastic_r(rad(g_deg), 2000.0f, 800.0f, 2.0f, -1.0f, -2.0f, 100.0f);
        EXPECT_EQ(e0.re, en.re);
        EXPECT_EQ(e0.im, en.im);
    }
}

// Beyond the critical angle the lossless coefficient must be the limit of the lossy one:
// the bottom wave is evanescent and decays away from the boundary. For 1600 m/s, 1.8 g/cm^3
// at 10 degrees the textbook value is about 0.036 - 0.999i (the other branch of the decay
// constant would give its conjugate).
TEST(BottomCoefficient, LosslessIsLimitOfTinyLoss) {
    const Complex32 lossless = fluid_r(rad(10.0), 1600.0f, 1.8f, 0.0f, 100.0f);
    EXPECT_NEAR(lossless.re, 0.036f, 2e-3f);
    EXPECT_NEAR(lossless.im, -0.999f, 2e-3f);
    EXPECT_LT(distance(lossless, rayleigh(rad(10.0), 1600.0, 1.8, 0.0, 100.0)), 2e-5);

    for (double g_deg : {2.0, 10.0, 15.0, 25.0, 45.0, 80.0}) {
        const double g = rad(g_deg);
        EXPECT_LT(distance(fluid_r(g, 1600.0f, 1.8f, 0.0f, 100.0f),
                           fluid_r(g, 1600.0f, 1.8f, 1e-6f, 100.0f)),
                  1e-5)
            << "acoustic, " << g_deg << " deg";
        EXPECT_LT(distance(elastic_r(g, 1700.0f, 400.0f, 1.9f, 0.0f, 0.0f, 100.0f),
                           elastic_r(g, 1700.0f, 400.0f, 1.9f, 1e-6f, 1e-6f, 100.0f)),
                  1e-5)
            << "elastic, " << g_deg << " deg";
    }
}

// As the shear speed vanishes the solid's coefficient approaches the fluid's; the residue
// shrinks roughly in proportion to cs^2 (the shear modulus).
TEST(BottomCoefficient, ElasticTendsToAcousticAsShearVanishes) {
    for (double g_deg : {5.0, 15.0, 30.0, 60.0, 90.0}) {
        const double g = rad(g_deg);
        const Complex32 fluid = fluid_r(g, 1600.0f, 1.8f, 0.3f, 100.0f);
        double previous = 1e9;
        for (float cs : {100.0f, 10.0f, 1.0f}) {
            const double miss =
                distance(elastic_r(g, 1600.0f, cs, 1.8f, 0.3f, 0.3f, 100.0f), fluid);
            EXPECT_LT(miss, previous) << g_deg << " deg, cs " << cs;
            previous = miss;
        }
        EXPECT_LT(previous, 1e-4) << g_deg << " deg";
    }
}

} // namespace
} // namespace kelp::reflect
