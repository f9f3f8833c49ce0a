#pragma once
// Progress output of a run: a terminal progress bar on standard error, advanced per beam from
// any worker, or the plain-text counter that prints "Progress: ..." lines on standard output
// once per finished chunk. Both are safe to drive from any number of threads. Progress
// figures are double precision; they never feed back into the physics.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kelp::engine {

// Template of the run's bar: elapsed time, a 40-column bar (done part cyan, rest blue),
// position / length, percentage and the estimated time left.
inline constexpr std::string_view kProgressTemplate =
    "[{elapsed_precise}] {bar:40.cyan/blue} {pos:>7}/{len:7} {percent:>3}% eta {eta_precise}";
// Used when a template is refused.
inline constexpr std::string_view kDefaultProgressTemplate = "{bar:40} {pos}/{len}";
// Filled, current and empty cells of the bar.
inline constexpr std::string_view kProgressChars = "=>-";
// At most 20 redraws per second.
inline constexpr std::chrono::milliseconds kMinRedrawInterval{50};

// One snapshot of a bar, as the template sees it.
struct ProgressSnapshot {
    std::uint64_t pos = 0;
    std::uint64_t len = 0;
    double elapsed_s = 0.0;
};

// Renders `snapshot` through `templ`. Placeholders are {key} or {key:format}, with the keys
// elapsed_precise, eta_precise (HH:MM:SS), pos, len, percent (whole percent) and bar. For
// the text keys the format is an optional alignment ('<' left, the default, or '>' right)
// and a minimum width; for bar it is the width (default 20), optionally followed by
// ".fill/rest" colour names, which are emitted as ANSI codes only when `colour` is set.
// `chars` holds the filled, current and empty cell characters. Returns nothing when the
// template is malformed or names an unknown key or colour.
std::optional<std::string> render_progress_template(std::string_view templ,
                                                    const ProgressSnapshot& snapshot,
                                                    std::string_view chars, bool colour);

// HH:MM:SS of a non-negative duration, truncated to whole seconds; hours grow past 99.
std::string format_hms(double seconds);

// A bar of `len` steps drawn on a stream; every member is touched only by the functions
// below. When `visible` is false nothing is ever written.
struct ProgressBar {
    ProgressBar(std::uint64_t len, std::FILE* out, bool visible);

    const std::uint64_t len;
    std::FILE* const out;
    const bool visible;
    std::chrono::steady_clock::time_point start; // set at construction
    std::string templ;
    std::atomic<std::uint64_t> pos{0};
    std::mutex draw_mutex;
    std::optional<std::chrono::steady_clock::time_point> last_draw; // under draw_mutex
};

// Whether standard error is a terminal: the run's bar is drawn only then.
bool stderr_is_terminal();
// Advances the bar by `steps` and redraws it if nobody else is drawing and the last redraw
// is at least kMinRedrawInterval old. Safe from any thread.
void advance_progress_bar(ProgressBar& bar, std::uint64_t steps);
// Sets the bar to its length and draws that final state followed by a line feed.
void finish_progress_bar(ProgressBar& bar);

// The text counter: finished beams and the time of the last printed line (whole
// milliseconds since `start`), both updated with sequentially consistent atomics.
struct ProgressCounter {
    ProgressCounter(std::uint64_t total, std::FILE* out);

    const std::uint64_t total;
    std::FILE* const out;
    std::chrono::steady_clock::time_point start; // set at construction
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> last_print_ms{0};
};

// Quiet period between two text lines: a line is printed only once more than this many
// milliseconds have passed since the previous one, or for the completion.
inline constexpr std::uint64_t kProgressQuietMs = 4999;

// "Progress: D/N (P%) | elapsed Es | R rays/s | ETA Ts\n" for `done` of `total` beams after
// `elapsed_s` seconds: P and E and T with one decimal, R with none, T = (N - D) / R.
std::string format_progress_line(std::uint64_t done, std::uint64_t total, double elapsed_s);

// Counts `chunk_beams` more finished beams and prints a line to counter.out when the quiet
// period is over or the run is complete, provided this thread wins the update of the
// last-print time. Returns whether it printed.
bool report_progress(ProgressCounter& counter, std::uint64_t chunk_beams);

} // namespace kelp::engine
