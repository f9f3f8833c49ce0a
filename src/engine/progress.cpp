#include "progress.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <unistd.h>

namespace kelp::engine {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Alignment {
    bool right = false;
    std::size_t width = 0;
};

std::optional<std::size_t> parse_width(std::string_view digits) {
    if (digits.empty()) return std::size_t{0};
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<Alignment> parse_alignment(std::string_view format) {
    Alignment a;
    if (!format.empty() && (format.front() == '<' || format.front() == '>')) {
        a.right = format.front() == '>';
        format.remove_prefix(1);
    }
    const auto width = parse_width(format);
    if (!width) return std::nullopt;
    a.width = *width;
    return a;
}

void append_aligned(std::string& out, std::string_view text, Alignment a) {
    const std::size_t pad = a.width > text.size() ? a.width - text.size() : 0;
    if (a.right) out.append(pad, ' ');
    out.append(text);
    if (!a.right) out.append(pad, ' ');
}

std::optional<std::string_view> ansi_colour(std::string_view name) {
    static constexpr std::array<std::string_view, 8> kNames = {
        "black", "red", "green", "yellow", "blue", "magenta", "cyan", "white"};
    static constexpr std::array<std::string_view, 8> kCodes = {
        "\x1b[30m", "\x1b[31m", "\x1b[32m", "\x1b[33m",
        "\x1b[34m", "\x1b[35m", "\x1b[36m", "\x1b[37m"};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name) return kCodes[i];
    }
    return std::nullopt;
}

constexpr std::string_view kAnsiReset = "\x1b[0m";

// "{bar:W.fill/rest}": W cells, of which pos/len (truncated) are filled; the cell after
// the filled run shows the current-position character until the bar is full.
bool append_bar(std::string& out, std::string_view format, const ProgressSnapshot& s,
                std::string_view chars, bool colour) {
    std::string_view width_text = format;
    std::string_view fill_colour;
    std::string_view rest_colour;
    if (const auto dot = format.find('.'); dot != std::string_view::npos) {
        width_text = format.substr(0, dot);
        const std::string_view colours = format.substr(dot + 1);
        const auto slash = colours.find('/');
        fill_colour = colours.substr(0, slash);
        if (slash != std::string_view::npos) rest_colour = colours.substr(slash + 1);
    }
    auto width = parse_width(width_text);
    if (!width) return false;
    if (width_text.empty()) width = 20;
    const auto fill_code =
        fill_colour.empty() ? std::optional<std::string_view>{""} : ansi_colour(fill_colour);
    const auto rest_code =
        rest_colour.empty() ? std::optional<std::string_view>{""} : ansi_colour(rest_colour);
    if (!fill_code || !rest_code) return false;

    const std::uint64_t pos = std::min(s.pos, s.len);
    const std::size_t filled =
        s.len == 0 ? *width : static_cast<std::size_t>(pos * *width / s.len);
    const std::size_t head = filled < *width ? 1 : 0;
    const std::size_t empty = *width - filled - head;

    auto append_run = [&](std::string_view code, std::string_view cells) {
        if (cells.empty()) return;
        const bool styled = colour && !code.empty();
        if (styled) out.append(code);
        out.append(cells);
        if (styled) out.append(kAnsiReset);
    };
    std::string done_cells(filled, chars[0]);
    done_cells.append(head, chars[1]);
    append_run(*fill_code, done_cells);
    append_run(*rest_code, std::string(empty, chars[2]));
    return true;
}

} // namespace

std::string format_hms(double seconds) {
    const double clamped = seconds > 0.0 ? std::floor(seconds) : 0.0;
    const auto total = static_cast<unsigned long long>(std::min(clamped, 1e15));
    std::array<char, 48> buf{};
    std::snprintf(buf.data(), buf.size(), "%02llu:%02llu:%02llu", total / 3600,
                  (total / 60) % 60, total % 60);
    return buf.data();
}

std::optional<std::string> render_progress_template(std::string_view templ,
                                                    const ProgressSnapshot& snapshot,
                                                    std::string_view chars, bool colour) {
    if (chars.size() != 3) return std::nullopt;
    const std::uint64_t pos = std::min(snapshot.pos, snapshot.len);
    // Remaining time extrapolated from the mean rate so far; unknown (shown as zero) before
    // the first step.
    const double eta_s = pos == 0
                             ? 0.0
                             : snapshot.elapsed_s * static_cast<double>(snapshot.len - pos) /
                                   static_cast<double>(pos);
    const std::uint64_t percent = snapshot.len == 0 ? 100 : pos * 100 / snapshot.len;

    std::string out;
    std::size_t i = 0;
    while (i < templ.size()) {
        if (templ[i] != '{') {
            out.push_back(templ[i++]);
            continue;
        }
        const std::size_t close = templ.find('}', i);
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view inner = templ.substr(i + 1, close - i - 1);
        i = close + 1;
        const std::size_t colon = inner.find(':');
        const std::string_view key = inner.substr(0, colon);
        const std::string_view format =
            colon == std::string_view::npos ? std::string_view{} : inner.substr(colon + 1);
        if (key == "bar") {
            if (!append_bar(out, format, snapshot, chars, colour)) return std::nullopt;
            continue;
        }
        std::string text;
        if (key == "elapsed_precise") {
            text = format_hms(snapshot.elapsed_s);
        } else if (key == "eta_precise") {
            text = format_hms(eta_s);
        } else if (key == "pos") {
            text = std::to_string(snapshot.pos);
        } else if (key == "len") {
            text = std::to_string(snapshot.len);
        } else if (key == "percent") {
            text = std::to_string(percent);
        } else {
            return std::nullopt;
        }
        const auto alignment = parse_alignment(format);
        if (!alignment) return std::nullopt;
        append_aligned(out, text, *alignment);
    }
    return out;
}

