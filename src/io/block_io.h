// Block-wise input and buffered output, shared by the patch maker and the
// applier.
//
// Inputs are read forward once, in blocks, into buffers the caller owns:
// nothing here allocates, seeks or reads a byte twice, so any input may be a
// pipe. Outputs collect small pieces in a caller-owned buffer so that the file
// sees few, large writes. Failures are sticky and keep the system's error
// number, so the caller can stop at the first one and report it later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

// Block size for each input in a normal run: large enough that system calls
// cost little, small enough that the blocks stay in a core's cache.
inline constexpr std::size_t INPUT_BLOCK_SIZE = std::size_t{256} * 1024;
// Output buffer in a normal run; the file sees writes of this size.
inline constexpr std::size_t OUTPUT_BUFFER_SIZE = std::size_t{256} * 1024;

// Leaves a stream unbuffered: the blocks here do the buffering, and the
// stream's own buffer would only add a copy.
inline void set_unbuffered(std::FILE* file) {
    std::setvbuf(file, nullptr, _IONBF, 0);
}

// One input: an open file read forward in blocks into `buffer` (any non-zero
// size). The bytes buffer[begin, end) are read but not yet consumed. `ended`
// is set once a read stopped at the end of the file, `failed` (with the
// system's `error` number) once a read stopped for any other reason.
struct BlockInput {
    std::FILE* file = nullptr;
    std::span<std::uint8_t> buffer;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool ended = false;
    bool failed = false;
    int error = 0;
};

// Makes unconsumed bytes available if the file has any left: reads one block
// when the buffer is used up (fread loops over short reads), and tells the end
// of the file from a read error. Returns the number of unconsumed bytes; 0
// means ended or failed. Never discards unconsumed bytes.
std::size_t fill_input(BlockInput& input);

// Consumes up to out.size() bytes into `out`, across block edges. Returns the
// number copied: fewer only at the end of the input or after a failure.
std::size_t read_exact(BlockInput& input, std::span<std::uint8_t> out);

// An output: an open, writable file (owned by the caller) and a buffer (owned
// by the caller, any non-zero size). `failed` is sticky, with the system's
// `error` number: once a write has failed, nothing more is written.
struct BlockOutput {
    std::FILE* file = nullptr;
    std::span<std::uint8_t> buffer;
    std::size_t used = 0;
    bool failed = false;
    int error = 0;
};

// Appends bytes, handing the buffer to the file whenever it fills. A piece at
// least as large as the buffer, arriving while the buffer is empty, goes to
// the file directly, without a copy. Returns false once the output has failed.
[[nodiscard]] bool write_output(BlockOutput& output, std::span<const std::uint8_t> bytes);

// Hands everything buffered to the file and flushes the file. Returns false if
// any write, now or earlier, has failed. Does not close the file.
[[nodiscard]] bool flush_output(BlockOutput& output);
