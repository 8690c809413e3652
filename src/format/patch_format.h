// The patch file's writers and its block-wise reader, over the layout in
// patch_layout.h.
#pragma once

#include <cstdint>
#include <span>

#include "format/patch_layout.h"
#include "io/block_io.h"

// The patch output: header and records collect in the output's buffer, so
// that the file sees only writes of the whole buffer, but for the last one.
using PatchStream = BlockOutput;

// Appends the 60 header bytes, field by field in table order. Returns false
// once the stream has failed. Never opens or closes the file.
[[nodiscard]] bool write_header(PatchStream& patch);

// Appends one record: command, offset (4 bytes little-endian), length, then the
// first `length` bytes of data. Requires 1 <= length; leaves the record
// unchanged. Returns false once the stream has failed.
[[nodiscard]] bool write_record(const PatchRecord& record, PatchStream& patch);

// The same as write_record for a record whose data lie elsewhere (a span of at
// most MAX_RECORD_DATA bytes), so that a scan can emit a full run without first
// copying it into a PatchRecord.
[[nodiscard]] bool write_record_data(std::uint8_t command, std::uint32_t offset,
                                     std::span<const std::uint8_t> data, PatchStream& patch);

// Hands everything buffered to the file and flushes the file. Returns false if
// any write, now or earlier, has failed. Does not close the file.
[[nodiscard]] inline bool flush_patch(PatchStream& patch) {
    return flush_output(patch);
}

enum class ReadStep {
    record,      // a head that passed every rule a head alone can break
    end,         // the patch ended cleanly at a record boundary
    fault,       // a rule is broken at `head.position` (the header: position 0)
    read_error,  // the input failed; see patch.error
};

// Reads and checks the 60-byte header. Returns ReadStep::record when it is
// exactly the fixed header, else fault (bad_header) or read_error.
[[nodiscard]] ReadStep read_patch_header(BlockInput& patch, PatchReadState& state,
                                         PatchFault& fault);

// Reads the next record's head and checks the rules that the head alone
// decides (short head, command, length, add offset, order). On
// ReadStep::record, `state` already counts the head and the data that follow,
// and the caller must consume exactly head.length data bytes next (a shortage
// is short_record at head.position); the original-bound rule
// (replace_past_end) is the caller's. Never consumes data bytes.
[[nodiscard]] ReadStep read_record_head(BlockInput& patch, PatchReadState& state, RecordHead& head,
                                        PatchFault& fault);
