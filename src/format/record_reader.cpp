// The public record reader (deltawright.h) over the layout's rules
// (patch_layout.h), checked in the order a patch's bytes arrive, on pieces
// of any size: a record is told complete, or broken, at the same position
// however the patch is cut.
#include <deltawright/deltawright.h>

#include <algorithm>
#include <cstddef>

#include "format/patch_layout.h"
#include "format/whole_records.h"

namespace {

dw_read_event fail(dw_reader* reader, dw_error fault, std::uint64_t position) {
    reader->phase_ = READ_FAILED;
    reader->error = static_cast<std::uint8_t>(fault);
    reader->error_position = position;
    return DW_READ_ERROR;
}

}  // namespace

extern "C" {

const char* dw_version_string(void) {
    return DW_VERSION_STRING;
}

void dw_reader_init(dw_reader* reader, uint64_t original_size) {
    *reader = dw_reader{};
    reader->original_size_ = original_size;
    reader->phase_ = READ_HEADER;
}

dw_read_event dw_reader_next(dw_reader* reader, dw_in_buffer* in) {
    while (true) {
        const std::size_t available = in->pos < in->size ? in->size - in->pos : 0;
        switch (reader->phase_) {
            case READ_FAILED:
                return DW_READ_ERROR;
            case READ_HEADER:
                while (in->pos < in->size && reader->filled_ < PATCH_HEADER_SIZE) {
                    if (in->data[in->pos] != patch_header_byte(reader->filled_)) {
                        return fail(reader, DW_ERROR_HEADER, 0);
                    }
                    ++in->pos;
                    ++reader->filled_;
                    ++reader->position;
                }
                if (reader->filled_ < PATCH_HEADER_SIZE) {
                    return DW_READ_MORE;
                }
                reader->filled_ = 0;
                reader->phase_ = READ_HEAD;
                break;
            case READ_HEAD: {
                // A head inside the buffer is read there; one split across
                // pieces is collected first.
                const std::uint8_t* raw = in->data + in->pos;
                if (reader->filled_ > 0 || available < RECORD_HEAD_SIZE) {
                    const std::size_t n = std::min(available, RECORD_HEAD_SIZE - reader->filled_);
                    std::copy_n(in->data + in->pos, n, reader->head_ + reader->filled_);
                    in->pos += n;
                    reader->filled_ = static_cast<std::uint8_t>(reader->filled_ + n);
                    reader->position += n;
                    if (reader->filled_ < RECORD_HEAD_SIZE) {
                        return DW_READ_MORE;
                    }
                    reader->filled_ = 0;
                    raw = reader->head_;
                } else {
                    in->pos += RECORD_HEAD_SIZE;
                    reader->position += RECORD_HEAD_SIZE;
                }
                const std::uint64_t start = reader->position - RECORD_HEAD_SIZE;
                const RecordHead head = decode_record_head(raw, start);
                PatchReadState state{start, reader->replace_end_, reader->seen_add_ != 0};
                const dw_error fault = check_record_head(head, state);
                if (fault != DW_OK) {
                    return fail(reader, fault, start);
                }
                reader->offset = head.offset;
                reader->length = head.length;
                reader->remaining_ = head.length;
                if (head.command == COMMAND_REPLACE && reader->original_size_ != DW_SIZE_UNKNOWN &&
                    std::uint64_t{head.offset} + head.length > reader->original_size_) {
                    reader->phase_ = READ_PAST_END;
                    break;
                }
                count_record(head, state);
                reader->replace_end_ = state.replace_end;
                reader->seen_add_ = state.seen_add ? 1 : 0;
                reader->phase_ = READ_DATA;
                return head.command == COMMAND_ADD ? DW_READ_ADD : DW_READ_REPLACE;
            }
            case READ_DATA: {
                if (reader->remaining_ == 0) {
                    reader->phase_ = READ_HEAD;
                    break;
                }
                if (available == 0) {
                    return DW_READ_MORE;
                }
                const std::size_t n = std::min<std::size_t>(available, reader->remaining_);
                reader->data = in->data + in->pos;
                reader->data_size = n;
                in->pos += n;
                reader->position += n;
                reader->remaining_ = static_cast<std::uint8_t>(reader->remaining_ - n);
                return DW_READ_DATA;
            }
            case READ_PAST_END: {
                const std::size_t n = std::min<std::size_t>(available, reader->remaining_);
                in->pos += n;
                reader->position += n;
                reader->remaining_ = static_cast<std::uint8_t>(reader->remaining_ - n);
                if (reader->remaining_ > 0) {
                    return DW_READ_MORE;
                }
                return fail(reader, DW_ERROR_PAST_ORIGINAL,
                            reader->position - reader->length - RECORD_HEAD_SIZE);
            }
            default:
                return fail(reader, DW_ERROR_HEADER, 0);
        }
    }
}

dw_read_event dw_reader_finish(dw_reader* reader) {
    switch (reader->phase_) {
        case READ_FAILED:
            return DW_READ_ERROR;
        case READ_HEADER:
            return fail(reader, DW_ERROR_HEADER, 0);
        case READ_HEAD:
            if (reader->filled_ > 0) {
                return fail(reader, DW_ERROR_TRUNCATED, reader->position - reader->filled_);
            }
            return DW_READ_END;
        default:
            if (reader->remaining_ > 0) {
                return fail(
                    reader, DW_ERROR_TRUNCATED,
                    reader->position - (reader->length - reader->remaining_) - RECORD_HEAD_SIZE);
            }
            return DW_READ_END;
    }
}

}  // extern "C"
