#include "io/file_patch.h"

#include <deltawright/deltawright.h>

namespace {

// Bytes of a buffer handed to the library as the next piece of a stream.
dw_in_buffer next_piece(BlockInput& input) {
    return {input.buffer.data(), read_block(input), 0};
}

}  // namespace

ScanStatus make_patch(BlockInput& updated, BlockInput& original,
                      std::span<std::uint8_t> patch_block, FileOutput& patch) {
    dw_maker maker;
    dw_maker_init(&maker);
    dw_in_buffer u{updated.buffer.data(), 0, 0};
    dw_in_buffer o{original.buffer.data(), 0, 0};
    dw_out_buffer out{patch_block.data(), patch_block.size(), 0};
    while (true) {
        switch (dw_make(&maker, &u, &o, &out)) {
            case DW_MAKE_NEED_UPDATED:
                u = next_piece(updated);
                if (updated.failed) {
                    return ScanStatus::updated_read_error;
                }
                if (u.size == 0) {
                    dw_maker_end_updated(&maker);
                }
                break;
            case DW_MAKE_NEED_ORIGINAL:
                o = next_piece(original);
                if (original.failed) {
                    return ScanStatus::original_read_error;
                }
                if (o.size == 0) {
                    dw_maker_end_original(&maker);
                }
                break;
            case DW_MAKE_NEED_OUTPUT:
                if (!write_bytes(patch, {out.data, out.pos})) {
                    return ScanStatus::patch_write_error;
                }
                out.pos = 0;
                break;
            case DW_MAKE_DONE:
                if (!write_bytes(patch, {out.data, out.pos}) || !flush_output(patch)) {
                    return ScanStatus::patch_write_error;
                }
                return ScanStatus::complete;
            case DW_MAKE_ERROR:
                return ScanStatus::offset_limit;
        }
    }
}

ApplyResult apply_patch(BlockInput& patch, BlockInput& original, FileOutput& output) {
    dw_applier applier;
    dw_applier_init(&applier);
    dw_in_buffer p{patch.buffer.data(), 0, 0};
    // The output shares the original's block, in step with it (see
    // deltawright.h); once the original has ended, the whole block is free.
    dw_in_buffer o{original.buffer.data(), 0, 0};
    dw_out_buffer out{original.buffer.data(), 0, 0};
    bool original_ended = false;
    const auto failed = [](ApplyStatus status) { return ApplyResult{status, PatchFault::none, 0}; };
    while (true) {
        const dw_apply_status status = dw_apply(&applier, &p, &o, &out);
        switch (status) {
            case DW_APPLY_NEED_PATCH:
                p = next_piece(patch);
                if (patch.failed) {
                    return failed(ApplyStatus::patch_read_error);
                }
                if (p.size == 0) {
                    dw_applier_end_patch(&applier);
                }
                break;
            case DW_APPLY_NEED_ORIGINAL:
            case DW_APPLY_NEED_OUTPUT:
            case DW_APPLY_DONE:
                if (!write_bytes(output, {out.data, out.pos})) {
                    return failed(ApplyStatus::output_write_error);
                }
                if (status == DW_APPLY_DONE) {
                    return flush_output(output) ? ApplyResult{}
                                                : failed(ApplyStatus::output_write_error);
                }
                if (original_ended) {
                    out = {original.buffer.data(), original.buffer.size(), 0};
                    break;
                }
                o = next_piece(original);
                if (original.failed) {
                    return failed(ApplyStatus::original_read_error);
                }
                out = {original.buffer.data(), o.size, 0};
                if (o.size == 0) {
                    dw_applier_end_original(&applier);
                    original_ended = true;
                    out.size = original.buffer.size();
                }
                break;
            case DW_APPLY_ERROR:
                return {ApplyStatus::invalid_patch, static_cast<PatchFault>(applier.reader.error),
                        applier.reader.error_position};
        }
    }
}
