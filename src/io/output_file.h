// Opening the programs' files safely: inputs that are really files, outputs
// that never overwrite an input, and no half-made output left behind after a
// failure or a signal.
//
// At most one output is armed for removal at a time (each program makes one).
// Only regular files are ever armed: a device such as /dev/full is never
// removed, whoever runs the program.
#pragma once

#include <cstdio>
#include <string>

// Opens an input for binary reading. A directory opens on some systems but
// cannot be read as a file, so it fails too (errno EISDIR). Returns null on
// failure with errno set.
std::FILE* open_input(const char* name);

// True when `output` names an existing regular file that is the same file as
// `input` (another spelling, a hard link or a symbolic link included), so that
// writing it would destroy the input. Devices such as /dev/null lose nothing.
bool is_same_regular_file(const char* output, const char* input);

// The file that `name` leads to, symbolic links followed, when that is a
// regular file; empty otherwise (a device, a FIFO, nothing at all).
std::string regular_file_target(const char* name);

// Has SIGINT, SIGTERM and SIGHUP (where the system has it) remove the armed
// file, restore the signal's default action and raise it again, so that the
// process still ends as killed by that signal. A signal that the caller's
// parent set to be ignored stays ignored.
void install_signal_cleanup();

// Arms `path` for removal: by remove_armed_file, or by a signal. Copies the
// name; an empty one arms nothing.
void arm_removal(const std::string& path);

// Forgets the armed file, which is then never removed.
void disarm_removal();

// Removes the armed file, if any, and disarms.
void remove_armed_file();

// An output being written: either straight to the file named (a device, a
// FIFO, standard output), or to a new temporary file in the folder of the
// file named, links followed, that replaces it only when complete.
struct OutputFile {
    std::FILE* file = nullptr;
    std::string path;       // the file the result is for
    std::string temp_path;  // the temporary file; empty when written directly
};

// Opens `name` for the result. A name that does not exist or leads to a
// regular file gets a temporary file beside that file (through a symbolic
// link, even a dangling one: beside its target), armed for removal; any other
// existing file is opened directly for writing. Returns false with `reason`
// set when nothing could be opened.
[[nodiscard]] bool open_output(const char* name, OutputFile& output, std::string& reason);

// Closes the output and, when it went to a temporary file, gives that file
// the permission bits of the file it replaces (if any) and renames it over
// that file. Returns false with `reason` set when closing or renaming failed;
// the temporary file is then removed and the old file keeps its content.
[[nodiscard]] bool commit_output(OutputFile& output, std::string& reason);

// Closes the output and removes the temporary file, if any. A file written
// directly is left as it is: it was never ours to remove.
void discard_output(OutputFile& output);
