#include "io/block_io.h"

#include <algorithm>
#include <cerrno>

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
    return n;
}

bool write_bytes(FileOutput& output, std::span<const std::uint8_t> bytes) {
    if (!output.failed && !bytes.empty() &&
        std::fwrite(bytes.data(), 1, bytes.size(), output.file) != bytes.size()) {
        output.failed = true;
        output.error = errno;
    }
    return !output.failed;
}

bool flush_output(FileOutput& output) {
    if (!output.failed && std::fflush(output.file) != 0) {
        output.failed = true;
        output.error = errno;
    }
    return !output.failed;
}
