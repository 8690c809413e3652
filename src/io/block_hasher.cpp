#include "io/block_hasher.h"

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
        dw_sha256_update(&h->hash, job.data, job.length);
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

void finish_hasher(BlockHasher& hasher, std::uint8_t digest[DW_SHA256_SIZE]) {
    {
        std::unique_lock<std::mutex> guard(hasher.lock);
        hasher.changed.wait(guard, [&hasher] { return hasher.queued == 0; });
        hasher.stopping = true;
        hasher.changed.notify_all();
    }
    hasher.worker.join();
    dw_sha256_final(&hasher.hash, digest);
}
