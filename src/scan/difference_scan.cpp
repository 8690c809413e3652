#include "scan/difference_scan.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "scan/scan_internal.h"

namespace {

constexpr bool LITTLE_ENDIAN_HOST = std::endian::native == std::endian::little;
constexpr std::uint64_t LOW_BITS = 0x0101010101010101;
constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;

std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Index, in memory order, of the lowest-addressed non-zero byte of a non-zero word.
std::size_t first_set_byte(std::uint64_t w) {
    if constexpr (LITTLE_ENDIAN_HOST) {
        return static_cast<std::size_t>(std::countr_zero(w)) / 8;
    } else {
        return static_cast<std::size_t>(std::countl_zero(w)) / 8;
    }
}

// Number of leading positions at which a and b hold equal bytes, at most n.
// Equal spans are the common case, so they are skipped 32 bytes at a time.
std::size_t equal_prefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    std::size_t i = 0;
    while (n - i >= 32) {
        const std::uint64_t x0 = load_word(a + i) ^ load_word(b + i);
        const std::uint64_t x1 = load_word(a + i + 8) ^ load_word(b + i + 8);
        const std::uint64_t x2 = load_word(a + i + 16) ^ load_word(b + i + 16);
        const std::uint64_t x3 = load_word(a + i + 24) ^ load_word(b + i + 24);
        if ((x0 | x1 | x2 | x3) != 0) {
            break;
        }
        i += 32;
    }
    while (n - i >= 8) {
        const std::uint64_t x = load_word(a + i) ^ load_word(b + i);
        if (x != 0) {
            return i + first_set_byte(x);
        }
        i += 8;
    }
    while (i < n && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Number of leading positions at which a and b hold different bytes, at most n.
std::size_t differing_prefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    std::size_t i = 0;
    if constexpr (LITTLE_ENDIAN_HOST) {
        // Marks the zero bytes of a ^ b; the lowest mark is exact (borrows only
        // run upwards, and upwards is later in memory on this byte order).
        while (n - i >= 8) {
            const std::uint64_t x = load_word(a + i) ^ load_word(b + i);
            const std::uint64_t zero_marks = (x - LOW_BITS) & ~x & HIGH_BITS;
            if (zero_marks != 0) {
                return i + first_set_byte(zero_marks);
            }
            i += 8;
        }
    }
    while (i < n && a[i] != b[i]) {
        ++i;
    }
    return i;
}

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
        if (run == MAX_RECORD_DATA) {
            // A full run from an empty builder goes out without a copy.
            if (!write_record_data(COMMAND_REPLACE, pending.offset, {u + i, run}, patch)) {
                return ScanStatus::patch_write_error;
            }
            i += run;
            continue;
        }
        std::memcpy(pending.data.data() + pending.length, u + i, run);
        pending.length = static_cast<std::uint8_t>(pending.length + run);
        i += run;
        // Full, or ended by an equal byte inside the span: the record is complete.
        if ((pending.length == MAX_RECORD_DATA || i < n) && !flush_builder(builder, patch)) {
            return ScanStatus::patch_write_error;
        }
    }
    return ScanStatus::complete;
}

}  // namespace

std::size_t fill_input(ScanInput& input) {
    if (input.begin == input.end && !input.ended && !input.failed) {
        input.begin = 0;
        input.end = std::fread(input.buffer.data(), 1, input.buffer.size(), input.file);
        if (input.end < input.buffer.size()) {
            // fread stops short only at the end of the file or on an error.
            if (std::ferror(input.file) != 0) {
                input.failed = true;
                input.end = 0;
            } else {
                input.ended = true;
            }
        }
    }
    return input.end - input.begin;
}

ScanStatus scan_files(ScanInput& updated, ScanInput& original, PatchStream& patch) {
    assert(!updated.buffer.empty() && !original.buffer.empty());
    RecordBuilder builder;
    clear_builder(builder, COMMAND_REPLACE);
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
