// Helpers shared by the tests: running the scan on bytes in memory, the
// byte-at-a-time reference scan, and building expected patch bytes by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scan/difference_scan.h"

using Bytes = std::vector<std::uint8_t>;

Bytes to_bytes(const std::string& s);

struct ScanRun {
    ScanStatus status;
    Bytes patch;  // header and records, as the patch file would hold them
};

// write_header and scan_files over in-memory files, with input blocks of
// `block_size` bytes and a patch buffer of `patch_buffer_size` bytes.
ScanRun run_scan(const Bytes& updated, const Bytes& original,
                 std::size_t block_size = SCAN_BLOCK_SIZE,
                 std::size_t patch_buffer_size = PATCH_BUFFER_SIZE);

// The patch the tool must produce, computed one byte at a time exactly as the
// file format describes it: a reference that is slow but obviously right.
Bytes reference_patch(const Bytes& updated, const Bytes& original);

// Reads a patch strictly (header, commands 0 and 1, lengths 1 to 255, add
// offsets 0, replace records in increasing, non-overlapping order inside the
// original and all before the adds) and applies it to `original`. Returns an
// empty string and sets `applied` on success, or says what is wrong.
std::string apply_patch(const Bytes& patch, const Bytes& original, Bytes& applied);

// Expected bytes written out by hand, independent of the writer under test.
Bytes expected_header();
void append_expected_record(Bytes& out, std::uint8_t command, std::uint32_t offset,
                            const Bytes& data);
