#include <algorithm>
#include <cstring>

#include "scan/difference_scan.h"
#include "scan/scan_internal.h"

ScanStatus append_tail(RecordBuilder& builder, BlockInput& updated, PatchStream& patch) {
    // A run still open at the original's end is cut there, never extended.
    if (!flush_builder(builder, patch)) {
        return ScanStatus::patch_write_error;
    }
    clear_builder(builder, COMMAND_ADD);
    PatchRecord& pending = builder.record;
    while (const std::size_t available = fill_input(updated)) {
        std::span<const std::uint8_t> rest =
            std::span(updated.buffer).subspan(updated.begin, available);
        updated.begin = updated.end;
        while (!rest.empty()) {
            const std::size_t n = std::min(rest.size(), MAX_RECORD_DATA - pending.length);
            if (pending.length == 0 && n == MAX_RECORD_DATA) {
                // A full record goes out straight from the input block.
                if (!write_record_data(COMMAND_ADD, 0, rest.first(n), patch)) {
                    return ScanStatus::patch_write_error;
                }
            } else {
                // A record's start or end crosses a block edge: collect it.
                std::memcpy(pending.data.data() + pending.length, rest.data(), n);
                pending.length = static_cast<std::uint8_t>(pending.length + n);
                if (pending.length == MAX_RECORD_DATA && !flush_builder(builder, patch)) {
                    return ScanStatus::patch_write_error;
                }
            }
            rest = rest.subspan(n);
        }
    }
    if (updated.failed) {
        return ScanStatus::updated_read_error;
    }
    return flush_builder(builder, patch) ? ScanStatus::complete : ScanStatus::patch_write_error;
}
