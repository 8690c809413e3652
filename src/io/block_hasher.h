// A stream's SHA-256 taken on a thread of its own: a sealed run hashes three
// streams, and a block of the patch or of the result can be hashed while the
// main thread reads it or writes it out (both only read it). Blocks are
// handed over when they are ready, two at most at a time, so that the main
// thread can fill one while the other is hashed; a block is waited for
// before it is overwritten.
#pragma once

#include <deltawright/deltawright.h>

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
};

// Starts the hash and its thread.
void start_hasher(BlockHasher& hasher);

// Waits until no block handed over and not yet hashed starts at `block`, so
// that it may be overwritten.
void wait_hasher(BlockHasher& hasher, const std::uint8_t* block);

// Hands over the next bytes of the stream (waiting while two are queued).
void give_hasher(BlockHasher& hasher, const std::uint8_t* data, std::size_t length);

// Hashes what is queued, ends the thread, and writes the digest.
void finish_hasher(BlockHasher& hasher, std::uint8_t digest[DW_SHA256_SIZE]);
