// The public streaming applier (deltawright.h): the record reader's events
// turned into result bytes, with the original read alongside. Nothing is
// buffered here: every byte goes from the caller's input buffers straight to
// the caller's output buffer.
#include <deltawright/deltawright.h>

#include <algorithm>
#include <cstring>

#include "format/patch_layout.h"
#include "format/stream_buffers.h"
#include "scan/span_compare.h"

namespace {

enum Mode : std::uint8_t {
    NEXT,                 // waiting for the reader's next event
    COPY_BEFORE,          // original bytes up to a replace record's offset
    REPLACE_DATA,         // a replace record's data over the original's bytes
    COPY_REST_THEN_ADD,   // the rest of the original, before add data
    ADD_DATA,             // an add record's data
    COPY_REST_THEN_DONE,  // the rest of the original, at the end of the patch
    FINISHED,
    FAILED,
};

dw_apply_status fail_past_end(dw_applier* a) {
    a->reader.error = static_cast<std::uint8_t>(DW_ERROR_PAST_ORIGINAL);
    a->reader.error_position = a->record_at_;
    a->mode_ = FAILED;
    return DW_APPLY_ERROR;
}

// Copies original bytes to the output, or skips the copy when the output
// shares the original's memory at this point.
void pass_original(dw_in_buffer* original, dw_out_buffer* out, std::size_t n) {
    if (n > 0 && out->data + out->pos != original->data + original->pos) {
        std::memcpy(out->data + out->pos, original->data + original->pos, n);
    }
    out->pos += n;
    original->pos += n;
}

// Copies original bytes to the output until `written` reaches `until` (or,
// with UINT64_MAX, until the original ends). Returns DW_APPLY_DONE when it
// got there or the original ended first (a replace record then finds the
// original used up, and reaches past its end), else what it needs.
dw_apply_status copy_original(dw_applier* a, dw_in_buffer* original, dw_out_buffer* out,
                              std::uint64_t until) {
    while (a->written < until) {
        const std::size_t have = available(original);
        if (have == 0) {
            if (a->original_ended_ != 0) {
                return DW_APPLY_DONE;
            }
            return DW_APPLY_NEED_ORIGINAL;
        }
        if (room(out) == 0) {
            return DW_APPLY_NEED_OUTPUT;
        }
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({have, room(out), until - a->written}));
        pass_original(original, out, n);
        a->written += n;
    }
    return DW_APPLY_DONE;
}

// Hands the reader at most `cap` bytes of the patch, so that a data fragment
// never exceeds what the output (and the original) can take now.
dw_read_event next_capped(dw_applier* a, dw_in_buffer* patch, std::size_t cap) {
    dw_in_buffer view{patch->data, patch->pos + std::min(cap, available(patch)), patch->pos};
    const dw_read_event event = dw_reader_next(&a->reader, &view);
    patch->pos = view.pos;
    return event;
}

// The origin check: replace data compared with the original's bytes they
// replace, before they replace them. `at` is the result position of data[0].
void compare_with_original(dw_applier* a, const std::uint8_t* data, const std::uint8_t* old,
                           std::size_t n, std::uint64_t at) {
    if (a->first_unchanged == DW_SIZE_UNKNOWN) {
        const std::size_t k = differing_prefix(data, old, n);
        if (k < n) {
            a->first_unchanged = at + k;
        }
    }
    if (a->any_changed == 0 && equal_prefix(data, old, n) < n) {
        a->any_changed = 1;
    }
}

// The common case: whole records inside the patch buffer whose bytes lie
// inside the original and output buffers are placed here, without a return
// to the mode loop for each event. Every one still goes through the reader,
// head and data, as in the slow path, so that the rules are checked in one
// place; a record this cannot place whole is left to the slow path.
void place_whole_records(dw_applier* a, dw_in_buffer* patch, dw_in_buffer* original,
                         dw_out_buffer* out) {
    while (available(patch) >= RECORD_HEAD_SIZE) {
        const std::uint8_t* raw = patch->data + patch->pos;
        const RecordHead head = decode_record_head(raw, 0);
        if (available(patch) < RECORD_HEAD_SIZE + head.length) {
            return;
        }
        std::size_t before = 0;  // original bytes to pass before the data
        if (head.command == COMMAND_REPLACE) {
            if (head.offset < a->written) {
                return;  // out of order: the slow path reports it
            }
            const std::uint64_t need = std::uint64_t{head.offset} + head.length - a->written;
            if (need > available(original) || need > room(out)) {
                return;
            }
            before = static_cast<std::size_t>(head.offset - a->written);
        } else if (head.command != COMMAND_ADD || a->original_ended_ == 0 ||
                   available(original) != 0 || head.length > room(out)) {
            return;  // an add record before the original is used up, or a fault
        }
        if (dw_reader_next(&a->reader, patch) == DW_READ_ERROR) {
            a->mode_ = FAILED;
            return;
        }
        dw_reader_next(&a->reader, patch);  // the whole data: they are all there
        pass_original(original, out, before);
        if (head.command == COMMAND_REPLACE) {
            compare_with_original(a, a->reader.data, original->data + original->pos,
                                  a->reader.data_size, a->written + before);
        }
        copy_bytes(out->data + out->pos, a->reader.data, a->reader.data_size);
        out->pos += a->reader.data_size;
        if (head.command == COMMAND_REPLACE) {
            original->pos += a->reader.data_size;
        }
        a->written += before + a->reader.data_size;
    }
}

