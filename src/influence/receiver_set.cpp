#include "core/fatal.hpp"
#include "influence/influence.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace kelp::influence {
namespace {

// Non-finite nodes can never lie within a segment's reach (their projection parameter is
// infinite or NaN), so the sorted view leaves them out.
SortedAxis sort_axis(std::span<const float> axis) {
    SortedAxis sorted;
    for (std::size_t i = 0; i < axis.size(); ++i) {
        if (std::isfinite(axis[i])) sorted.node.push_back(i);
    }
    std::stable_sort(sorted.node.begin(), sorted.node.end(),
                     [axis](std::size_t a, std::size_t b) { return axis[a] < axis[b]; });
    sorted.values.reserve(sorted.node.size());
    for (const std::size_t i : sorted.node)
        sorted.values.push_back(axis[i]);
    return sorted;
}

// Cells about twice as large as the mean receiver spacing over the dimensions the receivers
// span (times cell_scale). Each cell visited costs a few bounds, each receiver in it a few
// nanoseconds of the batched test: cells holding a few receivers each balance the two. At
// most about four cells per receiver, whatever the spread.
ReceiverCells bucket_receivers(std::span<const Vec3> points,
                               std::span<const std::size_t> receiver, std::array<float, 3> lo,
                               std::array<float, 3> hi, bool one_cell, float cell_scale) {
    ReceiverCells cells;
    const std::size_t n = points.size();
    cells.origin = lo;
    cells.count = {1, 1, 1};
    cells.size = {1.0f, 1.0f, 1.0f};
    if (n > 0 && !one_cell) {
        double volume = 1.0, widest = 0.0;
        int dims = 0;
        for (int c = 0; c < 3; ++c) {
            const double extent = static_cast<double>(hi[c]) - static_cast<double>(lo[c]);
            if (extent > 0.0) {
                volume *= extent;
                widest = std::max(widest, extent);
                ++dims;
            }
        }
        if (dims > 0) {
            double h = 2.0 * std::pow(volume / static_cast<double>(n), 1.0 / dims) *
                       static_cast<double>(cell_scale);
            // Receivers a hair apart (the volume underflows) or a bad scale: start from the
            // widest extent; the loop below only ever coarsens.
            if (!(h > 0.0) || !std::isfinite(h)) h = widest;
            for (;;) {
                double total = 1.0;
                std::array<std::size_t, 3> count{1, 1, 1};
                for (int c = 0; c < 3; ++c) {
                    const double extent =
                        static_cast<double>(hi[c]) - static_cast<double>(lo[c]);
                    if (extent > 0.0) {
                        count[c] = static_cast<std::size_t>(
                            std::min(std::floor(extent / h) + 1.0, 1e9));
                    }
                    total *= static_cast<double>(count[c]);
                }
                if (total <= 4.0 * static_cast<double>(n) + 64.0) {
                    cells.count = count;
                    for (int c = 0; c < 3; ++c) {
                        if (hi[c] > lo[c]) {
                            cells.size[c] = static_cast<float>(h);
                            cells.inv_size[c] = 1.0f / cells.size[c];
                        }
                    }
                    break;
                }
                h *= 1.5;
            }
        }
    }
    const std::size_t n_cells = cells.count[0] * cells.count[1] * cells.count[2];
    std::vector<std::size_t> cell_of(n);
    for (std::size_t i = 0; i < n; ++i) {
        const float xyz[3] = {points[i].x, points[i].y, points[i].z};
        std::size_t flat = 0;
        for (int c = 0; c < 3; ++c)
            flat = flat * cells.count[c] + cell_index(cells, c, xyz[c]);
        cell_of[i] = flat;
    }
    cells.start.assign(n_cells + 1, 0);
    for (const std::size_t c : cell_of)
        ++cells.start[c + 1];
    std::partial_sum(cells.start.begin(), cells.start.end(), cells.start.begin());
    std::vector<std::size_t> fill(cells.start.begin(), cells.start.end() - 1);
    cells.position.resize(n);
    cells.receiver.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = fill[cell_of[i]]++;
        cells.position[at] = points[i];
        cells.receiver[at] = receiver[i];
    }
    return cells;
}

} // namespace

