#include "format/patch_format.h"

#include <cassert>
#include <cstring>

bool write_header(PatchStream& patch) {
    return write_output(patch, patch_header_bytes());
}

bool write_record_data(std::uint8_t command, std::uint32_t offset,
                       std::span<const std::uint8_t> data, PatchStream& patch) {
    assert(command == COMMAND_REPLACE || command == COMMAND_ADD);
    assert(!data.empty() && data.size() <= MAX_RECORD_DATA);
    assert(command == COMMAND_REPLACE || offset == 0);
    const auto head = encode_record_head(command, offset, static_cast<std::uint8_t>(data.size()));
    if (patch.buffer.size() - patch.used >= RECORD_HEAD_SIZE + data.size()) {
        // The common case: the whole record fits, so no drain check per part.
        std::uint8_t* out = patch.buffer.data() + patch.used;
        std::memcpy(out, head.data(), RECORD_HEAD_SIZE);
        std::memcpy(out + RECORD_HEAD_SIZE, data.data(), data.size());
        patch.used += RECORD_HEAD_SIZE + data.size();
        return !patch.failed;
    }
    // A record may straddle two drains: the file then sees only full,
    // aligned buffer-sized writes, which it takes fastest.
    return write_output(patch, head) && write_output(patch, data);
}

bool write_record(const PatchRecord& record, PatchStream& patch) {
    return write_record_data(record.command, record.offset,
                             std::span(record.data).first(record.length), patch);
}
