// What the applier's modes share: exit statuses, the messages for an invalid
// patch and a read error, opening inputs by name, and manifests read and
// compared.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/manifest.h"
#include "format/patch_layout.h"
#include "io/block_io.h"
#include "io/run_result.h"
#include "platform/platform.h"

inline constexpr int EXIT_APPLIED = 0;
inline constexpr int EXIT_INVALID_PATCH = 1;
inline constexpr int EXIT_TROUBLE = 2;  // usage, files, reads and writes

// "PATCH: invalid patch: ...": returns EXIT_INVALID_PATCH.
int say_invalid_patch(const char* patch_name, dw_error fault, std::uint64_t position);

// "error reading WHAT file NAME: ..." with the input's error.
void say_read_error(const char* what, const char* name, const BlockInput& input);

// The names of a run's streams, for its messages.
struct StreamNames {
    const char* updated = nullptr;
    const char* original = nullptr;
    const char* patch = nullptr;
    const char* output = nullptr;
    const char* target = nullptr;
};

// The message for a run that found its patch invalid, or failed to read a
// stream or to write its output; returns the status (EXIT_INVALID_PATCH or
// EXIT_TROUBLE). The other outcomes are the mode's to tell.
int say_failure(const RunResult& r, const StreamNames& names);

// The end of a run whose job is to print on standard output: `status`, or
// EXIT_TROUBLE after a message when what it printed reached nobody (the
// program was started without standard output) or could not be written (a
// full disk, a closed pipe).
int printed(int status);

// True for `-`, the standard input or output.
bool is_standard(const char* name);

// Opens an input, `-` being the standard input, unbuffered; says why on
// failure.
std::FILE* open_named_input(const char* what, const char* name);

// The roles of the inputs an output is guarded against, in the order given
// to its OutputGuard.
inline constexpr const char* INPUT_ROLES_APPLY[] = {"patch", "original"};
inline constexpr const char* INPUT_ROLES_CHECK[] = {"updated", "patch", "original"};

// Why an output could not be opened: "cannot write NAME: it is the ROLE
// file" when it is an input, else "cannot create NAME: REASON".
void say_output_refused(const char* name, const OutputFile& output, const std::string& reason,
                        const char* const* roles);

// One file against its seal: false, after a message, when its size or its
// digest differs. A file is read at most one byte past its sealed size
// (seal_limit), so that an endless one is refused too.
inline std::uint64_t seal_limit(std::uint64_t sealed_size) {
    return sealed_size < UINT64_MAX ? sealed_size + 1 : sealed_size;
}

bool matches_seal(const char* what, const char* name, const char* manifest_name,
                  const FileSeal& want, std::uint64_t size, const std::uint8_t* digest);
