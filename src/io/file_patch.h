// Making and applying patches between files: the library's streaming maker
// and applier fed from files in blocks, their output written to a file.
//
// This is where files meet the library: it owns the reading and writing and
// the system's error numbers, the library owns the format. Each input is read
// forward once; nothing is seeked, so any file may be a pipe. Nothing is
// allocated: the caller hands in the blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <deltawright/deltawright.h>

#include "format/patch_layout.h"
#include "io/block_hasher.h"
#include "io/block_io.h"
#include "io/run_result.h"

// Sizes and SHA-256 digests taken as the streams are read and the result is
// made, each on a thread of its own: the original's (each block hashed before
// the result is built over it), the patch's and the result's (or, for a
// check, the updated file's). An apply cuts the result at `result_limit`.
struct Sealing {
    BlockHasher original;
    BlockHasher patch;
    BlockHasher result;
    std::uint64_t result_limit = UINT64_MAX;
};

// Starts the hashers; finish_sealing must follow, whatever the run's end.
void start_sealing(Sealing& seal);

// Ends the hashers and writes the three digests (their sizes are in them).
void finish_sealing(Sealing& seal, std::uint8_t original_digest[DW_SHA256_SIZE],
                    std::uint8_t patch_digest[DW_SHA256_SIZE],
                    std::uint8_t result_digest[DW_SHA256_SIZE]);

// Writes the patch from `updated` to `original` to `patch`: header and
// records, flushed. `patch_block` (any non-zero size) collects the patch
// bytes, so that the file sees writes of its size. Stops at the first failure
// and says which (the patch is Stream::output; an offset beyond
// MAX_RECORD_OFFSET is Outcome::invalid with DW_ERROR_OFFSET_LIMIT). The
// original may be left unread past the updated file's end. Never opens,
// closes or seeks a file.
[[nodiscard]] RunResult make_patch(BlockInput& updated, BlockInput& original,
                                   std::span<std::uint8_t> patch_block, FileOutput& patch);

// Applies `patch` to `original`, writing the result to `output`, flushed.
// The result is built in the original's block itself (replace data written
// over its bytes) and written from there, so no original byte is copied.
// Stops at the first fault or failure: the output then holds a prefix of
// some result and must be thrown away. Never opens, closes or seeks a file.
// With `seal`, the sizes and digests are taken too, and the result is cut at
// seal->result_limit bytes; the original's next block is then read into its
// second block and hashed while the result's block is written. An output without a file takes the
// result nowhere: a sealed run then only learns the result's digest.
[[nodiscard]] RunResult apply_patch(BlockInput& patch, BlockInput& original, FileOutput& output,
                                    Sealing* seal = nullptr);

// Applies `patch` to `original` and compares the result with `updated` as
// it comes, reading the three once, forward, together; writes nothing.
// `updated` is read in its own blocks. Stops at the first difference; when
// the updated file ends first, reads on to the end of the patch (every rule
// is still checked) and of the original as far as its length matters: all
// of it with a seal, otherwise no further than telling that it goes on.
// With `seal`, the sizes and digests of the three are taken too (complete
// when the outcome is `done`).
[[nodiscard]] RunResult check_patch(BlockInput& updated, BlockInput& patch, BlockInput& original,
                                    Sealing* seal = nullptr);

// Hashes what `input` holds from where it stands into `hash`, adding to
// `size`. False on a read error.
[[nodiscard]] bool hash_input(BlockInput& input, dw_sha256& hash, std::uint64_t& size);

// The same through `hasher`, reading into the input's two blocks in turn
// while the other is hashed; no other hasher may hold them.
[[nodiscard]] bool hash_input(BlockInput& input, BlockHasher& hasher);
