// How a run of the io layer ended: one shape for every mode (making,
// applying, checking, updating in place), so that a new mode adds fields
// at most, never another enum of "this stream failed to read".
#pragma once

#include <cstdint>
#include <string>

#include <deltawright/deltawright.h>

// The streams a run reads and writes.
enum class Stream : std::uint8_t { none, updated, original, patch, output, target };

enum class Outcome : std::uint8_t {
    done,            // complete (a check: the result is UPDATED, byte for byte)
    invalid,         // `error` at `position`: a rule of the patch, or the maker's offset limit
    read_error,      // reading `stream` failed (not its end): `system_error`, or `reason`
    write_error,     // writing `stream` failed: `system_error`, or `reason`
    changed,         // `stream` differs from its first reading
    differs,         // a check: the result and UPDATED differ at `position`
    result_shorter,  // a check: the result ends at `position`, UPDATED goes on
    result_longer,   // a check: UPDATED ends at `position`, the result goes on
};

struct RunResult {
    Outcome outcome = Outcome::done;
    Stream stream = Stream::none;
    dw_error error = DW_OK;
    std::uint64_t position = 0;  // of the fault (the header, 0, or the record's head), or a check's
    int system_error = 0;        // errno, for a read or write error
    std::string reason;          // the platform's text, where it gives one instead
    // An apply's or a check's origin check (see dw_applier), when complete.
    std::uint64_t first_unchanged = UINT64_MAX;  // none
    bool any_changed = false;
    // A check's result_longer: original bytes read, more than `position`
    // when the original goes on past UPDATED's end.
    std::uint64_t original_size = 0;
};

inline RunResult stream_failed(Outcome outcome, Stream stream, int system_error) {
    RunResult r;
    r.outcome = outcome;
    r.stream = stream;
    r.system_error = system_error;
    return r;
}

inline RunResult patch_invalid(dw_error error, std::uint64_t position) {
    RunResult r;
    r.outcome = Outcome::invalid;
    r.stream = Stream::patch;
    r.error = error;
    r.position = position;
    return r;
}
