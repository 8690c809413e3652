// Updating a file where it lies: a patch's records checked against the
// target's bytes at their positions, and then written there.
//
// The patch is read twice, forward, through the library's record reader: once
// to check it whole before anything is written, once to write it. The
// second reading yields exactly the bytes of the first (its input's
// BlockDigests), so what is written is what was checked. The target is
// read and written only near the records, and where add data go: the work
// grows with the patch, not with the target. Writes go in patch order, one
// per span of records in neighbouring pages. Nothing is allocated: the
// caller hands in the blocks. Never opens or closes a file; the target's
// system calls are the platform layer's.
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

// The unit of the target that a write touches at least: the page cache's
// page, and the block of most storage. Two records in the same or
// neighbouring pages are written as one span, the target's own bytes
// between them written back as they were read, so the pages written are
// exactly the pages that hold a change.
inline constexpr std::uint64_t TARGET_PAGE = 4096;

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

// Reads and checks the whole patch, and the target at its replace records,
// read through `window` (at least MAX_RECORD_DATA bytes): dense records are
// read with one system call per window, not per record. Writes nothing.
[[nodiscard]] InPlaceCheck check_in_place(BlockInput& patch, const TargetFile& target,
                                          std::span<std::uint8_t> window);

// Where the second pass writes: replace data at positions from `from` on,
// add data from `add_at`, and nothing at or beyond `end` (an updated file
// shorter than the original needs no byte beyond its size).
struct WriteRange {
    std::uint64_t from = 0;
    std::uint64_t add_at = 0;
    std::uint64_t end = NO_POSITION;
};

// Reads the patch again from where it stands (its start) and writes its
// data in `range`, in spans collected in `span` (at least MAX_RECORD_DATA
// bytes): records in the same or neighbouring TARGET_PAGEs join one span,
// and the bytes between them are the target's, read in this pass just
// before. With the patch input's BlockDigests checking, a block that
// differs from the first reading is never used: Outcome::changed, with only
// checked bytes written before it. A failed write of the target is
// Outcome::write_error with the platform's reason. Does not flush.
[[nodiscard]] RunResult write_in_place(BlockInput& patch, const TargetFile& target,
                                       std::span<std::uint8_t> span, std::uint64_t original_size,
                                       const WriteRange& range);

// What write_in_place wrote, read back: the patch read again from its start
// (its blocks checked against the first reading's digests) and the target
// read through `window` (at least MAX_RECORD_DATA bytes) at every byte of
// the patch's data in `range`. Outcome::differs with the first position
// that does not hold what the patch put there; Outcome::read_error
// (Stream::target) when the target cannot be read there.
[[nodiscard]] RunResult check_written(BlockInput& patch, const TargetFile& target,
                                      std::span<std::uint8_t> window, std::uint64_t original_size,
                                      const WriteRange& range);
