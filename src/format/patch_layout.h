// Patch file layout: sizes, codes, the header and a record, and the rules
// every reader applies. Pure computation: no I/O, no allocation, no system
// header, so that it serves the core on any target.
//
// A patch file is one 60-byte header followed by zero or more records, back to
// back, with nothing else: no count, no trailer, no checksum, no input lengths.
// Every multi-byte integer is little-endian.
//
// Header (PATCH_HEADER_SIZE bytes, always the same content):
//   offset  size  field
//        0     5  magic           "DLT40", no terminating zero
//        5     1  format_code     0xFF
//        6    50  reserved_block  all 0x00
//       56     4  option_bytes    four one-byte fields, all 0x00
//
// Record (RECORD_HEAD_SIZE bytes of head, then `length` data bytes):
//   offset  size    field
//        0     1    command  COMMAND_REPLACE (0) or COMMAND_ADD (1)
//        1     4    offset   replace: position of the first data byte; add: 0
//        5     1    length   1 to MAX_RECORD_DATA
//        6  length  data     the updated file's bytes
//
// Replace records come first, in increasing, non-overlapping offset order; add
// records follow, and their data joined in file order are the updated file's
// bytes beyond the original's end.
//
// A reader takes nothing on trust: each rule below, broken, is a dw_error
// at the position of the header or of the offending record's head.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <deltawright/deltawright.h>

inline constexpr std::size_t PATCH_MAGIC_SIZE = 5;
inline constexpr std::array<std::uint8_t, PATCH_MAGIC_SIZE> PATCH_MAGIC = {'D', 'L', 'T', '4', '0'};
inline constexpr std::uint8_t PATCH_FORMAT_CODE = 0xFF;
inline constexpr std::size_t RESERVED_BLOCK_SIZE = 50;
inline constexpr std::size_t OPTION_BYTE_COUNT = 4;
inline constexpr std::size_t PATCH_HEADER_SIZE = 60;
static_assert(PATCH_MAGIC_SIZE + 1 + RESERVED_BLOCK_SIZE + OPTION_BYTE_COUNT == PATCH_HEADER_SIZE);

inline constexpr std::uint8_t COMMAND_REPLACE = 0;
inline constexpr std::uint8_t COMMAND_ADD = 1;
inline constexpr std::size_t RECORD_HEAD_SIZE = 6;  // command 1 + offset 4 + length 1
// 255, not 256: the length field is one byte and a record never has length 0.
inline constexpr std::size_t MAX_RECORD_DATA = 255;
inline constexpr std::size_t MAX_RECORD_SIZE = RECORD_HEAD_SIZE + MAX_RECORD_DATA;
// The largest position a replace record can name; a run starting later cannot be recorded.
inline constexpr std::uint64_t MAX_RECORD_OFFSET = 0xFFFFFFFF;

// Byte `at` of the fixed header: the magic, the format code, then zeros (the
// reserved block and the option bytes).
inline constexpr std::uint8_t patch_header_byte(std::size_t at) {
    if (at < PATCH_MAGIC_SIZE) {
        return PATCH_MAGIC[at];
    }
    return at == PATCH_MAGIC_SIZE ? PATCH_FORMAT_CODE : 0;
}

// One record's head as read, and the position of its first byte in the patch.
struct RecordHead {
    std::uint8_t command = COMMAND_REPLACE;
    std::uint32_t offset = 0;
    std::uint8_t length = 0;
    std::uint64_t position = 0;
};

// What a reader remembers between records: how many patch bytes it has
// consumed, where the last replace record ended, whether an add record came.
struct PatchReadState {
    std::uint64_t position = 0;
    std::uint64_t replace_end = 0;
    bool seen_add = false;
};

// Decodes the RECORD_HEAD_SIZE bytes at `raw`, the head of the record that
// starts at `position` in the patch.
inline RecordHead decode_record_head(const std::uint8_t* raw, std::uint64_t position) {
    RecordHead head;
    head.command = raw[0];
    head.offset = static_cast<std::uint32_t>(raw[1]) | static_cast<std::uint32_t>(raw[2]) << 8 |
                  static_cast<std::uint32_t>(raw[3]) << 16 |
                  static_cast<std::uint32_t>(raw[4]) << 24;
    head.length = raw[5];
    head.position = position;
    return head;
}

// The RECORD_HEAD_SIZE bytes of a record's head: command, offset
// (little-endian), length.
inline std::array<std::uint8_t, RECORD_HEAD_SIZE> encode_record_head(std::uint8_t command,
                                                                     std::uint32_t offset,
                                                                     std::uint8_t length) {
    return {command,
            static_cast<std::uint8_t>(offset),
            static_cast<std::uint8_t>(offset >> 8),
            static_cast<std::uint8_t>(offset >> 16),
            static_cast<std::uint8_t>(offset >> 24),
            length};
}

// The rule a head breaks after the records `state` has counted, or none. The
// rule bound to the original (replace_past_end) is not the head's to tell.
inline dw_error check_record_head(const RecordHead& head, const PatchReadState& state) {
    if (head.command != COMMAND_REPLACE && head.command != COMMAND_ADD) {
        return DW_ERROR_UNKNOWN_COMMAND;
    }
    if (head.length == 0) {
        return DW_ERROR_ZERO_LENGTH;
    }
    if (head.command == COMMAND_ADD) {
        return head.offset != 0 ? DW_ERROR_ADD_OFFSET : DW_OK;
    }
    if (state.seen_add) {
        return DW_ERROR_REPLACE_AFTER_ADD;
    }
    return head.offset < state.replace_end ? DW_ERROR_REPLACE_ORDER : DW_OK;
}

// Counts a checked record, head and data, in `state`.
inline void count_record(const RecordHead& head, PatchReadState& state) {
    if (head.command == COMMAND_ADD) {
        state.seen_add = true;
    } else {
        state.replace_end = std::uint64_t{head.offset} + head.length;
    }
    state.position += RECORD_HEAD_SIZE + head.length;
}