namespace {

// Grid: the three axes; array: the three coordinate lists of the points, of equal lengths.
ReceiverSet prepare(input::ReceiverLayout layout, std::span<const float> x,
                    std::span<const float> y, std::span<const float> z, ReceiverSearch search,
                    float cell_scale) {
    ReceiverSet set;
    set.layout = layout;
    set.use_cells =
        layout == input::ReceiverLayout::Array || search == ReceiverSearch::FullScan;

    std::vector<Vec3> points;
    std::vector<std::size_t> receiver;
    if (layout == input::ReceiverLayout::Grid) {
        set.count = x.size() * y.size() * z.size();
        set.ny = y.size();
        set.nz = z.size();
        set.axes = {sort_axis(x), sort_axis(y), sort_axis(z)};
        if (set.use_cells) {
            for (std::size_t i = 0; i < x.size(); ++i)
                for (std::size_t j = 0; j < y.size(); ++j)
                    for (std::size_t k = 0; k < z.size(); ++k) {
                        points.push_back({x[i], y[j], z[k]});
                        receiver.push_back((i * set.ny + j) * set.nz + k);
                    }
        }
    } else {
        set.count = x.size();
        for (std::size_t j = 0; j < x.size(); ++j) {
            points.push_back({x[j], y[j], z[j]});
            receiver.push_back(j);
        }
    }

    // A receiver with a non-finite coordinate has an infinite or NaN projection parameter on
    // every segment and is never reached: the search leaves it out.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Vec3 p = points[i];
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) {
            points[kept] = p;
            receiver[kept] = receiver[i];
            ++kept;
        }
    }
    points.resize(kept);
    receiver.resize(kept);

    for (int c = 0; c < 3; ++c) {
        float lo = 0.0f, hi = 0.0f, big = 0.0f;
        bool any = false;
        const auto take = [&](float v) {
            lo = any ? std::min(lo, v) : v;
            hi = any ? std::max(hi, v) : v;
            big = std::max(big, std::fabs(v));
            any = true;
        };
        if (set.use_cells) {
            for (const Vec3& p : points)
                take(c == 0 ? p.x : (c == 1 ? p.y : p.z));
        } else {
            for (const float v : set.axes[c].values)
                take(v);
        }
        set.lo[c] = lo;
        set.hi[c] = hi;
        set.max_abs_coord[c] = big;
    }
    if (set.use_cells) {
        set.cells = bucket_receivers(points, receiver, set.lo, set.hi,
                                     search == ReceiverSearch::FullScan, cell_scale);
    }
    for (int c = 0; c < 3; ++c) {
        set.bins[c] = set.use_cells ? set.cells.count[c] : set.axes[c].values.size();
        if (set.use_cells) {
            set.pitch[c] = set.cells.size[c];
        } else if (set.bins[c] > 1) {
            set.pitch[c] = (set.hi[c] - set.lo[c]) / static_cast<float>(set.bins[c] - 1);
        }
        set.inv_pitch[c] = set.pitch[c] > 0.0f ? 1.0f / set.pitch[c] : 0.0f;
    }
    return set;
}

} // namespace

ReceiverSet prepare_receivers(const input::Receivers& receivers, ReceiverSearch search,
                              float cell_scale) {
    if (receivers.layout == input::ReceiverLayout::Array &&
        (receivers.x_rcvr_m.size() != receivers.y_rcvr_m.size() ||
         receivers.y_rcvr_m.size() != receivers.z_rcvr_m.size())) {
        fail("array receiver coordinates must have equal lengths");
    }
    return prepare(receivers.layout, receivers.x_rcvr_m, receivers.y_rcvr_m, receivers.z_rcvr_m,
                   search, cell_scale);
}

double receiver_set_bytes(const input::Receivers& receivers) {
    const double x = static_cast<double>(receivers.x_rcvr_m.size());
    const double y = static_cast<double>(receivers.y_rcvr_m.size());
    const double z = static_cast<double>(receivers.z_rcvr_m.size());
    if (receivers.layout == input::ReceiverLayout::Grid) {
        return (x + y + z) * static_cast<double>(sizeof(float) + sizeof(std::size_t));
    }
    // Position and index per receiver, at most about four cells per receiver (plus 64), and
    // the lists prepare gathers them in.
    const double per_receiver = 2.0 * static_cast<double>(sizeof(Vec3) + sizeof(std::size_t));
    return x * per_receiver + (4.0 * x + 65.0) * static_cast<double>(sizeof(std::size_t));
}

} // namespace kelp::influence
