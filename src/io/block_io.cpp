#include "io/block_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Hands the buffered bytes to the file; a short count is a failure.
bool drain(BlockOutput& output) {
    if (output.failed) {
        return false;
    }
    if (output.used > 0 &&
        std::fwrite(output.buffer.data(), 1, output.used, output.file) != output.used) {
        output.failed = true;
        output.error = errno;
    }
    output.used = 0;
    return !output.failed;
}

}  // namespace

std::size_t fill_input(BlockInput& input) {
    if (input.begin == input.end && !input.ended && !input.failed) {
        input.begin = 0;
        input.end = std::fread(input.buffer.data(), 1, input.buffer.size(), input.file);
        if (input.end < input.buffer.size()) {
            // fread stops short only at the end of the file or on an error.
            if (std::ferror(input.file) != 0) {
                input.failed = true;
                input.error = errno;
                input.end = 0;
            } else {
                input.ended = true;
            }
        }
    }
    return input.end - input.begin;
}

std::size_t read_exact(BlockInput& input, std::span<std::uint8_t> out) {
    std::size_t copied = 0;
    while (copied < out.size()) {
        const std::size_t available = fill_input(input);
        if (available == 0) {
            break;
        }
        const std::size_t n = std::min(available, out.size() - copied);
        std::memcpy(out.data() + copied, input.buffer.data() + input.begin, n);
        input.begin += n;
        copied += n;
    }
    return copied;
}

bool write_output(BlockOutput& output, std::span<const std::uint8_t> bytes) {
    if (output.used == 0 && bytes.size() >= output.buffer.size()) {
        if (!output.failed &&
            std::fwrite(bytes.data(), 1, bytes.size(), output.file) != bytes.size()) {
            output.failed = true;
            output.error = errno;
        }
        return !output.failed;
    }
    while (!bytes.empty()) {
        if (output.used == output.buffer.size() && !drain(output)) {
            return false;
        }
        const std::size_t n = std::min(bytes.size(), output.buffer.size() - output.used);
        std::memcpy(output.buffer.data() + output.used, bytes.data(), n);
        output.used += n;
        bytes = bytes.subspan(n);
    }
    return !output.failed;
}

bool flush_output(BlockOutput& output) {
    if (!drain(output)) {
        return false;
    }
    if (std::fflush(output.file) != 0) {
        output.failed = true;
        output.error = errno;
    }
    return !output.failed;
}
