#include "io/block_hasher.h"

#include <utility>

namespace {

void hash_blocks(BlockHasher* h) {
    std::unique_lock<std::mutex> guard(h->lock);
    while (true) {
        h->changed.wait(guard, [h] { return h->queued > 0 || h->stopping; });
        if (h->queued == 0) {
            return;  // stopping, nothing queued
        }
        const BlockHasher::Job job = h->jobs[0];
        guard.unlock();
        if (h->whole) {
            dw_sha256_update(&h->hash, job.data, job.length);
        }
        if (h->blocks != nullptr && !account_block(*h->blocks, job.data, job.length)) {
            h->blocks->changed = true;
        }
        guard.lock();
        h->size += job.length;
        h->jobs[0] = h->jobs[1];
        --h->queued;
        h->changed.notify_all();
    }
}

}  // namespace

void start_hasher(BlockHasher& hasher) {
    dw_sha256_init(&hasher.hash);
    hasher.worker = std::thread(hash_blocks, &hasher);
}

void wait_hasher(BlockHasher& hasher, const std::uint8_t* block) {
    std::unique_lock<std::mutex> guard(hasher.lock);
    hasher.changed.wait(guard, [&hasher, block] {
        for (int i = 0; i < hasher.queued; ++i) {
            if (hasher.jobs[i].data == block) {
                return false;
            }
        }
        return true;
    });
}

void give_hasher(BlockHasher& hasher, const std::uint8_t* data, std::size_t length) {
    if (length == 0) {
        return;
    }
    std::unique_lock<std::mutex> guard(hasher.lock);
    hasher.changed.wait(guard, [&hasher] { return hasher.queued < 2; });
    hasher.jobs[hasher.queued++] = {data, length};
    hasher.changed.notify_all();
}

void drain_hasher(BlockHasher& hasher) {
    std::unique_lock<std::mutex> guard(hasher.lock);
    hasher.changed.wait(guard, [&hasher] { return hasher.queued == 0; });
}

void finish_hasher(BlockHasher& hasher, std::uint8_t digest[DW_SHA256_SIZE]) {
    {
        std::unique_lock<std::mutex> guard(hasher.lock);
        hasher.changed.wait(guard, [&hasher] { return hasher.queued == 0; });
        hasher.stopping = true;
        hasher.changed.notify_all();
    }
    hasher.worker.join();
    if (digest != nullptr) {
        dw_sha256_final(&hasher.hash, digest);
    }
}

std::size_t read_block_hashed(BlockInput& input, BlockHasher& hasher) {
    BlockDigests& d = *hasher.blocks;
    if (input.ended || input.failed) {
        return 0;
    }
    if (!d.checking) {
        // Its digest kept on the other thread while this one uses it.
        std::swap(input.buffer, input.spare);
        wait_hasher(hasher, input.buffer.data());
        const BlockRead r = read_raw_block(input, input.buffer);
        give_hasher(hasher, input.buffer.data(), r.n);
        return hand_out(input, r);
    }
    // Checked before it is handed out: the next block is read, and checked
    // on the other thread, while this one is used.
    if (!input.primed) {
        input.primed = true;
        input.ahead = read_raw_block(input, input.spare);
        give_hasher(hasher, input.spare.data(), input.ahead.n);
    }
    std::swap(input.buffer, input.spare);
    const BlockRead r = input.ahead;
    wait_hasher(hasher, input.buffer.data());
    if (d.changed || (r.ended && d.next != d.digests.size())) {
        d.changed = true;
        input.failed = true;
        input.error = 0;
        return 0;
    }
    if (!r.ended && !r.failed) {
        input.ahead = read_raw_block(input, input.spare);
        give_hasher(hasher, input.spare.data(), input.ahead.n);
    }
    return hand_out(input, r);
}
