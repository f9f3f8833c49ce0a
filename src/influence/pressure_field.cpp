#include "influence/pressure_field.hpp"

#include "core/fatal.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace kelp::influence {

PressureField init_pressure_field(const input::SimulationConfig& config) {
    const input::Receivers& rc = config.receivers;
    const std::size_t nf = config.source.freq_hz.size();
    const float inf = std::numeric_limits<float>::infinity();
    PressureField field;
    if (rc.layout == input::ReceiverLayout::Array) {
        if (rc.x_rcvr_m.size() != rc.y_rcvr_m.size() ||
            rc.y_rcvr_m.size() != rc.z_rcvr_m.size()) {
            fail("array receiver coordinates must have equal lengths");
        }
        const std::size_t n = rc.x_rcvr_m.size();
        field.pressure = Array4c({nf, n, 1, 1}, Complex32{});
        field.delay_s = Array3f({n, 1, 1}, inf);
        field.amplitude = Array3f({n, 1, 1}, 0.0f);
        return field;
    }
    const std::size_t nx = rc.x_rcvr_m.size(), ny = rc.y_rcvr_m.size(), nz = rc.z_rcvr_m.size();
    field.pressure = Array4c({nf, nx, ny, nz}, Complex32{});
    field.delay_s = Array3f({nx, ny, nz}, inf);
    field.amplitude = Array3f({nx, ny, nz}, 0.0f);
    return field;
}

PressureField merge_pressure_fields(PressureField left, PressureField right) {
    KELP_DCHECK_EQ(left.pressure.size(), right.pressure.size());
    KELP_DCHECK_EQ(left.delay_s.size(), right.delay_s.size());
    std::span<Complex32> lp = left.pressure.flat();
    std::span<const Complex32> rp = right.pressure.flat();
    for (std::size_t i = 0; i < lp.size(); ++i) {
        lp[i].re += rp[i].re;
        lp[i].im += rp[i].im;
    }
    // The rule of the update inside one field: a strictly earlier delay wins, an exactly equal
    // one with a larger |amplitude| wins, and a full tie keeps the left operand (the earlier
    // beams in launch order). The earliest arrival is then the first contribution in launch
    // order that minimises (delay, -|amplitude|), however the fan was cut into chunks and
    // whichever chunks were merged first. A NaN delay or amplitude never replaces anything.
    std::span<float> ld = left.delay_s.flat(), la = left.amplitude.flat();
    std::span<const float> rd = right.delay_s.flat(), ra = right.amplitude.flat();
    for (std::size_t i = 0; i < ld.size(); ++i) {
        if (ld[i] > rd[i] || (ld[i] == rd[i] && std::fabs(ra[i]) > std::fabs(la[i]))) {
            ld[i] = rd[i];
            la[i] = ra[i];
        }
    }
    return left;
}

FieldSink field_sink(PressureField& field, std::span<const float> omegas) {
    return {.pressure = field.pressure.flat(),
            .receivers = field.delay_s.size(),
            .delay_s = field.delay_s.flat(),
            .amplitude = field.amplitude.flat(),
            .omegas = omegas,
            .reflection = {}};
}

} // namespace kelp::influence
