#include "core/fatal.hpp"

#include "influence/influence.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace kelp::influence {

PressureField init_pressure_field(const input::SimulationConfig& config) {
    const input::Receivers& rc = config.receivers;
    const std::size_t nf = config.source.freq_hz.size();
    const float inf = std::numeric_limits<float>::infinity();

    PressureField field;
    field.is_array_mode = receiver_layout(rc.config_type) == ReceiverLayout::Array;
    if (field.is_array_mode) {
        if (rc.x_rcvr_m.size() != rc.y_rcvr_m.size() ||
            rc.y_rcvr_m.size() != rc.z_rcvr_m.size()) {
            fail("array receiver coordinates must have equal lengths");
        }
        const std::size_t n = rc.x_rcvr_m.size();
        auto& points = field.receiver_positions_m.emplace();
        points.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            points.push_back({rc.x_rcvr_m[i], rc.y_rcvr_m[i], rc.z_rcvr_m[i]});
        }
        field.pressure = Array4c({nf, n, 1, 1}, Complex32{});
        field.delay_s = Array3f({n, 1, 1}, inf);
        field.amplitude = Array3f({n, 1, 1}, 0.0f);
        return field;
    }
    field.x_m = rc.x_rcvr_m;
    field.y_m = rc.y_rcvr_m;
    field.z_m = rc.z_rcvr_m;
    const std::size_t nx = field.x_m.size(), ny = field.y_m.size(), nz = field.z_m.size();
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

} // namespace kelp::influence
