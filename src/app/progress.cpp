#include "app/progress.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "app/say.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Shown { off, terminal, lines };
Shown shown_as = Shown::off;
bool line_open = false;      // a terminal line waits to be ended
std::size_t line_width = 0;  // its length, to blank what a shorter one leaves

constexpr auto TERMINAL_AFTER = std::chrono::seconds(1);
constexpr auto TERMINAL_EVERY = std::chrono::milliseconds(200);
constexpr auto LINES_EVERY = std::chrono::seconds(1);

std::string amount(std::uint64_t bytes) {
    char text[32];
    const double b = static_cast<double>(bytes);
    if (bytes >= (std::uint64_t{1} << 30)) {
        std::snprintf(text, sizeof text, "%.2f GiB", b / (1 << 30));
    } else if (bytes >= (std::uint64_t{1} << 20)) {
        std::snprintf(text, sizeof text, "%.1f MiB", b / (1 << 20));
    } else if (bytes >= 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", b / 1024);
    } else {
        std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
    }
    return text;
}

// "WHAT: DONE of TOTAL (P%), RATE/s, S s left" (or ", done in S s").
std::string line_of(const Progress& p, bool final) {
    const double seconds = std::chrono::duration<double>(Clock::now() - p.start).count();
    const std::uint64_t done = p.meter.done;
    std::string text = std::string(p.what) + ": " + amount(done);
    const bool known = p.total != PROGRESS_TOTAL_UNKNOWN && p.total > 0;
    char part[64];
    if (known) {
        const std::uint64_t percent = done >= p.total ? 100 : done * 100 / p.total;
        text += " of " + amount(p.total);
        std::snprintf(part, sizeof part, " (%" PRIu64 "%%)", percent);
        text += part;
    }
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    if (rate > 0) {
        text += ", " + amount(static_cast<std::uint64_t>(rate)) + "/s";
    }
    if (final) {
        std::snprintf(part, sizeof part, ", done in %.1f s", seconds);
        text += part;
    } else if (known && rate > 0 && done < p.total) {
        std::snprintf(part, sizeof part, ", %.0f s left",
                      static_cast<double>(p.total - done) / rate + 0.5);
        text += part;
    }
    return text;
}

void show(const Progress& p, bool final) {
    const std::string text = "deltawright-apply: " + line_of(p, final);
    if (shown_as == Shown::lines) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    // Rewritten in place: spaces blank what a longer line left.
    const std::size_t pad = line_width > text.size() ? line_width - text.size() : 0;
    std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    line_width = text.size();
    line_open = true;
    if (final) {
        std::fputc('\n', stderr);
        line_open = false;
        line_width = 0;
    }
    std::fflush(stderr);
}

void tick(ReadMeter& meter) {
    // The meter is Progress's first member.
    Progress& p = *reinterpret_cast<Progress*>(&meter);
    const Clock::time_point now = Clock::now();
    const bool due =
        shown_as == Shown::terminal
            ? now - p.start >= TERMINAL_AFTER && (!p.shown || now - p.shown_at >= TERMINAL_EVERY)
            : now - (p.shown ? p.shown_at : p.start) >= LINES_EVERY;
    if (due) {
        show(p, false);
        p.shown = true;
        p.shown_at = now;
    }
}

// A message starts on a line of its own.
void end_line() {
    if (line_open) {
        std::fputc('\n', stderr);
        line_open = false;
        line_width = 0;
    }
}

}  // namespace

void choose_progress(ProgressChoice choice) {
    shown_as = choice == ProgressChoice::never ? Shown::off
               : choice == ProgressChoice::asked
                   ? (is_terminal(stderr) ? Shown::terminal : Shown::lines)
               : is_terminal(stderr) ? Shown::terminal
                                     : Shown::off;
    before_message = end_line;
}

void begin_progress(Progress& progress, const char* what, std::uint64_t total) {
    progress.meter.done = 0;
    progress.meter.tick = shown_as == Shown::off ? nullptr : tick;
    progress.what = what;
    progress.total = total;
    progress.start = Clock::now();
    progress.shown = false;
}

void end_progress(Progress& progress) {
    if (shown_as == Shown::lines || (shown_as == Shown::terminal && progress.shown)) {
        show(progress, true);
    }
    progress.meter.tick = nullptr;
}
