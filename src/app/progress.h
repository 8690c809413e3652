// Progress of a long run, on standard error: the bytes read, the total when
// it is known (the sizes of regular files, or a manifest's), the
// percentage, the rate and the time left.
//
// Shown unasked on a terminal once a run has lasted about a second, as one
// line rewritten in place; with --progress elsewhere (a log, CI) as whole
// lines, at most about one a second, and a final line; never with
// --no-progress. Otherwise nothing is printed. The inputs' BlockInput count
// into `meter`, and the clock is read once per block, never per record.
// A message (say) first ends a line left open on the terminal.
#pragma once

#include <chrono>
#include <cstdint>

#include "io/block_io.h"

enum class ProgressChoice { unasked, asked, never };

// Decided once per run, before any progress begins.
void choose_progress(ProgressChoice choice);

inline constexpr std::uint64_t PROGRESS_TOTAL_UNKNOWN = UINT64_MAX;

struct Progress {
    ReadMeter meter;  // given to the inputs (BlockInput::meter)
    const char* what = "";
    std::uint64_t total = PROGRESS_TOTAL_UNKNOWN;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point shown_at;
    bool shown = false;
};

// Starts counting a stage of the run ("applying", "checking", ...) toward
// `total` bytes.
void begin_progress(Progress& progress, const char* what, std::uint64_t total);

// The stage is complete: with --progress its final line; on a terminal the
// line, if shown, completed and ended.
void end_progress(Progress& progress);

// The sum of two sizes, unknown if either is.
inline std::uint64_t total_of(std::uint64_t a, std::uint64_t b) {
    return a == PROGRESS_TOTAL_UNKNOWN || b == PROGRESS_TOTAL_UNKNOWN || a > UINT64_MAX - 1 - b
               ? PROGRESS_TOTAL_UNKNOWN
               : a + b;
}
