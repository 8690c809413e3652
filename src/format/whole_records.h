// Whole records straight from the caller's buffer: the reader's fast path for
// loops that handle each record at once (an update in place reads tens of
// millions of one-byte records). Header-only, so that the loop's handler is
// inlined; pure computation, as the rest of the format.
//
// take_whole_records consumes, in `in`, as many records as lie whole there,
// each checked by the same rules as dw_reader_next and counted in the
// reader's state, and hands each to `take(head, data)` with no event. It
// stops before a record that is not whole in `in`, breaks a rule, or reaches
// past the original's end: dw_reader_next then reads that one as always, so
// every fault is told by one code, at one position. It stops too when `take`
// returns false: that record is not consumed.
#pragma once

#include <cstddef>
#include <cstdint>

#include <deltawright/deltawright.h>

#include "format/patch_layout.h"

// The reader's phases (dw_reader::phase_). PAST_END: the data of a replace
// record that reaches past the original's end, read without an event, so
// that a record also cut short is reported as cut short, as the applier
// (which learns the original's end only as it reads it) reports it.
enum ReaderPhase : std::uint8_t { READ_HEADER, READ_HEAD, READ_DATA, READ_FAILED, READ_PAST_END };

template <typename Take>
void take_whole_records(dw_reader& reader, dw_in_buffer& in, Take take) {
    if (reader.phase_ == READ_DATA && reader.remaining_ == 0) {
        reader.phase_ = READ_HEAD;  // a record told by events has ended
    }
    if (reader.phase_ != READ_HEAD || reader.filled_ != 0 || in.pos >= in.size) {
        return;
    }
    const std::uint8_t* const first = in.data + in.pos;
    const std::uint8_t* p = first;
    const std::uint8_t* const end = in.data + in.size;
    PatchReadState state{reader.position, reader.replace_end_, reader.seen_add_ != 0};
    while (static_cast<std::size_t>(end - p) >= RECORD_HEAD_SIZE) {
        const RecordHead head = decode_record_head(p, state.position);
        if (check_record_head(head, state) != DW_OK ||
            static_cast<std::size_t>(end - p) < RECORD_HEAD_SIZE + head.length ||
            (head.command == COMMAND_REPLACE && reader.original_size_ != DW_SIZE_UNKNOWN &&
             std::uint64_t{head.offset} + head.length > reader.original_size_) ||
            !take(head, p + RECORD_HEAD_SIZE)) {
            break;
        }
        count_record(head, state);
        reader.offset = head.offset;
        reader.length = head.length;
        p += RECORD_HEAD_SIZE + head.length;
    }
    in.pos += static_cast<std::size_t>(p - first);
    reader.position = state.position;
    reader.replace_end_ = state.replace_end;
    reader.seen_add_ = state.seen_add ? 1 : 0;
}
