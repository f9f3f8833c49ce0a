#include "core/constants.hpp"
#include "rays/ray_derivatives.hpp"
#include "rays/rays.hpp"
#include "reflect/reflect.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

// The compensated sums below cancel to zero under value-unsafe optimisation.
#if defined(__FAST_MATH__)
#error                                                                                         \
    "kelp must not be built with -ffast-math: the marcher's compensated sums need IEEE arithmetic"
#endif

namespace kelp::rays {

namespace {

// Up-front reservation is capped: a large max_steps must not turn into gigabytes per ray
// before the range circle ends it. Longer rays simply grow the list.
constexpr std::uint64_t kMaxReservedStates = 65536;

// A running float sum with a Neumaier compensation term. Adding a small step to a large sum in
// one binade rounds the same way every time, so plain sums drift linearly (metres and
// milliseconds over 100 km of 10 m steps); the compensation keeps the lost low-order bits so
// the sum stays within a few ulps of exact. Relies on IEEE evaluation (no -ffast-math).
struct CompensatedSum {
    float sum = 0.0f;
    float comp = 0.0f;

    void add(float v) {
        const float t = sum + v;
        if (std::fabs(sum) >= std::fabs(v)) {
            comp += (sum - t) + v;
        } else {
            comp += (v - t) + sum;
        }
        sum = t;
    }
    float value() const { return sum + comp; }
    void restart(float v) {
        sum = v;
        comp = 0.0f;
    }
};

struct CompensatedVec3 {
    CompensatedSum x, y, z;
};

// Step h shortened to end on a boundary s ahead (m, NaN keeps h). A point already on it
// (closer than 1e-8 m) gets 0, the shortest step, which crosses it: a full step would
// overshoot by metres.
float shorten_to_boundary(float h, float s) {
    if (s > 1e-8f) return s < h ? s : h;
    return s >= 0.0f ? 0.0f : h;
}

// Multiplies the surviving magnitudes (one per frequency, Hz) by those of the bottom
// reflection coefficients at reflection state r, and tells whether every one has fallen below
// `weakest`: the beam has then lost more than the cut-off at every frequency.
bool lost_at_bottom(const RayState& r, std::span<const float> freq_hz, const bty::BTYfield& bty,
                    float weakest, std::vector<float>& surviving) {
    bool all_lost = true;
    for (std::size_t k = 0; k < freq_hz.size(); ++k) {
        const Complex32 c = reflect::compute_bottom_reflection_coefficient(
            bty.bottom_model, r.event.incident_slowness, r.event.normal, r.event.sound_speed,
            bty.water_density_g_cm3, freq_hz[k] * kTwoPi);
        surviving[k] *= std::hypot(c.re, c.im);
        all_lost = all_lost && surviving[k] < weakest;
    }
    return all_lost;
}

// S advanced by h along the derivatives d, written into n (another state, every field) for
// the quantities that are plain sums; position and travel time are copied, for the caller to
// replace: the marcher sums them with compensation.
void advance(const RayState& s, const RayDerivatives& d, float h, RayState& n) {
    static_assert(sizeof(RayState) == 140, "a new RayState field must be carried here");
    n.event = ReflectionEvent{};
    n.position = s.position;
    n.slowness = {s.slowness.x + h * d.d_slowness.x, s.slowness.y + h * d.d_slowness.y,
                  s.slowness.z + h * d.d_slowness.z};
    n.phi = s.phi + h * d.d_phi;
    n.travel_time = s.travel_time;
    n.amplitude = s.amplitude;
    n.phase = s.phase;
    n.surface_bounces = s.surface_bounces;
    n.bottom_bounces = s.bottom_bounces;
    n.p_tilde = {s.p_tilde.x + h * d.d_p_tilde.x, s.p_tilde.y + h * d.d_p_tilde.y};
    n.q_tilde = {s.q_tilde.x + h * d.d_q_tilde.x, s.q_tilde.y + h * d.d_q_tilde.y};
    n.p_hat = {s.p_hat.x + h * d.d_p_hat.x, s.p_hat.y + h * d.d_p_hat.y};
    n.q_hat = {s.q_hat.x + h * d.d_q_hat.x, s.q_hat.y + h * d.d_q_hat.y};
    n.det_q = s.det_q;
    n.sound_speed = d.c;
}

// Room for `states` states, charged to the budget (if any) before it is allocated. While the
// states move to a larger block both blocks are held, so the new block is charged in full and
// the old one given back only after the move.
void reserve_ray_storage(std::vector<RayState>& ray, std::uint64_t states,
                         GrowthBudget* budget) {
    if (states <= ray.capacity()) return; // a reused list already holds (and is charged for) it
    const std::uint64_t old_bytes = ray.capacity() * sizeof(RayState);
    const std::uint64_t new_bytes = states * sizeof(RayState);
    if (budget == nullptr) {
        ray.reserve(static_cast<std::size_t>(states));
        return;
    }
    charge_growth(*budget, GrowthKind::RayStates, new_bytes);
    try {
        ray.reserve(static_cast<std::size_t>(states));
    } catch (...) {
        release_growth(*budget, GrowthKind::RayStates, new_bytes);
        throw;
    }
    release_growth(*budget, GrowthKind::RayStates, old_bytes);
}

// Gives the list's charge back when the list dies with an exception (a spent budget) instead
// of being handed to the caller.
struct ChargeGuard {
    GrowthBudget* budget;
    const std::vector<RayState>* ray;
    ~ChargeGuard() {
        if (budget != nullptr) release_ray_storage(*budget, *ray);
    }
};

// A full list doubles, but never past the max_steps + 1 states a ray can hold. Kept out of
// line: it runs a handful of times per long ray, and the step loop stays small.
[[gnu::noinline]] void grow_ray_storage(std::vector<RayState>& ray, std::uint64_t max_states,
                                        GrowthBudget* budget) {
    const std::uint64_t capacity = ray.capacity();
    const std::uint64_t doubled =
        capacity > ray.max_size() - capacity ? ray.max_size() : 2 * capacity;
    reserve_ray_storage(ray, std::max<std::uint64_t>(std::min(doubled, max_states), 1), budget);
}

} // namespace

void release_ray_storage(GrowthBudget& budget, const std::vector<RayState>& ray) noexcept {
    release_growth(budget, GrowthKind::RayStates, ray.capacity() * sizeof(RayState));
}

std::uint64_t ray_capacity_hint(const input::BeamSettings& beam) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const float steps = std::ceil(beam.max_range_m / beam.step_m);
    std::uint64_t n = 0;
    if (steps >= 18446744073709551616.0f) {
        n = kMax;
    } else if (steps > 0.0f) {
        n = static_cast<std::uint64_t>(steps);
    }
    const std::uint64_t n2 = n > kMax - 2 ? kMax : n + 2;
    const std::uint64_t hint = std::min(std::max<std::uint64_t>(beam.max_steps, 2), n2);
    return std::min(hint, kMaxReservedStates);
}