ProgressBar::ProgressBar(std::uint64_t len_, std::FILE* out_, bool visible_)
    : len(len_), out(out_), visible(visible_), start(Clock::now()), templ(kProgressTemplate) {
    if (!render_progress_template(templ, {}, kProgressChars, false)) {
        templ = kDefaultProgressTemplate;
    }
}

namespace {

// Caller holds bar.draw_mutex. "\r" returns to the start of the line and ESC[K clears what
// a longer previous drawing left behind.
void draw_progress_bar(ProgressBar& bar, bool final_state) {
    const ProgressSnapshot snapshot{bar.pos.load(), bar.len, seconds_since(bar.start)};
    const std::string body = render_progress_template(bar.templ, snapshot, kProgressChars, true)
                                 .value_or(std::string{});
    std::string line = "\r" + body + "\x1b[K";
    if (final_state) line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), bar.out);
    std::fflush(bar.out);
    bar.last_draw = Clock::now();
}

} // namespace

bool stderr_is_terminal() {
    return ::isatty(::fileno(stderr)) == 1;
}

void advance_progress_bar(ProgressBar& bar, std::uint64_t steps) {
    bar.pos.fetch_add(steps);
    if (!bar.visible) return;
    // A worker that finds another one drawing skips its redraw instead of waiting: that
    // drawing, or the next one, shows this step too.
    std::unique_lock lock(bar.draw_mutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    if (bar.last_draw && Clock::now() - *bar.last_draw < kMinRedrawInterval) return;
    draw_progress_bar(bar, false);
}

void finish_progress_bar(ProgressBar& bar) {
    bar.pos.store(bar.len);
    if (!bar.visible) return;
    const std::lock_guard lock(bar.draw_mutex);
    draw_progress_bar(bar, true);
}

ProgressCounter::ProgressCounter(std::uint64_t total_, std::FILE* out_)
    : total(total_), out(out_), start(Clock::now()) {}

std::string format_progress_line(std::uint64_t done, std::uint64_t total, double elapsed_s) {
    const double d = static_cast<double>(done);
    const double percentage = total == 0 ? 100.0 : 100.0 * d / static_cast<double>(total);
    const double rate = d / std::max(elapsed_s, 1e-9);
    const double left = static_cast<double>(total > done ? total - done : 0);
    const double remaining_s = left / std::max(rate, 1e-9);
    constexpr const char* kFormat =
        "Progress: %llu/%llu (%.1f%%) | elapsed %.1fs | %.0f rays/s | ETA %.1fs\n";
    const auto n = static_cast<unsigned long long>(done);
    const auto t = static_cast<unsigned long long>(total);
    const int size =
        std::snprintf(nullptr, 0, kFormat, n, t, percentage, elapsed_s, rate, remaining_s);
    std::string line(static_cast<std::size_t>(std::max(size, 0)), '\0');
    std::snprintf(line.data(), line.size() + 1, kFormat, n, t, percentage, elapsed_s, rate,
                  remaining_s);
    return line;
}

bool report_progress(ProgressCounter& counter, std::uint64_t chunk_beams) {
    const std::uint64_t done = counter.done.fetch_add(chunk_beams) + chunk_beams;
    const auto elapsed = Clock::now() - counter.start;
    const auto now_ms = static_cast<std::uint64_t>(std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    std::uint64_t last = counter.last_print_ms.load();
    const std::uint64_t since_ms = now_ms > last ? now_ms - last : 0;
    if (!(since_ms > kProgressQuietMs || done == counter.total)) return false;
    // Of all workers that saw the same previous print time, exactly one wins and prints.
    if (!counter.last_print_ms.compare_exchange_strong(last, now_ms)) return false;
    const std::string line = format_progress_line(
        done, counter.total, std::chrono::duration<double>(elapsed).count());
    std::fwrite(line.data(), 1, line.size(), counter.out);
    std::fflush(counter.out);
    return true;
}

} // namespace kelp::engine
