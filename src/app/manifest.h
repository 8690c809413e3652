// Sealed manifests: the sizes and SHA-256 digests of an original, the
// updated file made from it and the patch between them, as text, one field
// per line, so that a user can compare them by eye or by script:
//
//     deltawright-manifest 1
//     format DLT40
//     original-size 4096
//     original-sha256 <64 lowercase hex digits, as sha256sum prints them>
//     updated-size 4296
//     updated-sha256 <...>
//     patch-size 610
//     patch-sha256 <...>
//
// The first line names the manifest's version; the other fields may come in
// any order, each exactly once. Lines end with a line feed. Read strictly:
// anything else is refused with the line it is on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <deltawright/deltawright.h>

// The largest manifest read: far more than its fields need.
inline constexpr std::size_t MAX_MANIFEST_SIZE = 4096;

struct FileSeal {
    std::uint64_t size = 0;
    std::uint8_t sha256[DW_SHA256_SIZE] = {};
};

struct Manifest {
    FileSeal original;
    FileSeal updated;
    FileSeal patch;
};

// The manifest's text, as written.
std::string format_manifest(const Manifest& manifest);

// Reads a manifest's text. False with the 1-based line number (0 for the
// text as a whole) and the reason when it is not exactly a manifest.
bool parse_manifest(const std::string& text, Manifest& manifest, int& line, std::string& reason);

// Lowercase hex of a digest, as sha256sum prints it.
std::string hex_digest(const std::uint8_t* digest);
