#include "io/block_io.h"

#include <cerrno>

std::size_t read_block(BlockInput& input) {
    if (input.ended || input.failed) {
        return 0;
    }
    const std::size_t n = std::fread(input.buffer.data(), 1, input.buffer.size(), input.file);
    if (n < input.buffer.size()) {
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
