// A stream's SHA-256 taken on a thread of its own: a sealed run hashes three
// streams, and a block of the patch or of the result can be hashed while the
// main thread reads it or writes it out (both only read it). Blocks are
// handed over when they are ready, two at most at a time, so that the main
// thread can fill one while the other is hashed; a block is waited for
// before it is overwritten. With `blocks`, each block's own digest is kept
// or checked there too (BlockDigests), on the same thread: a patch read
// twice costs its reading thread no hashing.
#pragma once

#include <deltawright/deltawright.h>

#include "io/block_io.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

struct BlockHasher {
    struct Job {
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
    };
    dw_sha256 hash;
    std::uint64_t size = 0;  // bytes hashed, once finished
    std::thread worker;
    std::mutex lock;
    std::condition_variable changed;
    Job jobs[2];     // jobs[0] is being hashed, jobs[1] waits
    int queued = 0;  // jobs not yet done, in order
    bool stopping = false;
    bool whole = true;               // the stream's digest is taken
    BlockDigests* blocks = nullptr;  // optional: each block's digest kept or checked
};

// Starts the hash and its thread.
void start_hasher(BlockHasher& hasher);

// Waits until no block handed over and not yet hashed starts at `block`, so
// that it may be overwritten.
void wait_hasher(BlockHasher& hasher, const std::uint8_t* block);

// Hands over the next bytes of the stream (waiting while two are queued).
void give_hasher(BlockHasher& hasher, const std::uint8_t* data, std::size_t length);

// Waits until every block handed over is hashed.
void drain_hasher(BlockHasher& hasher);

// Hashes what is queued, ends the thread, and writes the digest (unless
// `digest` is null).
void finish_hasher(BlockHasher& hasher, std::uint8_t digest[DW_SHA256_SIZE]);

// read_block for an input whose blocks' digests are kept or checked by
// `hasher` (its `blocks` the input's digests; the input's own `digests`
// unset), reading into the input's buffer and spare in turn. Kept: the
// block is handed out at once and hashed meanwhile. Checked: a block is
// handed out only once its digest is found equal to the first reading's,
// and the next one is read and checked meanwhile; a block that differs, or
// a file that ends sooner or later, fails the read with `changed` set, as
// read_block does.
std::size_t read_block_hashed(BlockInput& input, BlockHasher& hasher);
