// Updating a file where it lies: a patch's records checked against the
// target's bytes at their positions, and then written there.
//
// The patch is read twice, forward, through the library's record reader: once
// to check it whole before anything is written, once to write it. The
// second reading yields exactly the bytes of the first (its input's
// BlockDigests), so what is written is what was checked. The target
// is read and written only at the records, and where add data go: the work
// grows with the patch, not with the target. Writes go in patch order, one
// per span of adjacent records. Nothing is allocated: the caller hands in
// the blocks. Never opens or closes a file; the target's system calls are
// the platform layer's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <deltawright/deltawright.h>

#include "format/patch_layout.h"
#include "io/block_io.h"
#include "io/run_result.h"
#include "platform/platform.h"

inline constexpr std::uint64_t NO_POSITION = UINT64_MAX;

// A patch read as spans: the data of adjacent replace records joined (up to
// the size of `data`), then the data of the add records joined likewise.
struct PatchSpans {
    BlockInput& patch;
    std::span<std::uint8_t> data;  // the current span's bytes, at its start
    dw_reader reader{};
    dw_in_buffer piece{nullptr, 0, 0};
    std::uint64_t added = 0;  // add data bytes so far
    // The current span.
    bool add = false;
    std::uint64_t offset = 0;  // a replace span's position; an add span's within the added bytes
    std::size_t size = 0;
    // The reader's own: a record begun but not yet in a span; the end seen.
    bool held = false;
    bool held_add = false;
    std::uint64_t held_offset = 0;
    bool finished = false;
};

enum class SpanEvent {
    span,        // offset, size, add and data tell the next span
    end,         // the patch has ended after a whole record: it is valid
    invalid,     // a rule is broken: reader.error, reader.error_position
    read_error,  // see patch.error
};

// Starts reading a patch for an original of `original_size` bytes (the rule
// bound to its end is checked at each record's head).
void start_spans(PatchSpans& spans, std::uint64_t original_size);

SpanEvent next_span(PatchSpans& spans);

// What the target holds at the patch's records. A maker puts into a replace
// record only bytes that differ from the original's, so each replace byte
// tells whether the update reached it: it holds the patched value or not.
// Records are written in order, so an interrupted update leaves the patched
// bytes first and the others after.
struct InPlaceCheck {
    RunResult run;      // invalid, or a read error of the patch or the target
    bool adds = false;  // the patch has add records
    std::uint64_t first_replaced = NO_POSITION;  // the first replace byte's position
    std::uint64_t first_unpatched =
        NO_POSITION;                            // the first replace byte without its patched value
    std::uint64_t patched_after = NO_POSITION;  // a later one with it: not an in-order update
};

// Reads and checks the whole patch, and the target at its replace records:
// its bytes there are read into `scratch` (the size of `data`). Writes
// nothing.
[[nodiscard]] InPlaceCheck check_in_place(BlockInput& patch, const TargetFile& target,
                                          std::span<std::uint8_t> data,
                                          std::span<std::uint8_t> scratch);

// Where the second pass writes: replace data at positions from `from` on,
// add data from `add_at`, and nothing at or beyond `end` (an updated file
// shorter than the original needs no byte beyond its size).
struct WriteRange {
    std::uint64_t from = 0;
    std::uint64_t add_at = 0;
    std::uint64_t end = NO_POSITION;
};

// Reads the patch again from where it stands (its start) and writes its
// data in `range`. With the patch input's BlockDigests checking, a block
// that differs from the first reading is never used: Outcome::changed, with
// only checked bytes written before it. A failed write of the target is
// Outcome::write_error with the platform's reason. Does not flush.
[[nodiscard]] RunResult write_in_place(BlockInput& patch, const TargetFile& target,
                                       std::span<std::uint8_t> data, std::uint64_t original_size,
                                       const WriteRange& range);

// What write_in_place wrote, read back: the patch read again from its start
// (its blocks checked against the first reading's digests) and the target
// read at each span `write_in_place` would write, into `scratch` (at least
// as large as `data`). Outcome::differs with the first position that does
// not hold what the patch put there; Outcome::read_error (Stream::target)
// when the target cannot be read there.
[[nodiscard]] RunResult check_written(BlockInput& patch, const TargetFile& target,
                                      std::span<std::uint8_t> data, std::span<std::uint8_t> scratch,
                                      std::uint64_t original_size, const WriteRange& range);
