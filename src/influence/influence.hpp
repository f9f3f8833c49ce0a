#pragma once
// The receiver set and the pressure-field accumulator with its merge rule, and the
// Gaussian-beam summation of one traced ray into it.

#include "core/ndarray.hpp"
#include "core/ray_state.hpp"

#include "bty/bty.hpp"
#include "input/config.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kelp::influence {

// Complex pressure per (frequency, receiver) plus the earliest arrival per receiver.
// Grid mode: shape (F, Nx, Ny, Nz); array mode: (F, N, 1, 1) with receiver_positions_m.
struct PressureField {
    std::vector<float> x_m, y_m, z_m;
    std::optional<std::vector<std::array<float, 3>>> receiver_positions_m;
    Array4c pressure;  // starts at 0
    Array3f delay_s;   // starts at +inf (no arrival yet)
    Array3f amplitude; // starts at 0
    bool is_array_mode = false;
};

// Empty field for the receivers and frequencies of the validated configuration. Throws
// FatalError "array receiver coordinates must have equal lengths" for ragged array lists.
PressureField init_pressure_field(const input::SimulationConfig& config);

// Adds right into left and returns left: pressures are summed; right's arrival replaces
// left's when its delay is strictly earlier, or exactly equal with a larger |amplitude| (the
// rule of the update inside a field), so a full tie keeps left. Left must hold the earlier
// beams. Both come from init_pressure_field on the same configuration.
PressureField merge_pressure_fields(PressureField left, PressureField right);

// How the receivers are laid out: "array" in any ASCII case is a list of points, anything
// else the regular grid of the three axes.
enum class ReceiverLayout { Grid, Array };
ReceiverLayout receiver_layout(std::string_view config_type);

// A receiver axis as the search bisects it: its finite values ascending (repeated values
// kept, in their order) and, for each, the node's index in the receivers' own axis.
struct SortedAxis {
    std::vector<float> values;
    std::vector<std::size_t> node;
};

// Receivers bucketed into uniform boxes (cells) for the segment search: the finite
// receivers sorted by cell, with their positions (m) and their flat receiver index.
// Cell (i, j, k) covers [origin + (i, j, k) * size, origin + (i + 1, j + 1, k + 1) * size)
// and holds entries start[c] .. start[c + 1] - 1, c = (i * count[1] + j) * count[2] + k.
struct ReceiverCells {
    std::array<float, 3> origin{};
    std::array<float, 3> size{1.0f, 1.0f, 1.0f};
    std::array<float, 3> inv_size{1.0f, 1.0f, 1.0f};
    std::array<std::size_t, 3> count{};
    std::vector<std::size_t> start;
    std::vector<Vec3> position;
    std::vector<std::size_t> receiver;
};

// The receivers of a run, prepared once before the beams and then only read by every
// worker: sorted grid axes, or the cells of the array receivers. Grid receivers can also be
// held as cells (the reference full scan puts every receiver in one cell).
struct ReceiverSet {
    ReceiverLayout layout = ReceiverLayout::Grid;
    bool use_cells = false;
    std::array<SortedAxis, 3> axes;       // grid search
    ReceiverCells cells;                  // array search (or the full scan)
    std::size_t ny = 1, nz = 1;           // strides of the flat grid index
    std::array<float, 3> max_abs_coord{}; // largest |coordinate| per axis, for error bounds
    std::array<float, 3> lo{}, hi{};      // extent of the finite receivers per axis
    // Bins of the search per axis (grid nodes or cells) and their mean spacing (m): how
    // many receivers a line along each axis meets, which decides the search's loop order.
    std::array<std::size_t, 3> bins{};
    std::array<float, 3> pitch{};
    std::array<float, 3> inv_pitch{}; // 1 / pitch, 0 where the pitch is 0
};

// The cell of `cells` along `axis` (0 x, 1 y, 2 z) that holds coordinate `coord` (m), clamped
// into the cells. Monotonic in coord (a difference and a product by a positive constant), so
// a coordinate interval maps to a run of cells, and the same function buckets the receivers.
inline std::size_t cell_index(const ReceiverCells& cells, int axis, float coord) {
    const float u = (coord - cells.origin[axis]) * cells.inv_size[axis];
    if (!(u > 0.0f)) return 0; // also NaN
    const std::size_t top = cells.count[axis] - 1;
    return u >= static_cast<float>(top) ? top : static_cast<std::size_t>(u);
}

