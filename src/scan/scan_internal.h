// Pieces shared by the lockstep scan and the appended tail.
#pragma once

#include <cstddef>

#include "scan/difference_scan.h"

// Empties the builder for the phase whose records carry `command`.
inline void clear_builder(RecordBuilder& builder, std::uint8_t command) {
    builder.record.command = command;
    builder.record.offset = 0;
    builder.record.length = 0;  // bytes past length are never read
}

// Writes the pending record, if any, and empties the builder.
[[nodiscard]] inline bool flush_builder(RecordBuilder& builder, PatchStream& patch) {
    const bool ok = builder.record.length == 0 || write_record(builder.record, patch);
    clear_builder(builder, builder.record.command);
    return ok;
}
