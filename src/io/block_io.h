// Files read and written in blocks, for the programs: the library's streams
// are fed from these, and drained into them.
//
// Inputs are read forward once, in blocks, into buffers the caller owns:
// nothing here allocates, seeks or reads a byte twice, so any input may be a
// pipe. Failures are sticky and keep the system's error number, so the caller
// can stop at the first one and report it later.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include <deltawright/deltawright.h>

// Block size for each input and for the patch output in a normal run, chosen
// by measurement (bench/README.md): at 1 MiB the system calls cost next to
// nothing against the copying, and three blocks stay small. The definition
// lets the benchmark build other sizes.
#ifndef DELTAWRIGHT_BLOCK_KIB
#define DELTAWRIGHT_BLOCK_KIB 1024
#endif
inline constexpr std::size_t BLOCK_SIZE = std::size_t{DELTAWRIGHT_BLOCK_KIB} * 1024;

// Leaves a stream unbuffered: the blocks here do the buffering, and the
// stream's own buffer would only add a copy.
inline void set_unbuffered(std::FILE* file) {
    std::setvbuf(file, nullptr, _IONBF, 0);
}

// The SHA-256 of each block an input yields: taken on a first reading
// (`checking` false) and compared on a second one, before the block is
// handed out. So a file read twice yields on the second reading exactly the
// bytes of the first, whatever another process does to it meanwhile: a
// block that differs, or a file that ends sooner or later, fails the read
// with `changed` set. 32 bytes per block kept: 32 KiB for a 1 GiB input.
struct BlockDigests {
    std::vector<std::array<std::uint8_t, DW_SHA256_SIZE>> digests;
    bool checking = false;
    std::size_t next = 0;  // the next block's number, when checking
    bool changed = false;
};

// Counts the bytes inputs yield, for a caller that shows progress: `tick`
// (optional) is called after each block, so never more often than once per
// block and never per record.
struct ReadMeter {
    std::uint64_t done = 0;
    void (*tick)(ReadMeter& meter) = nullptr;
};

// One read of a block, not yet handed out: its count, and how it ended.
struct BlockRead {
    std::size_t n = 0;
    bool ended = false;
    bool failed = false;
    int error = 0;
};

struct BlockHasher;

// One input: an open file read forward in blocks into `buffer` (any non-zero
// size). `ended` is set once a read stopped at the end of the file, `failed`
// (with the system's `error` number) once a read stopped for any other reason.
struct BlockInput {
    std::FILE* file = nullptr;
    std::span<std::uint8_t> buffer;
    std::span<std::uint8_t> spare = {};    // optional: a second block to read into in turn
    std::span<std::uint8_t> third = {};    // optional, with spare: a third, to read ahead
    std::uint64_t limit = UINT64_MAX;      // bytes it may still read: its end, if sooner
    BlockDigests* digests = nullptr;       // optional: each block's digest kept or checked
    BlockHasher* digest_worker = nullptr;  // optional, instead: the same on a thread (spare needed)
    ReadMeter* meter = nullptr;            // optional: counts the bytes read
    bool ended = false;
    bool failed = false;
    int error = 0;
    bool primed = false;  // with digest_worker checking: `ahead` holds the next block
    BlockRead ahead = {};
};

// Reads the next block into the buffer, from its start; fread loops over
// short reads, so fewer bytes than the buffer holds mean the end of the file
// or an error, told apart here. Returns the number read: 0 at the end or after
// a failure.
std::size_t read_block(BlockInput& input);

// The parts of read_block: a block read into `into` with the input's flags
// left alone (its limit counted), then handed out: the flags set, the
// meter told. Keeps or checks a block's digest: false when a checked block
// differs.
BlockRead read_raw_block(BlockInput& input, std::span<std::uint8_t> into);
std::size_t hand_out(BlockInput& input, const BlockRead& read);
[[nodiscard]] bool account_block(BlockDigests& digests, const std::uint8_t* data, std::size_t n);

// An output: an open, writable file (owned by the caller). `failed` is
// sticky, with the system's `error` number: once a write has failed, nothing
// more is written.
struct FileOutput {
    std::FILE* file = nullptr;
    bool failed = false;
    int error = 0;
    // A regular file flushed at the end: each write's range is handed to the
    // storage at once (start_writeback), so that the final flush waits for
    // little while the run was busy with other work (hashing).
    bool write_behind = false;
    std::uint64_t written = 0;
};

// Writes the bytes to the file, unbuffered; a short count is a failure.
// Returns false once the output has failed.
[[nodiscard]] bool write_bytes(FileOutput& output, std::span<const std::uint8_t> bytes);

// Flushes the file. Returns false if any write, now or earlier, has failed.
// Does not close the file.
[[nodiscard]] bool flush_output(FileOutput& output);
