// Helpers shared by the tests: running the scan and the applier on bytes in
// memory, the byte-at-a-time reference scan and reference reader, random
// pairs, and expected patch bytes built by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <deltawright/deltawright.h>

#include "io/file_patch.h"

using Bytes = std::vector<std::uint8_t>;

Bytes to_bytes(const std::string& s);

// The tables that cut an update at every point take, by default, every
// `stride`-th point (and each kind of point, as the table says); with
// DELTAWRIGHT_EXHAUSTIVE=1 in the environment (CTest's `exhaustive` label)
// they take every one.
bool exhaustive();
std::uint32_t cut_stride(std::uint32_t stride);

// In-memory files, on every host: a FILE that reads `bytes` (kept alive in
// `storage`), and a sink FILE that collects what is written to it.
std::FILE* open_bytes(const Bytes& bytes, Bytes& storage);
struct Sink {
    std::FILE* file = nullptr;
    char* data = nullptr;
    std::size_t size = 0;
    std::string path;  // where no memory stream exists: a temporary file
};
// With `full`, every write to the sink fails (disk full), where FAILING_FILES.
void open_sink(Sink& sink, bool full = false);
Bytes close_sink(Sink& sink);  // closes the sink and returns what was written

// Files that fail on demand, where the C library can make them (glibc's
// fopencookie and /dev/full); elsewhere the tests that need them skip.
#if defined(__GLIBC__)
inline constexpr bool FAILING_FILES = true;
#else
inline constexpr bool FAILING_FILES = false;
#endif
// An input holding `bytes` whose reads fail (EIO) once `good` bytes have been
// read, or never when good >= bytes.size().
struct FailingInput {
    Bytes bytes;
    std::size_t good;
    std::size_t at = 0;
};
std::FILE* open_failing(FailingInput& in);

struct ScanRun {
    RunResult result;
    Bytes patch;  // header and records, as the patch file would hold them
};

// The program's make_patch over in-memory files, with input blocks of
// `block_size` bytes and a patch block of `patch_buffer_size` bytes.
ScanRun run_scan(const Bytes& updated, const Bytes& original, std::size_t block_size = BLOCK_SIZE,
                 std::size_t patch_buffer_size = BLOCK_SIZE);

// The patch the tool must produce, computed one byte at a time exactly as the
// file format describes it: a reference that is slow but obviously right.
Bytes reference_patch(const Bytes& updated, const Bytes& original);

// A strict reader written apart from the product's, one whole patch in
// memory at a time: checks every rule in the order the format document gives
// (head cut short, command, length, add offset, replace after add, replace
// order, data cut short, replace past the original's end) and applies the
// patch to `original`, comparing each replace byte with the original's. On
// a fault, `output` is empty.
struct ReferenceApply {
    dw_error fault = DW_OK;
    std::size_t position = 0;  // of the header (0) or the offending record's head
    Bytes output;
    // The origin check: the first replace byte equal to the original's, and
    // whether any differed.
    std::uint64_t first_unchanged = UINT64_MAX;
    bool any_changed = false;
};
ReferenceApply reference_apply(const Bytes& patch, const Bytes& original);

// The program's apply_patch over in-memory files, with input blocks of
// `block_size` bytes.
struct ApplyRun {
    RunResult result;
    Bytes output;
};
ApplyRun run_apply(const Bytes& patch, const Bytes& original, std::size_t block_size = BLOCK_SIZE);

// The program's check_patch over in-memory files (UPDATED, PATCH, ORIGINAL),
// with blocks of `block_size` bytes.
RunResult run_check(const Bytes& updated, const Bytes& patch, const Bytes& original,
                    std::size_t block_size = BLOCK_SIZE);

// The same, sealed: the inputs read into two blocks each (the original into
// three) and hashed on threads as a sealed run reads them; the digests taken
// are those of the original, the patch and the result (or, for a check, the
// updated file). A sealed apply writes its output.
struct SealedRun {
    RunResult result;
    Bytes output;
    std::vector<Bytes> digests;
};
SealedRun run_sealed_apply(const Bytes& patch, const Bytes& original, std::size_t block_size);
SealedRun run_sealed_check(const Bytes& updated, const Bytes& patch, const Bytes& original,
                           std::size_t block_size);

// The SHA-256 of some bytes, by the library.
Bytes sha256_of(const Bytes& bytes);

// What applying a patch made from (updated, original) gives: the updated
// file, followed by the rest of the original when the updated file is shorter.
Bytes expected_apply_output(const Bytes& updated, const Bytes& original);

// A random pair biased toward the hard places: lengths and runs near 255 and
// its multiples, empty and one-byte files, every density of difference.
struct RandomPair {
    Bytes updated;
    Bytes original;
};
RandomPair random_pair(std::mt19937_64& rng);

// A random number below n.
inline std::size_t pick(std::mt19937_64& rng, std::size_t n) {
    return static_cast<std::size_t>(rng() % n);
}

// A patch made by the scan from a random pair, and its original; with
// `spoiled`, corrupted as corrupt() does.
struct PatchCase {
    Bytes patch;
    Bytes original;
};
PatchCase random_patch_case(std::mt19937_64& rng, bool spoiled);

// The public record reader fed `patch` in pieces of piece(i) bytes, told the
// original's size (or DW_SIZE_UNKNOWN), with what it reports applied to a
// copy of `original`. `left_unread`: it stopped short of a piece's end or of
// the patch's without an error.
struct ReaderRun {
    dw_error error = DW_OK;
    std::uint64_t position = 0;
    Bytes output;
    bool left_unread = false;
};
ReaderRun read_in_pieces(const Bytes& patch, const Bytes& original, std::uint64_t original_size,
                         const std::function<std::size_t(std::size_t)>& piece);

// What the reader must say: the reference's verdict, except that, knowing the
// original's size, it refuses a replace record past the end at its head,
// before learning that the record's data are cut short.
ReaderRun expected_reader_run(const Bytes& patch, const Bytes& original);

// The public streaming applier over `patch` and `original`, each handed over
// piece() bytes at a time, the output taken out_size bytes at a time; the
// verdict as the reference gives it (position SIZE_MAX if it stalled).
ReferenceApply apply_in_pieces(const Bytes& patch, const Bytes& original,
                               const std::function<std::size_t()>& piece, std::size_t out_size);

// The public streaming maker over (updated, original), each input handed
// over piece() bytes at a time, the patch taken out_size bytes at a time.
Bytes make_in_pieces(const Bytes& updated, const Bytes& original,
                     const std::function<std::size_t()>& piece, std::size_t out_size);

// Spoils a real patch the ways a reader must notice, one picked at random:
// a few bytes flipped, the patch cut, the original shortened, or one record
// of random fields appended.
void corrupt(std::mt19937_64& rng, Bytes& patch, Bytes& original);

// Expected bytes written out by hand, independent of the writer under test.
Bytes expected_header();
void append_expected_record(Bytes& out, std::uint8_t command, std::uint32_t offset,
                            const Bytes& data);
