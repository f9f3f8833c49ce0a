#include "core/constants.hpp"
#include "reflect/reflect.hpp"

#include <cmath>
#include <variant>

namespace kelp::reflect {
namespace {

// Complex speed v~ of a bottom wave of real speed v (m/s) losing `atten_db` dB per
// wavelength at angular frequency w > 0. The loss enters as an imaginary wavenumber:
// k~ = k + i delta with delta in nepers per metre, so v~ = w / k~ = w (k - i delta) / |k~|^2.
Complex32 complex_wave_speed(float v, float atten_db, float w) {
    const float f_hz = w / kTwoPi;
    const float lambda_m = v / f_hz;
    float delta = (atten_db * kNepersPerDb) / lambda_m;
    if (atten_db <= 0.0f || v <= 0.0f) delta = 0.0f;
    if (delta > 0.0f) {
        const float k = w / v;
        const float den = delta * delta + k * k;
        return {(w * k + 0.0f * delta) / den, (0.0f * k - w * delta) / den};
    }
    return {v, 0.0f};
}

Complex32 complex_wavenumber(Complex32 speed, float w) {
    return Complex32{w, 0.0f} / speed;
}

Complex32 principal_sqrt(Complex32 x) {
    if (x.im == 0.0f) {
        if (x.re >= 0.0f) return {std::sqrt(x.re), x.im};
        return {0.0f, std::copysign(std::sqrt(-x.re), x.im)};
    }
    if (x.re == 0.0f) {
        const float m = std::sqrt(std::fabs(x.im) / 2.0f);
        return {m, std::copysign(m, x.im)};
    }
    const float r = std::sqrt(std::hypot(x.re, x.im));
    const float half = std::atan2(x.im, x.re) / 2.0f;
    return {r * std::cos(half), r * std::sin(half)};
}

// gamma = sqrt(kr^2 - k~^2): the bottom wave goes as exp(gamma z), z into the bottom. With
// the time factor exp(+i omega tau), Im(gamma) >= 0 carries a propagating wave away from
// the boundary and Re(gamma) <= 0 makes it decay. A lossy wave satisfies both; on the cut
// (Im = 0, a lossless bottom beyond the critical angle) the root with Re(gamma) <= 0 is the
// limit of the lossy one as the loss goes to zero. The other root is an evanescent wave
// growing into the bottom and would return the complex conjugate of the coefficient.
Complex32 vertical_decay_constant(float kr, Complex32 k) {
    const Complex32 x{kr * kr + k.im * k.im - k.re * k.re, -2.0f * k.re * k.im};
    Complex32 g = principal_sqrt(x);
    if (g.im < 0.0f || (g.im == 0.0f && g.re > 0.0f)) g = {-g.re, -g.im};
    return g;
}

float modulus(Complex32 z) {
    return std::hypot(z.re, z.im);
}

// Ratio (H - G) / (H + G) of the boundary impedance terms, with a vanishing denominator read
// as total reflection.
Complex32 impedance_ratio(Complex32 h, Complex32 g) {
    const Complex32 d = h + g;
    if (modulus(d) <= 1e-12f) return {1.0f, 0.0f};
    return (h - g) / d;
}

struct Geometry {
    float kr; // wavenumber along the boundary, rad/m
    float kw; // normal wavenumber in the water, positive into the bottom, rad/m
};

Geometry boundary_wavenumbers(Vec3 t, Vec3 n_hat, float c, float w) {
    const float t_len = norm(t);
    const Vec3 s = (t_len > 1e-12f) ? ((1.0f / c) / t_len) * t : t;
    const float sn = (n_hat.x * s.x + n_hat.y * s.y) + n_hat.z * s.z;
    const Vec3 tangential = s - sn * n_hat;
    return {w * norm(tangential), w * sn};
}

Complex32 fluid_coefficient(const bty::AcousticBottom& b, Geometry g, float rho_w, float w) {
    const Complex32 kp =
        complex_wavenumber(complex_wave_speed(b.compressional_speed_m_s,
                                              b.compressional_attenuation_db_per_wavelength, w),
                           w);
    const Complex32 gamma_p = vertical_decay_constant(g.kr, kp);
    const Complex32 p = rho_w * gamma_p;
    const Complex32 q{0.0f, b.density_g_cm3 * g.kw};
    return impedance_ratio(q, p);
}

Complex32 elastic_coefficient(const bty::ElasticBottom& b, Geometry g, float rho_w, float w) {
    const Complex32 cp = complex_wave_speed(b.compressional_speed_m_s,
                                            b.compressional_attenuation_db_per_wavelength, w);
    const Complex32 cs =
        complex_wave_speed(b.shear_speed_m_s, b.shear_attenuation_db_per_wavelength, w);
    const Complex32 kp = complex_wavenumber(cp, w);
    const Complex32 ks = complex_wavenumber(cs, w);
    const Complex32 gamma_p = vertical_decay_constant(g.kr, kp);
    const Complex32 gamma_s = vertical_decay_constant(g.kr, ks);
    const Complex32 mu = b.density_g_cm3 * (cs * cs);
    const float kr2 = g.kr * g.kr;
    const Complex32 ks2 = ks * ks;
    // Rayleigh-wave denominator of the solid: W^2 - 4 kr^2 gamma_p gamma_s.
    const Complex32 wr = Complex32{2.0f * kr2, 0.0f} - ks2;
    const Complex32 f = wr * wr - (4.0f * kr2) * (gamma_p * gamma_s);
    const Complex32 gg = (rho_w * w * w) * (gamma_p * ks2);
    const Complex32 hh = Complex32{0.0f, g.kw} * (mu * f);
    return impedance_ratio(hh, gg);
}

} // namespace

Complex32 compute_bottom_reflection_coefficient(const bty::BottomModel& model, Vec3 t, Vec3 n,
                                                float c, float rho_w, float omega) {
    if (omega == 0.0f) return {1.0f, 0.0f};
    if (std::holds_alternative<bty::RigidBottom>(model)) return {1.0f, 0.0f};
    const float n_len = norm(n);
    if (n_len <= 1e-12f) return {1.0f, 0.0f};

    const float w = std::fabs(omega);
    const Vec3 n_hat{n.x / n_len, n.y / n_len, n.z / n_len};
    const Geometry g = boundary_wavenumbers(t, n_hat, c, w);

    Complex32 r = std::holds_alternative<bty::AcousticBottom>(model)
                      ? fluid_coefficient(std::get<bty::AcousticBottom>(model), g, rho_w, w)
                      : elastic_coefficient(std::get<bty::ElasticBottom>(model), g, rho_w, w);
    // The computation runs at |omega|; a negative frequency is the conjugate spectrum.
    if (omega < 0.0f) r = conj(r);
    if (modulus(r) < 1e-12f) r = {0.0f, 0.0f};
    return r;
}

} // namespace kelp::reflect
