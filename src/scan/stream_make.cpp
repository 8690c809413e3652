// The public streaming maker (deltawright.h): the lockstep scan and the
// appended tail over caller buffers of any size, building one record at a
// time in its state and handing it out whole, so that the patch is byte for
// byte the same however the inputs are cut into pieces.
#include <deltawright/deltawright.h>

#include <algorithm>
#include <cstring>

#include "format/patch_layout.h"
#include "format/stream_buffers.h"
#include "scan/span_compare.h"

namespace {

enum Mode : std::uint8_t {
    HEADER,              // the 60 header bytes going out
    COMPARE,             // lockstep: runs of differing bytes become replace records
    TAIL,                // the original has ended: the rest becomes add records
    FLUSH_THEN_COMPARE,  // a finished record going out, then back to ...
    FLUSH_THEN_TAIL,
    FLUSH_THEN_DONE,
    FINISHED,
    FAILED,
};

std::size_t data_held(const dw_maker* m) {
    return m->record_size_ == 0 ? 0 : m->record_size_ - RECORD_HEAD_SIZE;
}

// The length goes in when the record is finished.
void start_record(dw_maker* m, std::uint8_t command, std::uint32_t offset) {
    const auto head = encode_record_head(command, offset, 0);
    copy_bytes(m->record_, head.data(), RECORD_HEAD_SIZE);
    m->record_size_ = RECORD_HEAD_SIZE;
}

// Appends data bytes to the record being built.
void hold(dw_maker* m, const std::uint8_t* data, std::size_t n) {
    copy_bytes(m->record_ + m->record_size_, data, n);
    m->record_size_ = static_cast<std::uint16_t>(m->record_size_ + n);
}

// Closes the record being built, if any, and says where to go once it is out.
void finish_record(dw_maker* m, Mode then) {
    if (m->record_size_ > RECORD_HEAD_SIZE) {
        m->record_[5] = static_cast<std::uint8_t>(data_held(m));
    } else {
        m->record_size_ = 0;
    }
    m->mode_ = then;
}

// A whole record straight into the output, when it fits: no copy into the state.
void put_record(dw_out_buffer* out, std::uint8_t command, std::uint32_t offset,
                const std::uint8_t* data, std::size_t length) {
    const auto head = encode_record_head(command, offset, static_cast<std::uint8_t>(length));
    copy_bytes(out->data + out->pos, head.data(), RECORD_HEAD_SIZE);
    copy_bytes(out->data + out->pos + RECORD_HEAD_SIZE, data, length);
    out->pos += RECORD_HEAD_SIZE + length;
}

}  // namespace

