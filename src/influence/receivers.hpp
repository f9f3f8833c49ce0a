#pragma once
// The receivers of a run, prepared once before the beams for the segment search and then
// shared read-only by every worker: the grid's axes sorted, or array receivers bucketed into
// cells. This is the one place that holds the receiver geometry during a run.

#include "core/vec3.hpp"
#include "input/config.hpp"

#include <array>
#include <cstddef>
#include <vector>

namespace kelp::influence {

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

// Sorted grid axes, or the cells of the array receivers (grid receivers can be held as cells
// too: the reference full scan puts every receiver in one cell). Flat receiver indices are
// those of the pressure field: (ix * Ny + iy) * Nz + iz on the grid, the list index j for an
// array.
struct ReceiverSet {
    input::ReceiverLayout layout = input::ReceiverLayout::Grid;
    std::size_t count = 0; // receivers of the field, non-finite ones included
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

// The search structure for the receivers of a validated configuration (layout decided).
// Array receivers go into cells about twice their mean spacing (cell_scale multiplies that
// size). Throws FatalError "array receiver coordinates must have equal lengths" for ragged
// lists. Grid axes may come in any order, repeated values included.
ReceiverSet prepare_receivers(const input::Receivers& receivers,
                              ReceiverSearch search = ReceiverSearch::Indexed,
                              float cell_scale = 1.0f);

// Bytes the prepared set holds (for the memory check made before a run): about 28 per array
// receiver and a few per cell, the sorted axes for a grid.
double receiver_set_bytes(const input::Receivers& receivers);

} // namespace kelp::influence
