#include "io/block_io.h"

#include "io/block_hasher.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>

bool account_block(BlockDigests& d, const std::uint8_t* data, std::size_t n) {
    std::array<std::uint8_t, DW_SHA256_SIZE> digest{};
    dw_sha256 hash;
    dw_sha256_init(&hash);
    dw_sha256_update(&hash, data, n);
    dw_sha256_final(&hash, digest.data());
    if (!d.checking) {
        d.digests.push_back(digest);
        return true;
    }
    return d.next < d.digests.size() && d.digests[d.next++] == digest;
}

BlockRead read_raw_block(BlockInput& input, std::span<std::uint8_t> into) {
    BlockRead r;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), input.limit));
    r.n = want == 0 ? 0 : std::fread(into.data(), 1, want, input.file);
    input.limit -= r.n;
    if (r.n < want || input.limit == 0) {
        if (std::ferror(input.file) != 0) {
            r.failed = true;
            r.error = errno;
            r.n = 0;
        } else {
            r.ended = true;
        }
    }
    return r;
}

std::size_t hand_out(BlockInput& input, const BlockRead& r) {
    input.ended = r.ended;
    input.failed = r.failed;
    input.error = r.error;
    if (ReadMeter* m = input.meter; m != nullptr) {
        m->done += r.n;
        if (m->tick != nullptr) {
            m->tick(*m);
        }
    }
    return r.n;
}

std::size_t read_block(BlockInput& input) {
    if (input.ended || input.failed) {
        return 0;
    }
    if (input.digest_worker != nullptr) {
        return read_block_hashed(input, *input.digest_worker);
    }
    const BlockRead r = read_raw_block(input, input.buffer);
    BlockDigests* d = input.digests;
    if (d != nullptr && ((r.n > 0 && !account_block(*d, input.buffer.data(), r.n)) ||
                         (d->checking && r.ended && d->next != d->digests.size()))) {
        d->changed = true;
        input.failed = true;
        input.error = 0;
        return 0;
    }
    return hand_out(input, r);
}

bool write_bytes(FileOutput& output, std::span<const std::uint8_t> bytes) {
    if (output.failed || bytes.empty()) {
        return !output.failed;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), output.file) != bytes.size()) {
        output.failed = true;
        output.error = errno;
        return false;
    }
    if (output.write_behind) {
        start_writeback(output.file, output.written, bytes.size());
    }
    output.written += bytes.size();
    return true;
}

bool flush_output(FileOutput& output) {
    if (!output.failed && std::fflush(output.file) != 0) {
        output.failed = true;
        output.error = errno;
    }
    return !output.failed;
}
