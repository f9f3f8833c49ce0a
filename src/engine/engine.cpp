#include "engine.hpp"

#include "bty/bty.hpp"
#include "core/constants.hpp"
#include "core/fatal.hpp"
#include "engine/progress.hpp"
#include "rays/rays.hpp"
#include "ssp/ssp.hpp"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_reduce.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>

namespace kelp::engine {
namespace {

std::vector<float> degrees_to_radians(std::span<const float> degrees) {
    std::vector<float> radians;
    radians.reserve(degrees.size());
    for (const float d : degrees)
        radians.push_back(d * kDegToRad);
    return radians;
}

// Threads the pool will use for a parallel algorithm started here: the arena's slots,
// limited by any active max_allowed_parallelism control (ours included).
std::size_t pool_concurrency() {
    const auto arena =
        static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
    const std::size_t allowed =
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    return std::max<std::size_t>(1, std::min(arena, allowed));
}

// The beams of one or more consecutive chunks: their paths, tagged with the beam index,
// and the field holding exactly their contributions.
struct ChunkResult {
    std::vector<std::pair<std::size_t, RayPath>> paths;
    influence::PressureField field;
    std::optional<influence::ArrivalTable> arrivals; // when the run keeps a table
};

// The first fault raised on any worker. Later faults are dropped: one message reaches the
// caller, and the run is cancelled as soon as the first one is seen.
struct FirstFault {
    std::atomic<bool> raised{false};
    std::mutex mutex;
    std::exception_ptr error;
};

void record_fault(FirstFault& fault, std::exception_ptr error, tbb::task_group_context& group) {
    {
        const std::lock_guard lock(fault.mutex);
        if (!fault.error) fault.error = std::move(error);
    }
    fault.raised.store(true);
    group.cancel_group_execution();
}

// Everything a worker reads during the parallel phase, built before it and never written.
struct RunContext {
    const input::SimulationConfig& config;
    const ssp::SSPFields& ssp;
    const bty::BTYfield& bty;
    const influence::ReceiverSet& receivers;
    influence::LaneWidth lanes;
    std::span<const Beam> fan;
    std::span<const FanChunk> chunks;
    std::span<const float> omegas_rad_s;
    float dazim_rad;
    float delev_rad;
    bool store_paths;
    std::size_t max_arrivals; // 0: no arrivals table
    double path_point_bytes;  // charged per stored point
    GrowthBudget& budget;
    ProgressBar* bar;         // shared, thread-safe; null when not drawn
    ProgressCounter* counter; // shared, atomic; null when not printed
    const std::function<void(std::size_t)>& before_beam;
    const std::atomic<bool>* cancel;            // null when the run cannot be cancelled
    std::atomic<std::uint64_t>* beams_finished; // null when nobody follows the run
    FirstFault& fault;
    tbb::task_group_context& group;
};

// Gives the charge of a chunk's reused ray list back to the run's budget when the list dies.
struct RayCharge {
    GrowthBudget& budget;
    const std::vector<RayState>& ray;
    ~RayCharge() { rays::release_ray_storage(budget, ray); }
};

// Whether the run must stop before its next beam: a worker faulted, or the caller cancelled
// (then no chunk starts any more either).
bool must_stop(const RunContext& run) {
    if (run.fault.raised.load()) return true;
    if (run.cancel == nullptr || !run.cancel->load(std::memory_order_relaxed)) return false;
    run.group.cancel_group_execution();
    return true;
}

// Traces the beams of chunk k in fan order into a fresh field. Once another worker has
// faulted or the caller has cancelled, the rest of the chunk is skipped: its result will be
// discarded anyway.
ChunkResult map_chunk(const RunContext& run, std::size_t k) {
    const auto [first, last] = run.chunks[k];
    ChunkResult result{{}, influence::init_pressure_field(run.config), std::nullopt};
    if (run.store_paths) result.paths.reserve(last - first);
    if (run.max_arrivals > 0)
        result.arrivals = influence::init_arrival_table(
            result.field.delay_s.size(), run.max_arrivals, run.omegas_rad_s.size());
    // The ray list and the summation's scratch keep their capacity from beam to beam; the
    // list's charge goes back to the budget when the chunk ends, however it ends.
    std::vector<RayState> ray;
    const RayCharge charge{run.budget, ray};
    influence::InfluenceWorkspace work;
    work.lanes = run.lanes;
    for (std::size_t b = first; b < last; ++b) {
        if (must_stop(run)) return result;
        if (run.before_beam) run.before_beam(b);
        const Beam beam = run.fan[b];
        rays::trace_ray(run.config, run.ssp, run.bty, beam.azimuth_rad, beam.elevation_rad, ray,
                        &run.budget);
        influence::gaussian_beam_influence(
            ray, result.field, run.receivers, run.bty, run.omegas_rad_s,
            {beam.elevation_rad, run.dazim_rad, run.delev_rad, b, beam.azimuth_rad}, work,
            nullptr, result.arrivals ? &*result.arrivals : nullptr);
        if (run.store_paths) {
            charge_growth(run.budget, GrowthKind::StoredPaths,
                          static_cast<std::uint64_t>(static_cast<double>(ray.size()) *
                                                     run.path_point_bytes));
            RayPath path;
            path.reserve(ray.size());
            for (const RayState& s : ray) {
                path.push_back({s.position.x, s.position.y, s.position.z});
            }
            result.paths.emplace_back(b, std::move(path));
        }
        run.budget.beams_done.fetch_add(1, std::memory_order_relaxed);
        if (run.beams_finished != nullptr)
            run.beams_finished->fetch_add(1, std::memory_order_relaxed);
        if (run.bar != nullptr) advance_progress_bar(*run.bar, 1);
    }
    if (run.counter != nullptr) report_progress(*run.counter, last - first);
    return result;
}

// `left` holds earlier beams than `right`, so equal earliest-arrival delays resolve to the
// earlier beam and the paths stay in launch order.
void combine(ChunkResult& left, ChunkResult&& right) {
    left.paths.insert(left.paths.end(), std::make_move_iterator(right.paths.begin()),
                      std::make_move_iterator(right.paths.end()));
    left.field =
        influence::merge_pressure_fields(std::move(left.field), std::move(right.field));
    if (left.arrivals && right.arrivals)
        left.arrivals = influence::merge_arrival_tables(std::move(*left.arrivals),
                                                        std::move(*right.arrivals));
}

// Reduction body over the chunk indices. With a simple partitioner and a grain of one
// chunk, parallel_deterministic_reduce splits the index range down to single chunks along
// a tree fixed by the chunk count alone, splits the body at every split and joins the
// halves left with right; so the grouping of every floating-point sum depends on the chunk
// count and not on which thread ran what, and the pressures are the same bits from run to
// run at a given thread count.
//
// An empty `value` stands for the identity, a fresh field with no paths. It is never built:
// merging a fresh field on the left of a partial result gives that result bit for bit (its
// sums started from +0 and so hold no -0, and no NaN delay ever enters a field), and leaving
// it out saves one field and one full merge per chunk.
//
// Nothing may escape to the pool: every fault is recorded and cancels the run.
class FanReduction {
  public:
    explicit FanReduction(const RunContext& run) : run_(&run) {}
    FanReduction(FanReduction& other, tbb::split) : run_(other.run_) {}

