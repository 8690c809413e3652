#include "io/file_patch.h"

#include <deltawright/deltawright.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Before a sealed run reads an input's next block: the block goes into the
// input's other buffer, if it has one, so that `hasher` can go on with this
// one; and the hasher must be done with the buffer about to be overwritten.
void alternate(BlockInput& input, BlockHasher& hasher) {
    if (!input.spare.empty()) {
        std::swap(input.buffer, input.spare);
    }
    wait_hasher(hasher, input.buffer.data());
}

// Bytes of a buffer handed to the library as the next piece of a stream.
dw_in_buffer next_piece(BlockInput& input) {
    return {input.buffer.data(), read_block(input), 0};
}

// The original's blocks, which the result shares (see deltawright.h): the
// output is in step with the original until it has ended, and has the whole
// block after that. Unsealed, one block is read, built in and written, in
// turn. Sealed, each block read is handed to the original's hasher and
// waited for before the result is built over it; with the input's spare, the
// next block is read into it while the last one is written, and with its
// third block too, one more is read ahead, so that the original's hasher
// works on a block while the result's hasher and the writes use others.
struct OriginalBlock {
    BlockInput& input;
    Sealing* seal;
    std::span<std::uint8_t> blocks[3];
    int count;        // blocks in use: 1, or with a seal 2 or 3
    int current = 0;  // the block the applier uses
    // Blocks read and not yet taken, in order (at most count - 1, or 1).
    struct Fetched {
        dw_in_buffer piece;
        int block;
    } fetched[2] = {};
    int fetched_count = 0;
    dw_in_buffer in{input.buffer.data(), 0, 0};
    dw_out_buffer out{input.buffer.data(), 0, 0};
    bool ended = false;
    std::uint64_t read = 0;  // original bytes taken so far
};

OriginalBlock original_blocks(BlockInput& input, Sealing* seal) {
    const int count = seal == nullptr || input.spare.empty() ? 1 : input.third.empty() ? 2 : 3;
    return {input, seal, {input.buffer, input.spare, input.third}, count};
}

// A block neither in use by the applier nor fetched, once the result's
// hasher is done with it (its last result may still be being hashed).
int free_block(OriginalBlock& o) {
    int b = 0;
    for (int step = 1; step <= o.count; ++step) {  // in turn: each hashed as long as can be
        const int i = (o.current + step) % o.count;
        const bool fetched = (o.fetched_count > 0 && o.fetched[0].block == i) ||
                             (o.fetched_count > 1 && o.fetched[1].block == i);
        if (i != o.current && !fetched) {
            b = i;
            break;
        }
    }
    if (o.seal != nullptr) {
        wait_hasher(o.seal->result, o.blocks[b].data());
    }
    return b;
}

// Called once the output's bytes are taken (or, sealed, handed to the
// result's hasher): reads ahead as far as there are blocks for, handing
// each block read to the original's hasher, up to the original's end (an
// empty piece) or a read error.
void fetch_original(OriginalBlock& o) {
    const int ahead = o.count == 3 ? 2 : 1;
    while (!o.ended && o.fetched_count < ahead && !o.input.failed &&
           (o.fetched_count == 0 || o.fetched[o.fetched_count - 1].piece.size > 0)) {
        const int b = o.count == 1 ? 0 : free_block(o);
        o.input.buffer = o.blocks[b];
        const dw_in_buffer piece = next_piece(o.input);
        if (o.input.failed) {
            return;
        }
        if (o.seal != nullptr) {
            give_hasher(o.seal->original, piece.data, piece.size);
        }
        o.fetched[o.fetched_count++] = {piece, b};
    }
}

// After the original's end: the output has a whole block, one its hashers
// are done with.
void give_whole_block(OriginalBlock& o) {
    if (o.count > 1) {
        for (int i = 0; i < o.fetched_count; ++i) {
            wait_hasher(o.seal->original, o.fetched[i].piece.data);
        }
        o.fetched_count = 0;
        o.current = free_block(o);
    }
    o.out = {o.blocks[o.current].data(), o.blocks[o.current].size(), 0};
}

// Makes the first fetched block the applier's, once its hashing is done
// (the result is built over it). False on a read error.
bool take_original(OriginalBlock& o, dw_applier& applier) {
    if (o.ended) {
        give_whole_block(o);
        return true;
    }
    if (o.fetched_count == 0) {
        return false;  // the read failed
    }
    o.in = o.fetched[0].piece;
    o.current = o.fetched[0].block;
    o.fetched[0] = o.fetched[1];
    --o.fetched_count;
    if (o.seal != nullptr) {
        wait_hasher(o.seal->original, o.in.data);
    }
    o.read += o.in.size;
    o.out = {o.blocks[o.current].data(), o.in.size, 0};
    if (o.in.size == 0) {
        dw_applier_end_original(&applier);
        o.ended = true;
        give_whole_block(o);
    }
    return true;
}

