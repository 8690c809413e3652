// Patch file layout and its writers.
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
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

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

struct PatchHeader {
    std::array<std::uint8_t, PATCH_MAGIC_SIZE> magic;
    std::uint8_t format_code;
    std::array<std::uint8_t, RESERVED_BLOCK_SIZE> reserved_block;
    std::array<std::uint8_t, OPTION_BYTE_COUNT> option_bytes;
};

inline constexpr PatchHeader PATCH_HEADER = {PATCH_MAGIC, PATCH_FORMAT_CODE, {}, {}};

// In memory only: never written as one block, so its padding cannot reach the file.
struct PatchRecord {
    std::uint8_t command = COMMAND_REPLACE;
    std::uint32_t offset = 0;
    std::uint8_t length = 0;  // first `length` bytes of `data` are meaningful
    std::array<std::uint8_t, MAX_RECORD_DATA> data = {};
};

// The patch output: an open, writable file owned by the caller, and a buffer
// (owned by the caller, any non-zero size) that collects header and records so
// that the file sees only writes of the whole buffer, but for the last one.
// `failed` is sticky: once a write to `file` has failed, nothing more is written.
struct PatchStream {
    std::FILE* file = nullptr;
    std::span<std::uint8_t> buffer;
    std::size_t used = 0;
    bool failed = false;
};

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
[[nodiscard]] bool flush_patch(PatchStream& patch);
