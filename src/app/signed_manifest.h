// Manifests read for --manifest, signed or not: the manifest's bytes are
// read once, verified against the trusted keys when there are any, and
// then parsed, so that the bytes verified are the bytes used. Every file
// here is read before the patch, the original or the target is opened.
#pragma once

#include <vector>

#include "app/manifest.h"

// The keys a signed manifest must be signed with (--trust), and its
// signature file (--signature; by default the manifest's name followed by
// ".minisig", as minisign names it). No keys: the manifest is not signed.
struct Trust {
    std::vector<const char*> keys;
    const char* signature = nullptr;
};

// Reads MANIFEST; with keys, verifies its signature first. Returns
// EXIT_APPLIED, or after a message: EXIT_TROUBLE for a file that cannot be
// opened or read, a key file that is not a key, or a malformed manifest;
// EXIT_INVALID_PATCH for a signature that is malformed, by an untrusted key,
// or does not verify.
int read_manifest(const char* name, const Trust& trust, Manifest& manifest);