    void operator()(const tbb::blocked_range<std::size_t>& chunks) {
        for (std::size_t k = chunks.begin(); k != chunks.end(); ++k) {
            if (run_->fault.raised.load()) return;
            try {
                fold(map_chunk(*run_, k));
            } catch (...) {
                record_fault(run_->fault, std::current_exception(), run_->group);
                return;
            }
        }
    }

    void join(FanReduction& right) {
        if (run_->fault.raised.load() || !right.value) return;
        try {
            fold(std::move(*right.value));
        } catch (...) {
            record_fault(run_->fault, std::current_exception(), run_->group);
        }
    }

    std::optional<ChunkResult> value;

  private:
    void fold(ChunkResult&& next) {
        if (!value) {
            value = std::move(next);
        } else {
            combine(*value, std::move(next));
        }
    }

    const RunContext* run_;
};

// The fan cut into consecutive runs of `size` beams, the last one possibly shorter.
std::vector<FanChunk> cut_fan(std::size_t n_beams, std::size_t size) {
    std::vector<FanChunk> chunks;
    chunks.reserve((n_beams + size - 1) / size);
    for (std::size_t first = 0; first < n_beams; first += size) {
        chunks.push_back({first, std::min(first + size, n_beams)});
    }
    return chunks;
}

// The summation's lane width for this run: the caller's choice (which must be available),
// else KELP_SIMD ("scalar", "sse2" or "avx2"; ignored, like KELP_NUM_THREADS, when it names
// no width available here), else the widest the processor offers. Results are the same bits
// whichever it is.
influence::LaneWidth choose_lanes(const std::string& asked) {
    if (!asked.empty()) {
        if (const auto lanes = influence::choose_lane_width(asked)) return *lanes;
        fail("the run asks for the summation lanes \"" + asked +
             "\", which this build and processor do not offer");
    }
    if (const char* env = std::getenv("KELP_SIMD")) {
        if (const auto lanes = influence::choose_lane_width(env)) return *lanes;
    }
    return *influence::choose_lane_width();
}

// A worker's fault reaches the caller as the one fatal-error type, with its own text.
[[noreturn]] void rethrow_as_fatal(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const FatalError&) {
        throw;
    } catch (const std::exception& e) {
        throw FatalError(e.what());
    } catch (...) {
        throw FatalError("unknown fault on a worker thread");
    }
}

} // namespace