// The patch has no bytes now: more are needed, or it has ended.
dw_apply_status patch_used_up(dw_applier* a) {
    if (a->patch_ended_ == 0) {
        return DW_APPLY_NEED_PATCH;
    }
    if (dw_reader_finish(&a->reader) == DW_READ_ERROR) {
        a->mode_ = FAILED;
        return DW_APPLY_ERROR;
    }
    a->mode_ = COPY_REST_THEN_DONE;
    return DW_APPLY_DONE;  // not returned to the caller: the loop goes on
}

}  // namespace

extern "C" {

void dw_applier_init(dw_applier* applier) {
    *applier = dw_applier{};
    dw_reader_init(&applier->reader, DW_SIZE_UNKNOWN);
    applier->first_unchanged = DW_SIZE_UNKNOWN;
    applier->mode_ = NEXT;
}

void dw_applier_end_patch(dw_applier* applier) {
    applier->patch_ended_ = 1;
}

void dw_applier_end_original(dw_applier* applier) {
    applier->original_ended_ = 1;
}

int dw_applier_past_replaces(const dw_applier* applier) {
    const std::uint8_t m = applier->mode_;
    return m == COPY_REST_THEN_ADD || m == ADD_DATA || m == COPY_REST_THEN_DONE || m == FINISHED
               ? 1
               : 0;
}

dw_apply_status dw_apply(dw_applier* a, dw_in_buffer* patch, dw_in_buffer* original,
                         dw_out_buffer* out) {
    while (true) {
        switch (a->mode_) {
            case FINISHED:
                return DW_APPLY_DONE;
            case FAILED:
                return DW_APPLY_ERROR;
            case NEXT: {
                if (a->reader.position >= PATCH_HEADER_SIZE && a->reader.filled_ == 0) {
                    place_whole_records(a, patch, original, out);
                    if (a->mode_ == FAILED) {
                        break;
                    }
                }
                const dw_read_event event = dw_reader_next(&a->reader, patch);
                if (event == DW_READ_ERROR) {
                    a->mode_ = FAILED;
                } else if (event == DW_READ_MORE) {
                    if (const dw_apply_status s = patch_used_up(a); s != DW_APPLY_DONE) {
                        return s;
                    }
                } else {
                    a->record_at_ = a->reader.position - RECORD_HEAD_SIZE;
                    a->left_ = a->reader.length;
                    a->past_end_ = 0;
                    a->mode_ = event == DW_READ_ADD ? COPY_REST_THEN_ADD : COPY_BEFORE;
                }
                break;
            }
            case COPY_BEFORE: {
                const dw_apply_status s = copy_original(a, original, out, a->reader.offset);
                if (s != DW_APPLY_DONE) {
                    return s;
                }
                a->mode_ = REPLACE_DATA;
                break;
            }
            case REPLACE_DATA:
            case ADD_DATA: {
                const bool replace = a->mode_ == REPLACE_DATA;
                if (a->left_ == 0) {
                    if (a->past_end_ != 0) {
                        return fail_past_end(a);
                    }
                    a->mode_ = NEXT;
                    break;
                }
                std::size_t cap = a->left_;
                if (a->past_end_ == 0) {
                    if (room(out) == 0) {
                        return DW_APPLY_NEED_OUTPUT;
                    }
                    cap = std::min(cap, room(out));
                    if (replace && available(original) == 0) {
                        if (a->original_ended_ == 0) {
                            return DW_APPLY_NEED_ORIGINAL;
                        }
                        a->past_end_ = 1;  // its data are still read: a shortage comes first
                        break;
                    }
                    if (replace) {
                        cap = std::min(cap, available(original));
                    }
                }
                const dw_read_event event = next_capped(a, patch, cap);
                if (event == DW_READ_ERROR) {
                    a->mode_ = FAILED;
                } else if (event == DW_READ_MORE) {
                    if (const dw_apply_status s = patch_used_up(a); s != DW_APPLY_DONE) {
                        return s;
                    }
                } else {  // DW_READ_DATA
                    const std::size_t n = a->reader.data_size;
                    if (a->past_end_ == 0) {
                        if (replace) {
                            compare_with_original(a, a->reader.data, original->data + original->pos,
                                                  n, a->written);
                        }
                        copy_bytes(out->data + out->pos, a->reader.data, n);
                        out->pos += n;
                        a->written += n;
                        if (replace) {
                            original->pos += n;
                        }
                    }
                    a->left_ = static_cast<std::uint8_t>(a->left_ - n);
                }
                break;
            }
            case COPY_REST_THEN_ADD:
            case COPY_REST_THEN_DONE: {
                const dw_apply_status s = copy_original(a, original, out, UINT64_MAX);
                if (s != DW_APPLY_DONE) {
                    return s;
                }
                a->mode_ = a->mode_ == COPY_REST_THEN_ADD ? ADD_DATA : FINISHED;
                break;
            }
            default:
                a->mode_ = FAILED;
                break;
        }
    }
}

}  // extern "C"
