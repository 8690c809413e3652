#include "scan/difference_scan.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "scan/scan_internal.h"
#include "scan/span_compare.h"

namespace {

// Turns the differences between u[0, n) and o[0, n), the bytes at positions
// base to base + n - 1, into replace records. A run reaching the end of the
// span stays pending in the builder, so records split only at
// MAX_RECORD_DATA bytes or at an equal byte, never at a block edge.
ScanStatus scan_span(RecordBuilder& builder, std::uint64_t base, const std::uint8_t* u,
                     const std::uint8_t* o, std::size_t n, PatchStream& patch) {
    PatchRecord& pending = builder.record;
    std::size_t i = 0;
    while (i < n) {
        if (pending.length == 0) {
            i += equal_prefix(u + i, o + i, n - i);
            if (i == n) {
                break;
            }
            if (base + i > MAX_RECORD_OFFSET) {
                return ScanStatus::offset_limit;
            }
            pending.offset = static_cast<std::uint32_t>(base + i);
        }
        const std::size_t room = MAX_RECORD_DATA - pending.length;
        const std::size_t run = differing_prefix(u + i, o + i, std::min(room, n - i));
        // Full, or ended by an equal byte inside the span: the record is complete.
        const bool complete = run == room || i + run < n;
        if (pending.length == 0 && complete) {
            // A run that starts and ends in this span goes out without a copy.
            if (!write_record_data(COMMAND_REPLACE, pending.offset, {u + i, run}, patch)) {
                return ScanStatus::patch_write_error;
            }
        } else {
            std::memcpy(pending.data.data() + pending.length, u + i, run);
            pending.length = static_cast<std::uint8_t>(pending.length + run);
            if (complete && !flush_builder(builder, patch)) {
                return ScanStatus::patch_write_error;
            }
        }
        i += run;
    }
    return ScanStatus::complete;
}

}  // namespace

ScanStatus scan_files(BlockInput& updated, BlockInput& original, PatchStream& patch) {
    assert(!updated.buffer.empty() && !original.buffer.empty());
    RecordBuilder builder;       // starts empty, command replace
    std::uint64_t position = 0;  // of the first unconsumed byte of both inputs
    for (;;) {
        const std::size_t u_available = fill_input(updated);
        if (updated.failed) {
            return ScanStatus::updated_read_error;
        }
        if (u_available == 0) {
            break;
        }
        const std::size_t o_available = fill_input(original);
        if (original.failed) {
            return ScanStatus::original_read_error;
        }
        if (o_available == 0) {
            return append_tail(builder, updated, patch);
        }
        const std::size_t n = std::min(u_available, o_available);
        const ScanStatus status =
            scan_span(builder, position, updated.buffer.data() + updated.begin,
                      original.buffer.data() + original.begin, n, patch);
        if (status != ScanStatus::complete) {
            return status;
        }
        updated.begin += n;
        original.begin += n;
        position += n;
    }
    return flush_builder(builder, patch) ? ScanStatus::complete : ScanStatus::patch_write_error;
}
