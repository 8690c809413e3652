#include "io/block_io.h"

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>

namespace {

// Keeps or checks a block's digest; false when a checked block differs.
bool account(BlockDigests& d, const std::uint8_t* data, std::size_t n) {
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

}  // namespace

std::size_t read_block(BlockInput& input) {
    if (input.ended || input.failed) {
        return 0;
    }
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(input.buffer.size(), input.limit));
    const std::size_t n = want == 0 ? 0 : std::fread(input.buffer.data(), 1, want, input.file);
    input.limit -= n;
    if (n < want || input.limit == 0) {
        if (std::ferror(input.file) != 0) {
            input.failed = true;
            input.error = errno;
            return 0;
        }
        input.ended = true;
    }
    BlockDigests* d = input.digests;
    if (d != nullptr && ((n > 0 && !account(*d, input.buffer.data(), n)) ||
                         (d->checking && input.ended && d->next != d->digests.size()))) {
        d->changed = true;
        input.failed = true;
        input.error = 0;
        return 0;
    }
    if (ReadMeter* m = input.meter; m != nullptr) {
        m->done += n;
        if (m->tick != nullptr) {
            m->tick(*m);
        }
    }
    return n;
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
