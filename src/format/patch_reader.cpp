#include <algorithm>
#include <array>

#include "format/patch_format.h"

const char* describe_fault(PatchFault fault) {
    switch (fault) {
        case PatchFault::none:
            return "no fault";
        case PatchFault::bad_header:
            return "not the 60-byte DLT40 header";
        case PatchFault::short_record:
            return "record cut short by the end of the patch";
        case PatchFault::unknown_command:
            return "unknown command (neither replace 0 nor add 1)";
        case PatchFault::zero_length:
            return "record of length 0";
        case PatchFault::add_offset:
            return "add record with an offset other than 0";
        case PatchFault::replace_after_add:
            return "replace record after an add record";
        case PatchFault::replace_out_of_order:
            return "replace record below the end of the previous one (out of order or overlapping)";
        case PatchFault::replace_past_end:
            return "replace record reaches past the end of the original";
    }
    return "unknown fault";
}

ReadStep read_patch_header(BlockInput& patch, PatchReadState& state, PatchFault& fault) {
    std::array<std::uint8_t, PATCH_HEADER_SIZE> got{};
    const std::size_t n = read_exact(patch, got);
    if (patch.failed) {
        return ReadStep::read_error;
    }
    state.position += n;
    // The expected bytes, field by field as the layout gives them.
    std::array<std::uint8_t, PATCH_HEADER_SIZE> want{};
    std::copy(PATCH_MAGIC.begin(), PATCH_MAGIC.end(), want.begin());
    want[PATCH_MAGIC_SIZE] = PATCH_FORMAT_CODE;
    if (n < PATCH_HEADER_SIZE || got != want) {
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
    fault = PatchFault::none;
    if (n < RECORD_HEAD_SIZE) {
        fault = PatchFault::short_record;
        return ReadStep::fault;
    }
    head.command = raw[0];
    head.offset = static_cast<std::uint32_t>(raw[1]) | static_cast<std::uint32_t>(raw[2]) << 8 |
                  static_cast<std::uint32_t>(raw[3]) << 16 |
                  static_cast<std::uint32_t>(raw[4]) << 24;
    head.length = raw[5];
    const std::uint64_t end = std::uint64_t{head.offset} + head.length;
    if (head.command != COMMAND_REPLACE && head.command != COMMAND_ADD) {
        fault = PatchFault::unknown_command;
    } else if (head.length == 0) {
        fault = PatchFault::zero_length;
    } else if (head.command == COMMAND_ADD && head.offset != 0) {
        fault = PatchFault::add_offset;
    } else if (head.command == COMMAND_REPLACE && state.seen_add) {
        fault = PatchFault::replace_after_add;
    } else if (head.command == COMMAND_REPLACE && head.offset < state.replace_end) {
        fault = PatchFault::replace_out_of_order;
    }
    if (fault != PatchFault::none) {
        return ReadStep::fault;
    }
    if (head.command == COMMAND_ADD) {
        state.seen_add = true;
    } else {
        state.replace_end = end;
    }
    state.position += RECORD_HEAD_SIZE + head.length;
    return ReadStep::record;
}
