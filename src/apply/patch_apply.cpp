#include "apply/patch_apply.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>

namespace {

// The original seen through its input block: buffer[written, begin) are
// consumed bytes, some overwritten by replace data, not yet written out;
// `position` is the original's position of buffer[begin]. A block goes out
// whole, straight from the input buffer, when the next one is read.
struct OriginalCursor {
    BlockInput& in;
    BlockOutput& out;
    std::size_t written = 0;
    std::uint64_t position = 0;
};

bool emit_consumed(OriginalCursor& c) {
    const auto consumed = std::span(c.in.buffer).subspan(c.written, c.in.begin - c.written);
    c.written = c.in.begin;
    return write_output(c.out, consumed);
}

// Unconsumed original bytes, reading the next block (after writing out this
// one) when none are left. 0 at the end of the original or after a failure.
std::size_t original_available(OriginalCursor& c) {
    if (c.in.begin < c.in.end) {
        return c.in.end - c.in.begin;
    }
    if (!emit_consumed(c)) {
        return 0;
    }
    const std::size_t n = fill_input(c.in);
    c.written = c.in.begin;
    return n;
}

// Consumes the original unchanged up to position `target`. False if it ends or fails first.
bool skip_to(OriginalCursor& c, std::uint64_t target) {
    while (c.position < target) {
        const std::size_t available = original_available(c);
        if (available == 0) {
            return false;
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(available, target - c.position));
        c.in.begin += n;
        c.position += n;
    }
    return true;
}

// Consumes as many original bytes as `data` holds, putting `data` in their place.
bool overlay(OriginalCursor& c, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const std::size_t available = original_available(c);
        if (available == 0) {
            return false;
        }
        const std::size_t n = std::min(available, data.size());
        std::memcpy(c.in.buffer.data() + c.in.begin, data.data(), n);
        c.in.begin += n;
        c.position += n;
        data = data.subspan(n);
    }
    return true;
}

// Writes out the rest of the original, unchanged.
bool finish_original(OriginalCursor& c) {
    skip_to(c, std::numeric_limits<std::uint64_t>::max());
    return emit_consumed(c) && !c.in.failed;
}

// The common case among replace records: whole, well-formed records inside
// the patch block whose bytes lie inside the original's block, put in place
// with no per-record calls. Stops at anything else (a block edge of either
// input, an add record, a fault), which the general path then reads.
void overlay_whole_replaces(BlockInput& patch, PatchReadState& state, OriginalCursor& c) {
    for (;;) {
        const std::size_t available = patch.end - patch.begin;
        if (available < RECORD_HEAD_SIZE) {
            return;
        }
        const std::uint8_t* raw = patch.buffer.data() + patch.begin;
        const RecordHead head = decode_record_head(raw, state.position);
        const std::uint64_t end = std::uint64_t{head.offset} + head.length;
        if (head.command != COMMAND_REPLACE || check_record_head(head, state) != PatchFault::none ||
            available < RECORD_HEAD_SIZE + head.length ||
            end > c.position + (c.in.end - c.in.begin)) {
            return;
        }
        std::uint8_t* target = c.in.buffer.data() + c.in.begin + (head.offset - c.position);
        if (head.length == MAX_RECORD_DATA) {
            std::memcpy(target, raw + RECORD_HEAD_SIZE, MAX_RECORD_DATA);  // a few vector moves
        } else {
            std::memcpy(target, raw + RECORD_HEAD_SIZE, head.length);
        }
        c.in.begin += static_cast<std::size_t>(end - c.position);
        c.position = end;
        count_record(head, state);
        patch.begin += RECORD_HEAD_SIZE + head.length;
    }
}