namespace {

// The bottom under a point: where the point sits in the bathymetry cursor's cell and the depth
// there. The marcher finds it once per state, for the reflection test, and the next step's
// shortening reuses it.
struct BottomUnder {
    bty::CellPoint at;
    float depth;
};

BottomUnder find_bottom_under(Vec3 p, const bty::BTYCell& cell) {
    const bty::CellPoint at = bty::cell_point({p.x, p.y}, cell);
    return {at, bty::interpolate_bty_at(at, cell)};
}

// reduce_step_to_boundaries with both cells held at p and the bottom under p.
float shorten_step(Vec3 p, Vec3 d, const ssp::SSPCell& ssp_cell, const bty::BTYCell& bty_cell,
                   BottomUnder bottom, float h0) {
    float h = ssp::reduce_step_to_cell_planes(p, d, ssp_cell, h0);

    // Bathymetry grid lines ahead, so that a step never straddles a kink of the bilinear
    // bottom (1e-9 thresholds; a single-node axis has no lines).
    h = bty::reduce_step_to_cell_lines({p.x, p.y}, {d.x, d.y}, bty_cell, h);

    // The surface, when rising.
    if (d.z < -1e-8f) {
        h = shorten_to_boundary(h, (0.0f - p.z) / d.z);
    }

    // The bottom's tangent plane through the depth under p.
    const Vec3 n = bty::bottom_normal_at(bottom.at, bty_cell);
    const float denom = (d.x * n.x + d.y * n.y) + d.z * n.z;
    if (std::fabs(denom) > 1e-8f) {
        h = shorten_to_boundary(h, n.z * (bottom.depth - p.z) / denom);
    }

    // A floor well below any physical scale that still guarantees progress when a point sits
    // on a plane or boundary.
    const float floor = h0 * 1e-6f;
    return h > floor ? h : floor;
}

} // namespace