std::vector<Beam> build_beam_fan(std::span<const float> azimuths_rad,
                                 std::span<const float> elevations_rad) {
    std::vector<Beam> fan;
    fan.reserve(azimuths_rad.size() * elevations_rad.size());
    for (const float azimuth : azimuths_rad) {
        for (const float elevation : elevations_rad)
            fan.push_back({azimuth, elevation});
    }
    return fan;
}

float angle_spacing(std::span<const float> angles_rad) {
    if (angles_rad.size() < 2) return kDegToRad;
    return std::fabs(angles_rad[1] - angles_rad[0]);
}

std::size_t fan_chunk_size(std::size_t n_beams, std::size_t n_threads) {
    if (n_beams == 0) return 1;
    const std::size_t units = 2 * std::max<std::size_t>(n_threads, 1);
    return (n_beams + units - 1) / units;
}

std::vector<FanChunk> split_fan(std::size_t n_beams, std::size_t n_threads) {
    return cut_fan(n_beams, fan_chunk_size(n_beams, n_threads));
}

std::optional<std::string> check_beam_range(std::int64_t first, std::int64_t last,
                                            std::size_t n_beams) {
    if (0 <= first && first <= last && static_cast<std::uint64_t>(last) <= n_beams)
        return std::nullopt;
    return "beams " + std::to_string(first) + " to " + std::to_string(last) +
           " are not a range of the fan's " + std::to_string(n_beams) +
           " beams: it needs 0 <= first <= last <= " + std::to_string(n_beams);
}

std::size_t fan_block_size(std::size_t n_beams) {
    return std::max<std::size_t>(1, (n_beams + kFanBlocks - 1) / kFanBlocks);
}

std::size_t live_partial_fields(std::size_t n_blocks, std::size_t n_threads) {
    // Each thread holds at most one value per level of the split tree (its running fold and
    // the left halves waiting for their right halves), and there are never more values than
    // blocks.
    std::size_t depth = 1;
    while ((std::size_t{1} << (depth - 1)) < n_blocks)
        ++depth;
    return std::min(n_blocks, std::max<std::size_t>(n_threads, 1) * depth);
}

std::optional<std::size_t> parse_thread_cap(const char* text) {
    if (text == nullptr) return std::nullopt;
    const std::string_view s(text);
    if (s.empty() ||
        !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || end != s.data() + s.size() || value == 0) return std::nullopt;
    return value;
}

std::size_t thread_count() {
    const std::size_t pool = pool_concurrency();
    const auto cap = parse_thread_cap(std::getenv("KELP_NUM_THREADS"));
    return cap ? std::min(pool, *cap) : pool;
}

SimulationResult core(const input::SimulationConfig& config) {
    return core(config, {});
}

