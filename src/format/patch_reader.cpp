#include <array>

#include "format/patch_format.h"

ReadStep read_patch_header(BlockInput& patch, PatchReadState& state, PatchFault& fault) {
    std::array<std::uint8_t, PATCH_HEADER_SIZE> got{};
    const std::size_t n = read_exact(patch, got);
    if (patch.failed) {
        return ReadStep::read_error;
    }
    state.position += n;
    if (n < PATCH_HEADER_SIZE || got != patch_header_bytes()) {
        fault = PatchFault::bad_header;
        return ReadStep::fault;
    }
    return ReadStep::record;
}

ReadStep read_record_head(BlockInput& patch, PatchReadState& state, RecordHead& head,
                          PatchFault& fault) {
    std::array<std::uint8_t, RECORD_HEAD_SIZE> raw{};
    const std::size_t n = read_exact(patch, raw);
    if (patch.failed) {
        return ReadStep::read_error;
    }
    head.position = state.position;
    if (n == 0) {
        return ReadStep::end;
    }
    if (n < RECORD_HEAD_SIZE) {
        fault = PatchFault::short_record;
        return ReadStep::fault;
    }
    head = decode_record_head(raw.data(), state.position);
    fault = check_record_head(head, state);
    if (fault != PatchFault::none) {
        return ReadStep::fault;
    }
    count_record(head, state);
    return ReadStep::record;
}
