// Applying a patch: the original file with each replace record's data written
// over it at its offset, then the data of every add record in order.
//
// One forward pass over the patch and the original, both read in blocks into
// buffers the caller owns; the output is written as the two are read. No
// field of the patch decides how much is allocated or read ahead: a record's
// data are at most MAX_RECORD_DATA bytes, and the original is only ever read
// as far as the records need, so a record far beyond a short original is
// refused when the original ends. Nothing is seeked.
#pragma once

#include <cstdint>

#include "format/patch_format.h"
#include "io/block_io.h"

enum class ApplyStatus {
    complete,             // the output holds the whole result
    invalid_patch,        // a rule is broken; see fault and fault_position
    patch_read_error,     // reading the patch failed (not its end); see patch.error
    original_read_error,  // reading the original failed (not its end); see original.error
    output_write_error,   // a write to the output failed; see output.error
};

struct ApplyResult {
    ApplyStatus status = ApplyStatus::complete;
    PatchFault fault = PatchFault::none;
    std::uint64_t fault_position = 0;  // of the header (0) or the offending record's head
};

// Reads the patch from its start and the original from its start, and writes
// the result to `output`, flushed. Stops at the first fault or failure: the
// output then holds a prefix of some result and must be thrown away. Checks
// a record's data are all there before it reads the original for it, so a
// record both cut short and past the original's end is short_record. Never
// opens, closes or seeks a file; never writes to the inputs.
[[nodiscard]] ApplyResult apply_patch(BlockInput& patch, BlockInput& original, BlockOutput& output);