SimulationResult core(const input::SimulationConfig& config, const CoreOptions& options) {
    const std::vector<float> elevations = degrees_to_radians(config.source.launch_elev_deg);
    const std::vector<float> azimuths = degrees_to_radians(config.source.launch_azim_deg);
    const float delev = angle_spacing(elevations);
    const float dazim = angle_spacing(azimuths);
    const FanChunk range =
        options.beam_range.value_or(FanChunk{0, elevations.size() * azimuths.size()});
    if (const auto why = check_beam_range(static_cast<std::int64_t>(range.first),
                                          static_cast<std::int64_t>(range.last),
                                          elevations.size() * azimuths.size()))
        fail(*why);
    const std::size_t n_run = range.last - range.first;

    // Sound speed first: when both grids are wrong, its message is the one reported.
    const ssp::SSPFields ssp = ssp::init_ssp(config);
    const bty::BTYfield bty = bty::init_bty(config);

    std::vector<float> omegas;
    omegas.reserve(config.source.freq_hz.size());
    for (const float f : config.source.freq_hz)
        omegas.push_back(f * kTwoPi);

    const std::vector<Beam> fan = build_beam_fan(azimuths, elevations);
    const std::size_t n_beams = fan.size();
    const input::BeamSettings& settings = config.beam;

    // The cap holds for this call only; the pool returns to its default size afterwards.
    const std::optional<std::size_t> cap =
        options.max_threads > 0 ? std::optional<std::size_t>(options.max_threads)
                                : parse_thread_cap(std::getenv("KELP_NUM_THREADS"));
    std::optional<tbb::global_control> limit;
    if (cap) limit.emplace(tbb::global_control::max_allowed_parallelism, *cap);
    const std::size_t n_threads = pool_concurrency();
    // Blocks fixed by the fan alone, so that the tree of the reduction below, and with it the
    // grouping of every sum, is the same whatever the thread count: results are the same bits
    // on any machine. Many small blocks also balance fans whose beams cost very different
    // amounts (steep beams that die at the bottom beside long shallow ones).
    // A beam range takes the whole fan's blocks that it overlaps, the outer two cut at its
    // ends, so that its beams are grouped as in the whole run as far as they can be.
    std::vector<FanChunk> chunks =
        cut_fan(n_beams, options.chunk_count > 0
                             ? std::max<std::size_t>(1, (n_beams + options.chunk_count - 1) /
                                                            options.chunk_count)
                             : fan_block_size(n_beams));
    if (n_run < n_beams) {
        std::vector<FanChunk> inside;
        for (const FanChunk& chunk : chunks) {
            const FanChunk cut{std::max(chunk.first, range.first),
                               std::min(chunk.last, range.last)};
            if (cut.first < cut.last) inside.push_back(cut);
        }
        chunks = std::move(inside);
    }

    // The fields are certain and checked now; the rays and paths are charged as they grow.
    const std::optional<double> limit_bytes =
        options.memory_limit_bytes > 0.0 ? std::optional<double>(options.memory_limit_bytes)
                                         : available_memory_bytes();
    const MemoryEstimate certain = estimate_run_memory(
        config, live_partial_fields(chunks.size(), n_threads), options.output_cost);
    if (limit_bytes) check_memory_budget(certain, *limit_bytes);
    GrowthBudget budget;
    budget.limit_bytes = options.growth_limit_bytes > 0.0
                             ? growth_limit_bytes(options.growth_limit_bytes, {})
                             : growth_limit_bytes(limit_bytes, certain);
    budget.beam_count = n_run;

    std::optional<ProgressBar> bar;
    std::optional<ProgressCounter> counter;
    if (n_run > 0 && settings.show_progress) {
        if (settings.atomic_progress_counter) {
            counter.emplace(n_run, stdout);
        } else {
            bar.emplace(n_run, stderr, stderr_is_terminal());
        }
    }

    // Sorted axes or receiver cells, built once and shared read-only by the workers.
    const influence::ReceiverSet receivers = influence::prepare_receivers(config.receivers);
    const influence::LaneWidth lanes = choose_lanes(options.lanes);

    FirstFault fault;
    tbb::task_group_context group;
    const RunContext run{.config = config,
                         .ssp = ssp,
                         .bty = bty,
                         .receivers = receivers,
                         .lanes = lanes,
                         .fan = fan,
                         .chunks = chunks,
                         .omegas_rad_s = omegas,
                         .dazim_rad = dazim,
                         .delev_rad = delev,
                         .store_paths = settings.store_ray_paths,
                         .max_arrivals = static_cast<std::size_t>(settings.max_arrivals),
                         .path_point_bytes = path_point_bytes(options.output_cost),
                         .budget = budget,
                         .bar = bar ? &*bar : nullptr,
                         .counter = counter ? &*counter : nullptr,
                         .before_beam = options.before_beam,
                         .cancel = options.cancel,
                         .beams_finished = options.beams_finished,
                         .fault = fault,
                         .group = group};
    FanReduction reduction(run);
    try {
        tbb::parallel_deterministic_reduce(tbb::blocked_range<std::size_t>(0, chunks.size(), 1),
                                           reduction, tbb::simple_partitioner{}, group);
    } catch (...) {
        // Faults of the pool itself (its own allocations) arrive here, after it wound down.
        record_fault(fault, std::current_exception(), group);
    }
    if (fault.error) rethrow_as_fatal(fault.error);
    if (options.cancel != nullptr && options.cancel->load())
        fail(std::string(kRunCancelledMessage));
    if (bar) finish_progress_bar(*bar);

    ChunkResult total =
        reduction.value ? std::move(*reduction.value)
                        : ChunkResult{{}, influence::init_pressure_field(config), std::nullopt};
    SimulationResult result{std::nullopt, std::move(total.field), std::nullopt};
    if (settings.max_arrivals > 0) {
        result.arrivals =
            total.arrivals
                ? std::move(*total.arrivals)
                : influence::init_arrival_table(result.field.delay_s.size(),
                                                static_cast<std::size_t>(settings.max_arrivals),
                                                omegas.size());
        influence::finalise_arrivals(*result.arrivals, config.source.freq_hz);
    }
    if (settings.store_ray_paths) {
        std::stable_sort(total.paths.begin(), total.paths.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<RayPath> paths;
        paths.reserve(total.paths.size());
        for (auto& [index, path] : total.paths)
            paths.push_back(std::move(path));
        result.ray_paths = std::move(paths);
    }
    return result;
}

} // namespace kelp::engine