extern "C" {

void dw_maker_init(dw_maker* maker) {
    *maker = dw_maker{};
    maker->mode_ = HEADER;
}

void dw_maker_end_updated(dw_maker* maker) {
    maker->updated_ended_ = 1;
}

void dw_maker_end_original(dw_maker* maker) {
    maker->original_ended_ = 1;
}

dw_make_status dw_make(dw_maker* m, dw_in_buffer* updated, dw_in_buffer* original,
                       dw_out_buffer* out) {
    while (true) {
        switch (m->mode_) {
            case FINISHED:
                return DW_MAKE_DONE;
            case FAILED:
                return DW_MAKE_ERROR;
            case HEADER: {
                for (; m->record_sent_ < PATCH_HEADER_SIZE; ++m->record_sent_) {
                    if (room(out) == 0) {
                        return DW_MAKE_NEED_OUTPUT;
                    }
                    out->data[out->pos++] = patch_header_byte(m->record_sent_);
                }
                m->record_sent_ = 0;
                m->mode_ = COMPARE;
                break;
            }
            case FLUSH_THEN_COMPARE:
            case FLUSH_THEN_TAIL:
            case FLUSH_THEN_DONE: {
                const std::size_t n =
                    std::min<std::size_t>(room(out), m->record_size_ - m->record_sent_);
                copy_bytes(out->data + out->pos, m->record_ + m->record_sent_, n);
                out->pos += n;
                m->record_sent_ = static_cast<std::uint16_t>(m->record_sent_ + n);
                if (m->record_sent_ < m->record_size_) {
                    return DW_MAKE_NEED_OUTPUT;
                }
                m->record_size_ = 0;
                m->record_sent_ = 0;
                m->mode_ = m->mode_ == FLUSH_THEN_COMPARE ? COMPARE
                           : m->mode_ == FLUSH_THEN_TAIL  ? TAIL
                                                          : FINISHED;
                break;
            }
            case COMPARE: {
                if (available(updated) == 0) {
                    if (m->updated_ended_ == 0) {
                        return DW_MAKE_NEED_UPDATED;
                    }
                    finish_record(m, FLUSH_THEN_DONE);
                    break;
                }
                if (available(original) == 0) {
                    if (m->original_ended_ == 0) {
                        return DW_MAKE_NEED_ORIGINAL;
                    }
                    finish_record(m, FLUSH_THEN_TAIL);  // a run is cut at the original's end
                    break;
                }
                const std::size_t n = std::min(available(updated), available(original));
                const std::uint8_t* u = updated->data + updated->pos;
                const std::uint8_t* o = original->data + original->pos;
                // Equal spans are skipped and differing runs taken whole, with
                // the scan's span compares.
                std::size_t k = 0;
                while (k < n && m->mode_ == COMPARE) {
                    const bool fresh = m->record_size_ == 0;
                    if (fresh) {
                        k += equal_prefix(u + k, o + k, n - k);
                        if (k == n) {
                            break;
                        }
                        if (m->position + k > MAX_RECORD_OFFSET) {
                            m->error = static_cast<std::uint8_t>(DW_ERROR_OFFSET_LIMIT);
                            m->mode_ = FAILED;
                            return DW_MAKE_ERROR;
                        }
                    }
                    const std::size_t run = differing_prefix(
                        u + k, o + k, std::min(n - k, MAX_RECORD_DATA - data_held(m)));
                    const bool full = data_held(m) + run == MAX_RECORD_DATA;
                    const bool cut = !full && k + run < n;  // one equal byte ends the run
                    const auto offset = static_cast<std::uint32_t>(m->position + k);
                    if (fresh && (full || cut) && room(out) >= RECORD_HEAD_SIZE + run) {
                        put_record(out, COMMAND_REPLACE, offset, u + k, run);
                    } else {
                        if (fresh) {
                            start_record(m, COMMAND_REPLACE, offset);
                        }
                        hold(m, u + k, run);
                        if (full || cut) {
                            finish_record(m, FLUSH_THEN_COMPARE);
                        }
                    }
                    k += run + (cut ? 1 : 0);
                }
                updated->pos += k;
                original->pos += k;
                m->position += k;
                break;
            }
            case TAIL: {
                if (available(updated) == 0) {
                    if (m->updated_ended_ == 0) {
                        return DW_MAKE_NEED_UPDATED;
                    }
                    finish_record(m, FLUSH_THEN_DONE);
                    break;
                }
                if (m->record_size_ == 0 && available(updated) >= MAX_RECORD_DATA &&
                    room(out) >= MAX_RECORD_SIZE) {
                    put_record(out, COMMAND_ADD, 0, updated->data + updated->pos, MAX_RECORD_DATA);
                    updated->pos += MAX_RECORD_DATA;
                    m->position += MAX_RECORD_DATA;
                    break;
                }
                if (m->record_size_ == 0) {
                    start_record(m, COMMAND_ADD, 0);
                }
                const std::size_t n = std::min(available(updated), MAX_RECORD_DATA - data_held(m));
                hold(m, updated->data + updated->pos, n);
                updated->pos += n;
                m->position += n;
                if (data_held(m) == MAX_RECORD_DATA) {
                    finish_record(m, FLUSH_THEN_TAIL);
                }
                break;
            }
            default:
                m->mode_ = FAILED;
                break;
        }
    }
}

}  // extern "C"