// The common case after the first add record: whole, well-formed add records
// inside the patch block, copied to the output with no per-record calls.
// Stops at anything else (a block edge, another command, a fault), which the
// general path then reads. False only when the output failed.
bool copy_whole_adds(BlockInput& patch, PatchReadState& state, BlockOutput& output) {
    for (;;) {
        const std::size_t available = patch.end - patch.begin;
        if (available < RECORD_HEAD_SIZE) {
            return true;
        }
        const std::uint8_t* raw = patch.buffer.data() + patch.begin;
        const RecordHead head = decode_record_head(raw, state.position);
        const std::size_t length = head.length;
        if (head.command != COMMAND_ADD || check_record_head(head, state) != PatchFault::none ||
            available < RECORD_HEAD_SIZE + length) {
            return true;
        }
        const std::uint8_t* data = raw + RECORD_HEAD_SIZE;
        const std::size_t data_at = patch.begin + RECORD_HEAD_SIZE;
        if (output.buffer.size() - output.used >= MAX_RECORD_DATA &&
            patch.buffer.size() - data_at >= MAX_RECORD_DATA) {
            // A copy of constant size compiles to a few vector moves, where
            // one of `length` bytes calls memcpy; the bytes past `length`
            // land beyond output.used and are overwritten or never written out.
            std::memcpy(output.buffer.data() + output.used, data, MAX_RECORD_DATA);
            output.used += length;
        } else if (!write_output(output, {data, length})) {
            return false;
        }
        count_record(head, state);
        patch.begin += RECORD_HEAD_SIZE + length;
    }
}

ApplyResult fault_at(PatchFault fault, std::uint64_t position) {
    return {ApplyStatus::invalid_patch, fault, position};
}

// Why the original stopped short: a failed write or read, or else its end,
// which a replace record at `position` reached past.
ApplyResult original_stopped(const OriginalCursor& c, std::uint64_t position) {
    if (c.out.failed) {
        return {ApplyStatus::output_write_error};
    }
    if (c.in.failed) {
        return {ApplyStatus::original_read_error};
    }
    return fault_at(PatchFault::replace_past_end, position);
}

}  // namespace

ApplyResult apply_patch(BlockInput& patch, BlockInput& original, BlockOutput& output) {
    PatchReadState state;
    PatchFault fault = PatchFault::none;
    ReadStep step = read_patch_header(patch, state, fault);
    if (step != ReadStep::record) {
        return step == ReadStep::fault ? fault_at(fault, 0)
                                       : ApplyResult{ApplyStatus::patch_read_error};
    }
    OriginalCursor cursor{original, output};
    bool original_done = false;
    std::array<std::uint8_t, MAX_RECORD_DATA> data_copy{};
    RecordHead head;
    while ((step = read_record_head(patch, state, head, fault)) == ReadStep::record) {
        if (head.command == COMMAND_REPLACE) {
            // The data must all be there before the original is read for them.
            std::span<const std::uint8_t> data;
            if (patch.end - patch.begin >= head.length) {
                data = std::span(patch.buffer).subspan(patch.begin, head.length);
                patch.begin += head.length;
            } else {
                const auto copy = std::span(data_copy).first(head.length);
                data = copy;
                if (read_exact(patch, copy) != head.length) {
                    return patch.failed ? ApplyResult{ApplyStatus::patch_read_error}
                                        : fault_at(PatchFault::short_record, head.position);
                }
            }
            if (!skip_to(cursor, head.offset) || !overlay(cursor, data)) {
                return original_stopped(cursor, head.position);
            }
            overlay_whole_replaces(patch, state, cursor);
            continue;
        }
        if (!original_done) {
            if (!finish_original(cursor)) {
                return original_stopped(cursor, head.position);  // failed: it never ends early
            }
            original_done = true;
        }
        std::size_t left = head.length;
        while (left > 0) {
            const std::size_t available = fill_input(patch);
            if (available == 0) {
                break;
            }
            const std::size_t n = std::min(available, left);
            if (!write_output(output, std::span(patch.buffer).subspan(patch.begin, n))) {
                return {ApplyStatus::output_write_error};
            }
            patch.begin += n;
            left -= n;
        }
        if (patch.failed) {
            return {ApplyStatus::patch_read_error};
        }
        if (left > 0) {
            return fault_at(PatchFault::short_record, head.position);
        }
        if (!copy_whole_adds(patch, state, output)) {
            return {ApplyStatus::output_write_error};
        }
    }
    if (step == ReadStep::fault) {
        return fault_at(fault, head.position);
    }
    if (step == ReadStep::read_error) {
        return {ApplyStatus::patch_read_error};
    }
    if (!original_done && !finish_original(cursor)) {
        return original_stopped(cursor, head.position);  // failed: it never ends early
    }
    if (!flush_output(output)) {
        return {ApplyStatus::output_write_error};
    }
    return {};
}
