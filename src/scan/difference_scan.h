// The difference scan: the updated and the original file read side by side,
// byte n of one compared with byte n of the other and nothing else, and every
// run of differing bytes turned into replace records. When the original ends
// first, the rest of the updated file becomes add records (the appended tail).
//
// Both inputs are read forward once, in blocks, into buffers that the caller
// owns; nothing is allocated, nothing is seeked, no byte is read twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "format/patch_format.h"
#include "io/block_io.h"

// The one pending record of the scan. Empty when record.length is 0.
struct RecordBuilder {
    PatchRecord record;
};

enum class ScanStatus {
    complete,             // every record written to the patch stream
    updated_read_error,   // reading the updated file failed (not its end)
    original_read_error,  // reading the original file failed (not its end)
    patch_write_error,    // a write to the patch stream failed
    offset_limit,         // a replace record would start beyond MAX_RECORD_OFFSET
};

// Scans both inputs from their current position (their start) to the end of
// the updated file, writing records to `patch`, whose header is already
// written. Stops at the first failure and says which. Runs append_tail when the
// original ends first. Never opens, closes or seeks any file; the original may
// be left unread past the updated file's end.
[[nodiscard]] ScanStatus scan_files(BlockInput& updated, BlockInput& original, PatchStream& patch);

// The appended tail: writes the pending replace record of `builder` as it
// stands, then every unconsumed byte of `updated` to its end as add records of
// up to MAX_RECORD_DATA bytes with offset 0. Never reads the original.
[[nodiscard]] ScanStatus append_tail(RecordBuilder& builder, BlockInput& updated,
                                     PatchStream& patch);