bool next_original(OriginalBlock& o, dw_applier& applier) {
    fetch_original(o);
    return take_original(o, applier);
}

// The next piece of the patch for the applier, which is told when the patch
// has ended. False on a read error.
bool next_patch(BlockInput& patch, dw_in_buffer& piece, dw_applier& applier, Sealing* seal) {
    if (seal != nullptr) {
        alternate(patch, seal->patch);
    }
    piece = next_piece(patch);
    if (patch.failed) {
        return false;
    }
    if (seal != nullptr) {
        give_hasher(seal->patch, piece.data, piece.size);
    }
    if (piece.size == 0) {
        dw_applier_end_patch(&applier);
    }
    return true;
}

}  // namespace

RunResult make_patch(BlockInput& updated, BlockInput& original, std::span<std::uint8_t> patch_block,
                     FileOutput& patch) {
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
                    return stream_failed(Outcome::read_error, Stream::updated, updated.error);
                }
                if (u.size == 0) {
                    dw_maker_end_updated(&maker);
                }
                break;
            case DW_MAKE_NEED_ORIGINAL:
                o = next_piece(original);
                if (original.failed) {
                    return stream_failed(Outcome::read_error, Stream::original, original.error);
                }
                if (o.size == 0) {
                    dw_maker_end_original(&maker);
                }
                break;
            case DW_MAKE_NEED_OUTPUT:
                if (!write_bytes(patch, {out.data, out.pos})) {
                    return stream_failed(Outcome::write_error, Stream::output, patch.error);
                }
                out.pos = 0;
                break;
            case DW_MAKE_DONE:
                if (!write_bytes(patch, {out.data, out.pos}) || !flush_output(patch)) {
                    return stream_failed(Outcome::write_error, Stream::output, patch.error);
                }
                return {};
            case DW_MAKE_ERROR: {
                RunResult r;
                r.outcome = Outcome::invalid;
                r.error = static_cast<dw_error>(maker.error);
                r.position = maker.position;
                return r;
            }
        }
    }
}

void start_sealing(Sealing& seal) {
    start_hasher(seal.original);
    start_hasher(seal.patch);
    start_hasher(seal.result);
}

void finish_sealing(Sealing& seal, std::uint8_t original_digest[DW_SHA256_SIZE],
                    std::uint8_t patch_digest[DW_SHA256_SIZE],
                    std::uint8_t result_digest[DW_SHA256_SIZE]) {
    finish_hasher(seal.original, original_digest);
    finish_hasher(seal.patch, patch_digest);
    finish_hasher(seal.result, result_digest);
}

RunResult apply_patch(BlockInput& patch, BlockInput& original, FileOutput& output, Sealing* seal) {
    dw_applier applier;
    dw_applier_init(&applier);
    dw_in_buffer p{patch.buffer.data(), 0, 0};
    OriginalBlock o = original_blocks(original, seal);
    std::uint64_t written = 0;  // result bytes written out
    while (true) {
        const dw_apply_status status = dw_apply(&applier, &p, &o.in, &o.out);
        switch (status) {
            case DW_APPLY_NEED_PATCH:
                if (!next_patch(patch, p, applier, seal)) {
                    return stream_failed(Outcome::read_error, Stream::patch, patch.error);
                }
                break;
            case DW_APPLY_NEED_ORIGINAL:
            case DW_APPLY_NEED_OUTPUT:
            case DW_APPLY_DONE: {
                std::size_t n = o.out.pos;
                if (seal != nullptr) {
                    n = static_cast<std::size_t>(
                        std::min<std::uint64_t>(n, seal->result_limit - written));
                    give_hasher(seal->result, o.out.data, n);
                }
                written += n;
                // Sealed, the original's next block goes into the other
                // block, so it is read and hashed while this one is written.
                const bool ahead = o.count > 1 && status != DW_APPLY_DONE;
                if (ahead) {
                    fetch_original(o);
                }
                if (output.file != nullptr && !write_bytes(output, {o.out.data, n})) {
                    return stream_failed(Outcome::write_error, Stream::output, output.error);
                }
                if (status == DW_APPLY_DONE) {
                    if (output.file != nullptr && !flush_output(output)) {
                        return stream_failed(Outcome::write_error, Stream::output, output.error);
                    }
                    RunResult done;
                    done.first_unchanged = applier.first_unchanged;
                    done.any_changed = applier.any_changed != 0;
                    return done;
                }
                if (!ahead) {
                    fetch_original(o);
                }
                if (!take_original(o, applier)) {
                    return stream_failed(Outcome::read_error, Stream::original, original.error);
                }
                break;
            }
            case DW_APPLY_ERROR:
                return patch_invalid(static_cast<dw_error>(applier.reader.error),
                                     applier.reader.error_position);
        }
    }
}