// How prepare_receivers organises the search. Cells and sorted axes give the same
// contributions; FullScan (every receiver in one cell, tested against every segment) is
// the plain reference the faster organisations are checked against.
enum class ReceiverSearch { Indexed, FullScan };

// Builds the search structure for the receivers of `field`. Array receivers go into cells
// about twice their mean spacing (cell_scale multiplies that size).
ReceiverSet prepare_receivers(const PressureField& field,
                              ReceiverSearch search = ReceiverSearch::Indexed,
                              float cell_scale = 1.0f);
// The same from the receivers of a validated configuration, without building a field.
// Throws FatalError "array receiver coordinates must have equal lengths" for ragged lists.
ReceiverSet prepare_receivers(const input::Receivers& receivers);

// Scratch of one unit of parallel work, reused from beam to beam: after the first beam
// nothing is allocated.
struct InfluenceWorkspace {
    std::vector<Complex32> reflection; // product of bottom coefficients so far, per frequency
    // Receivers the search has found near the current segment, tested together in batches:
    // positions (m) and flat receiver index.
    std::vector<float> candidate_x, candidate_y, candidate_z;
    std::vector<std::size_t> candidate_receiver;
    // Those that passed every test, evaluated together: projection parameter, offsets along
    // the normals (m) and in units of the q vectors, determinant, flat receiver index.
    std::vector<float> passed_s, passed_u1, passed_u2, passed_a, passed_b, passed_det;
    std::vector<std::size_t> passed_receiver;
    std::size_t passed = 0;
};

// Where the candidate receivers of the segment search end up: each visited candidate is
// counted once in `candidates` and once in exactly one of the other five counters, in the
// order the tests run (projection onto the segment, search radius, determinant, window).
struct InfluenceStats {
    std::uint64_t candidates = 0;
    std::uint64_t rejected_projection = 0;
    std::uint64_t rejected_radius = 0;
    std::uint64_t rejected_determinant = 0;
    std::uint64_t rejected_window = 0;
    std::uint64_t evaluated = 0; // passed every test: arrival update, all frequencies added
};

// Adds the Gaussian beam of one traced ray into `field` for every angular frequency (rad/s),
// time dependence exp(+i omega tau). Rewrites the ray's amplitude, q vectors and det_q
// (normalised, scaled). elev0_rad is the beam's launch elevation; dazim_rad and delev_rad the
// fan spacings. A receiver whose projection falls on a state between two segments is counted
// once (by the later segment). `receivers` comes from prepare_receivers on this field's
// layout; only the receivers inside each segment's slab and search sphere are visited. When
// `stats` is not null the search counts of this call are added to it.
void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const ReceiverSet& receivers, const bty::BTYfield& bty,
                             std::span<const float> omegas, float elev0_rad, float dazim_rad,
                             float delev_rad, InfluenceWorkspace& workspace,
                             InfluenceStats* stats = nullptr);

// The same for a single call: prepares the receivers and a workspace for this ray alone.
// Grid axes may come in any order, repeated values included.
void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad);

// Same as above, also adding the search counts of this call to `stats`.
void gaussian_beam_influence(std::vector<RayState>& ray, PressureField& field,
                             const bty::BTYfield& bty, std::span<const float> omegas,
                             float elev0_rad, float dazim_rad, float delev_rad,
                             InfluenceStats& stats);

// sin x, cos x and exp x as the beam summation evaluates them, several lanes at a time (not
// the C library's functions). Sine and cosine lie within 2^-23 of the exact values for
// |x| <= 1.5e6 rad (the C library beyond), the exponential within 2 ulp on [-87, 88].
// Against the C library (3 M samples): sine and cosine within 2^-24 of sincosf, the
// exponential within 1 ulp of expf. Spans of equal length.
void evaluate_lane_functions(std::span<const float> x, std::span<float> sin_x,
                             std::span<float> cos_x, std::span<float> exp_x);

} // namespace kelp::influence
