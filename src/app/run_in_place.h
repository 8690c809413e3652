// deltawright-apply --in-place [--manifest MANIFEST [--trust KEY]...] [--force]
// TARGET PATCH: the update written into TARGET where it lies, only at the
// patch's records.
#pragma once

#include "app/signed_manifest.h"

// Opens PATCH (a regular file: it is read twice) and TARGET (a regular file
// or a block device, for reading and writing), checks the whole patch
// against TARGET before anything is written, then writes the records and
// flushes TARGET. Safe to run again after an interruption at any point: it
// completes the update, says TARGET is already up to date (status 0,
// nothing written), or refuses with what it found.
//
// Without a manifest only patches without add records are taken: the
// replace bytes TARGET holds must be patched up to some position and
// unpatched after it, as an interrupted run leaves them (--force skips that
// check). With one, TARGET must be the original, the updated file, or an
// update of it cut short, which is told from its digests (one reading of
// TARGET, which also gives the digest of the result the writes will make);
// after the writes every byte written is read back and the size checked. A
// signed manifest is verified before PATCH or TARGET is opened. Returns the
// exit status.
int run_in_place(const char* target_name, const char* patch_name, const char* manifest_name,
                 const Trust& trust, bool force);