namespace {

// The updated file as the check reads it: a block, and how far it is used.
struct UpdatedCursor {
    BlockInput& input;
    Sealing* seal;
    dw_in_buffer piece{nullptr, 0, 0};
    std::uint64_t position = 0;  // of piece.data[piece.pos]
};

// The next piece of the updated file. False on a read error.
bool next_updated(UpdatedCursor& u) {
    if (u.seal != nullptr) {
        alternate(u.input, u.seal->result);
    }
    u.piece = next_piece(u.input);
    if (u.input.failed) {
        return false;
    }
    if (u.seal != nullptr) {
        give_hasher(u.seal->result, u.piece.data, u.piece.size);
    }
    return true;
}

// Compares the next result bytes with the updated file's. Returns false when
// the check is decided (a difference, the updated file's end, a read error).
bool compare_result(UpdatedCursor& u, const std::uint8_t* bytes, std::size_t n, RunResult& r) {
    while (n > 0) {
        if (u.piece.pos == u.piece.size) {
            if (!next_updated(u)) {
                r = stream_failed(Outcome::read_error, Stream::updated, u.input.error);
                return false;
            }
            if (u.piece.size == 0) {
                r.outcome = Outcome::result_longer;
                r.position = u.position;
                return false;
            }
        }
        const std::size_t k = std::min(n, u.piece.size - u.piece.pos);
        const std::uint8_t* theirs = u.piece.data + u.piece.pos;
        if (std::memcmp(bytes, theirs, k) != 0) {
            std::size_t at = 0;
            while (bytes[at] == theirs[at]) {
                ++at;
            }
            r.outcome = Outcome::differs;
            r.position = u.position + at;
            return false;
        }
        u.piece.pos += k;
        u.position += k;
        bytes += k;
        n -= k;
    }
    return true;
}

}  // namespace

RunResult check_patch(BlockInput& updated, BlockInput& patch, BlockInput& original, Sealing* seal) {
    dw_applier applier;
    dw_applier_init(&applier);
    dw_in_buffer p{patch.buffer.data(), 0, 0};
    OriginalBlock o = original_blocks(original, seal);
    UpdatedCursor u{updated, seal};
    RunResult r;
    bool draining = false;  // the updated file has ended: the result is only counted
    while (true) {
        const dw_apply_status status = dw_apply(&applier, &p, &o.in, &o.out);
        switch (status) {
            case DW_APPLY_NEED_PATCH:
                if (!next_patch(patch, p, applier, seal)) {
                    return stream_failed(Outcome::read_error, Stream::patch, patch.error);
                }
                break;
            case DW_APPLY_NEED_ORIGINAL:
            case DW_APPLY_NEED_OUTPUT:
            case DW_APPLY_DONE:
                if (!draining && !compare_result(u, o.out.data, o.out.pos, r)) {
                    if (r.outcome == Outcome::read_error) {
                        return r;
                    }
                    draining = true;  // decided, unless the patch turns out invalid
                }
                if (status == DW_APPLY_DONE) {
                    if (draining) {
                        r.original_size = o.read;
                        return r;
                    }
                    // The result has ended: the updated file must end too.
                    if (u.piece.pos == u.piece.size && !next_updated(u)) {
                        return stream_failed(Outcome::read_error, Stream::updated, updated.error);
                    }
                    if (u.piece.size > u.piece.pos) {
                        r.outcome = Outcome::result_shorter;
                        r.position = u.position;
                    }
                    return r;
                }
                // Decided, and no replace record left: the rest of the
                // original matters only as far as telling whether it goes
                // on past the updated file's end, unless a seal needs all
                // of it. So an endless original ends here.
                if (draining && dw_applier_past_replaces(&applier) != 0 && o.read > r.position &&
                    (seal == nullptr || r.outcome != Outcome::result_longer)) {
                    dw_applier_end_original(&applier);
                    o.ended = true;
                    give_whole_block(o);
                    o.in = {o.out.data, 0, 0};
                    break;
                }
                if (!next_original(o, applier)) {
                    return stream_failed(Outcome::read_error, Stream::original, original.error);
                }
                break;
            case DW_APPLY_ERROR:
                return patch_invalid(static_cast<dw_error>(applier.reader.error),
                                     applier.reader.error_position);
        }
    }
}

bool hash_input(BlockInput& input, dw_sha256& hash, std::uint64_t& size) {
    while (std::size_t n = read_block(input)) {
        dw_sha256_update(&hash, input.buffer.data(), n);
        size += n;
    }
    return !input.failed;
}

bool hash_input(BlockInput& input, BlockHasher& hasher) {
    while (true) {
        alternate(input, hasher);
        const std::size_t n = read_block(input);
        if (n == 0) {
            return !input.failed;
        }
        give_hasher(hasher, input.buffer.data(), n);
    }
}