float reduce_step_to_boundaries(Vec3 p, Vec3 d, const ssp::SSPFields& ssp,
                                const ssp::SSPCursor& ssp_cur, const bty::BTYfield& bty,
                                bty::BTYCursor& bty_cur, float h0) {
    // The cursor is brought to p first: a reflection may have shifted the point since the
    // marcher last moved it, and the grid line ahead must be the one of p's own cell.
    bty::update_bty_cursor({p.x, p.y}, bty, bty_cur);
    const bty::BTYCell bty_cell = bty::hold_bty_cell(bty, bty_cur);
    return shorten_step(p, d, ssp::hold_ssp_cell(ssp, ssp_cur), bty_cell,
                        find_bottom_under(p, bty_cell), h0);
}

std::vector<RayState> trace_ray(const input::SimulationConfig& config,
                                const ssp::SSPFields& ssp, const bty::BTYfield& bty,
                                float azimuth_rad, float elevation_rad, GrowthBudget* budget) {
    std::vector<RayState> ray;
    ChargeGuard charge{budget, &ray};
    trace_ray(config, ssp, bty, azimuth_rad, elevation_rad, ray, budget);
    charge.budget = nullptr;
    return ray;
}

void trace_ray(const input::SimulationConfig& config, const ssp::SSPFields& ssp,
               const bty::BTYfield& bty, float azimuth_rad, float elevation_rad,
               std::vector<RayState>& ray, GrowthBudget* budget) {
    const input::BeamSettings& beam = config.beam;
    const Vec3 src{config.source.position[0], config.source.position[1],
                   config.source.position[2]};

    ssp::SSPCursor ssp_cur = ssp::init_ssp_cursor(src, ssp);
    const float c0 = ssp::interpolate_c_with_cursor(src, ssp, ssp_cur);
    bty::BTYCursor bty_cur = bty::init_bty_cursor({src.x, src.y}, bty);

    ray.clear();
    reserve_ray_storage(ray, ray_capacity_hint(beam), budget);
    const std::uint64_t max_states = beam.max_steps == std::numeric_limits<std::uint64_t>::max()
                                         ? beam.max_steps
                                         : beam.max_steps + 1;

    float s_az, c_az, s_el, c_el;
    ::sincosf(azimuth_rad, &s_az, &c_az);
    ::sincosf(elevation_rad, &s_el, &c_el);
    RayState s0{};
    s0.position = src;
    s0.slowness = {c_el * s_az / c0, c_el * c_az / c0, s_el / c0};
    s0.sound_speed = c0;
    ray.push_back(s0);

    CompensatedVec3 pos;
    pos.x.restart(src.x);
    pos.y.restart(src.y);
    pos.z.restart(src.z);
    CompensatedSum tau;

    // The bottom-loss cut-off: the magnitude of the product of the bottom reflection
    // coefficients met so far, per frequency, against 10^(-loss / 20). Without frequencies
    // there is nothing to lose.
    const bool cut_off = beam.max_bottom_loss_db.has_value() && !config.source.freq_hz.empty();
    const float weakest = cut_off ? std::pow(10.0f, -*beam.max_bottom_loss_db / 20.0f) : 0.0f;
    std::vector<float> surviving;
    if (cut_off) surviving.assign(config.source.freq_hz.size(), 1.0f);

    const float h0 = beam.step_m;
    const float range2 = beam.max_range_m * beam.max_range_m;
    const bool midpoint = beam.integration_method == input::IntegrationMethod::Rk2;

    // The marcher works on its own copy of the last state and appends each new state once it
    // is final (reflected), so the step loop never reads back what it has just stored.
    // The cursors hold their cells' bounds (and the bottom cell its depths) while the ray
    // stays in them.
    // Two states take turns as the last one and the next one, so that no step copies a
    // whole state but the one appended.
    RayState pair[2] = {s0, s0};
    unsigned last = 0;
    ssp::SSPCell ssp_cell = ssp::hold_ssp_cell(ssp, ssp_cur);
    bty::update_bty_cursor({src.x, src.y}, bty, bty_cur);
    bty::BTYCell bty_cell = bty::hold_bty_cell(bty, bty_cur);
    BottomUnder bottom = find_bottom_under(src, bty_cell);
    FrameTurn turn = frame_turn(s0.phi);
    for (std::uint64_t i = 0; i != beam.max_steps; ++i) {
        const RayState& s = pair[last];
        RayState& n = pair[last ^ 1u];
        const RayDerivatives d1 =
            derive_ray(s, ssp::interpolate_all_in_held_cell(s.position, ssp_cell), turn);
        const float h = shorten_step(s.position, d1.d_position, ssp_cell, bty_cell, bottom, h0);

        // The midpoint rule evaluates the derivatives half a step ahead on a copy of the
        // cursor; the ray's own cursor follows only accepted states.
        RayDerivatives d2;
        if (midpoint) {
            const float g = h * 0.5f;
            // The next state's place holds the half step meanwhile.
            RayState& m = n;
            advance(s, d1, g, m);
            m.position = {s.position.x + g * d1.d_position.x,
                          s.position.y + g * d1.d_position.y,
                          s.position.z + g * d1.d_position.z};
            ssp::SSPCell mid_cell = ssp_cell;
            d2 = derive_ray(m, ssp::interpolate_all_in_cell(m.position, ssp, mid_cell), turn);
        }
        const RayDerivatives& d = midpoint ? d2 : d1;

        advance(s, d, h, n);
        pos.x.add(h * d.d_position.x);
        pos.y.add(h * d.d_position.y);
        pos.z.add(h * d.d_position.z);
        tau.add(h / d.c);
        n.position = {pos.x.value(), pos.y.value(), pos.z.value()};
        n.travel_time = tau.value();
        const float summed_time = n.travel_time;

        ssp::update_ssp_cell(n.position, ssp, ssp_cell);
        bty::update_bty_cell({n.position.x, n.position.y}, bty, bty_cell);

        // Only a state at or above the surface moving up, or at or below the bottom, can
        // reflect; the others keep their (cleared) event and position. After a reflection the
        // point has moved, and so may the bottom under it.
        bottom = find_bottom_under(n.position, bty_cell);
        unsigned moved = 0;
        if ((n.position.z <= 0.0f && n.slowness.z < 0.0f) || n.position.z >= bottom.depth) {
            bty::BTYCursor at_bottom = bty::bty_cursor_of(bty_cell);
            moved = reflect::reflect_boundaries(n, bty, at_bottom, ssp,
                                                ssp::ssp_cursor_of(ssp_cell));
            ssp::update_ssp_cell(n.position, ssp, ssp_cell);
            bty::update_bty_cell({n.position.x, n.position.y}, bty, bty_cell);
            bottom = find_bottom_under(n.position, bty_cell);
        }
        if (ray.size() == ray.capacity()) grow_ray_storage(ray, max_states, budget);
        ray.push_back(n);
        const Vec3 p = n.position;
        if (moved & reflect::kMovedX) pos.x.restart(p.x);
        if (moved & reflect::kMovedY) pos.y.restart(p.y);
        if (moved & reflect::kMovedZ) pos.z.restart(p.z);
        // A reflection that pulls the point back pulls its travel time back too.
        if (n.travel_time != summed_time) tau.restart(n.travel_time);

        if (cut_off && n.event.kind == kEventBottom &&
            lost_at_bottom(n, config.source.freq_hz, bty, weakest, surviving)) {
            break;
        }

        const float dx = p.x - src.x;
        const float dy = p.y - src.y;
        if (dx * dx + dy * dy >= range2) break;
        last ^= 1u;
    }
}

} // namespace kelp::rays
