// The programs' contact with the operating system: opening their inputs,
// writing their one output so that nothing half-made ever stands under its
// name, updating a file where it lies, the standard descriptors, and the
// signals that end a run.
//
// One implementation per system family, chosen by the build:
// platform_posix.cpp and platform_windows.cpp. They are the only files that
// include system headers; everything else is standard C++. File names are
// the bytes the command line gave (on Windows UTF-8, by the programs'
// manifest). Nothing here prints: failures come back as the system's reason.
//
// How an output is written (open_output):
// - A name that leads to a regular file, or to nothing yet: the result goes
//   to a new temporary file in the same folder, private to the caller (0600)
//   while it is written, anonymous where the system offers it (Linux
//   O_TMPFILE), otherwise named `.NAME.tmpXXXXXXXX`, shortened to fit the
//   system's name limit. commit_output flushes it to stable storage, gives
//   it the replaced file's mode and, where the process may, its owner and
//   group (set-ID and sticky bits only while the owner stays), renames it
//   over the name and flushes the folder. Other hard links of a replaced
//   file keep the old content.
// - A name for a descriptor the caller opened (/dev/stdout, /dev/stderr,
//   /dev/fd/N, /proc/self/fd/N): that descriptor is written where it stands,
//   never reopened, truncated or renamed over.
// - A device or FIFO: written directly.
// - An existing, writable file in a folder the caller cannot write (no
//   temporary file is possible there): written in place; after a failure it
//   is removed, or, when the folder does not allow that, emptied.
// - Refused before anything is read: an empty name, a loop of symbolic
//   links, an existing file that opening for writing would refuse, another
//   user's file in a sticky folder (which could not be renamed over), and
//   what the caller's OutputGuard refuses.
// - Nothing it writes grants more than the file it replaces: the replaced
//   file's access ACL and user attributes are carried over; a new file gets
//   what creating it would give, its folder's default ACL included.
// - A new name is linked to the complete file directly: a kill leaves no
//   temporary name. Replacing an existing file links the complete file under
//   a temporary name and renames it over the name: a kill between the two
//   leaves that temporary name.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Call first in main: a standard descriptor (0, 1, 2) that the program was
// started without gets /dev/null, so that no file opened later takes its
// number. Writing to such a descriptor by name (/dev/stdout) still fails,
// as it would have.
void guard_standard_descriptors();

// SIGINT, SIGTERM and, where the system has them, SIGHUP, SIGQUIT, SIGALRM,
// SIGUSR1, SIGUSR2 and SIGXFSZ remove the named temporary file of the output
// being written (or a file being written in place), then end the process as
// killed by that signal. A signal the parent set to be ignored stays ignored.
void install_signal_cleanup();

// Opens an input for binary reading; a descriptor's name (/dev/stdin,
// /dev/fd/N) reads that descriptor from where it stands. A directory fails
// with errno EISDIR. Returns null on failure with errno set.
std::FILE* open_input(const char* name);

// The standard input, for binary reading, as `-` names it on a command line.
// Returns null on failure with errno set.
std::FILE* open_standard_input();

// What an open file is: its device and inode (on Windows its volume and
// file index), known only for a regular file, the one kind an output could
// destroy by replacing or emptying it. Two names, or a name and a
// descriptor, are one file exactly when their identities are equal.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool known = false;
};

[[nodiscard]] FileIdentity identify(std::FILE* file);

[[nodiscard]] inline bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.index == b.index;
}

// What open_output checks of the file it would write, before it is changed:
// it must not be one of `inputs` (the open inputs, whatever names they were
// opened by), and an existing non-empty regular file must begin with the
// `head_size` bytes of `head` (none asked when 0).
struct OutputGuard {
    const FileIdentity* inputs = nullptr;
    std::size_t input_count = 0;
    const std::uint8_t* head = nullptr;
    std::size_t head_size = 0;
};

enum class OutputRefusal : std::uint8_t {
    none,
    input,    // it is inputs[OutputFile::input]
    foreign,  // an existing file that does not begin with the head asked
};

// The guard's rules, shared by the implementations, which read the file.
// The index of the input `self` is, or input_count when none.
inline std::size_t guarded_input(const OutputGuard& guard, const FileIdentity& self) {
    std::size_t i = 0;
    while (i < guard.input_count && !same_file(self, guard.inputs[i])) {
        ++i;
    }
    return i;
}

// Whether the first bytes of an existing, non-empty file, as read (fewer
// than asked when it is shorter or cannot be read), are the guard's head.
inline bool begins_with_head(const OutputGuard& guard, const std::string& read) {
    return read.size() == guard.head_size &&
           std::equal(read.begin(), read.end(), guard.head,
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

enum class OutputKind : std::uint8_t {
    direct,    // a descriptor, a device or a FIFO, written as it is
    replace,   // a temporary file that replaces the named one when complete
    in_place,  // an existing file written in place (its folder is not writable)
};

// An output being written. `file` is what the caller writes to; the rest
// belongs to this layer.
struct OutputFile {
    std::FILE* file = nullptr;
    OutputKind kind = OutputKind::direct;
    std::string path;           // the file the result is for, links followed
    std::string temp_path;      // a named temporary file; empty when anonymous
    std::intptr_t handle = -1;  // the system's handle under `file`
    std::intptr_t folder = -1;  // the folder of `path`, held open (POSIX)
    bool replaces = false;      // an existing file is replaced; its bits follow
    std::uint32_t old_mode = 0;
    std::uint32_t old_owner = 0;
    std::uint32_t old_group = 0;
    // Extended attributes the output gets (POSIX): the replaced file's
    // access ACL and user attributes, or for a new file the access ACL that
    // creating it in its folder would give.
    std::string acl;
    std::string attribute_names;                  // NUL-separated
    std::string attribute_values;                 // each value's length (4 bytes) and bytes
    OutputRefusal refusal = OutputRefusal::none;  // why open_output refused it
    std::size_t input = 0;                        // with OutputRefusal::input
};

// Opens `name` for a result, as described above, checked by `guard`.
// Returns false with `output.refusal` set when the guard refuses it, or
// with `reason` set (the system's text) when it is refused or cannot be
// opened; nothing has then been created or changed.
[[nodiscard]] bool open_output(const char* name, OutputFile& output, std::string& reason,
                               const OutputGuard& guard = {});

// The standard output as a direct output, as `-` names it on a command line.
[[nodiscard]] bool open_standard_output(OutputFile& output, std::string& reason,
                                        const OutputGuard& guard = {});

// True when the program was started without this standard descriptor (0,
// 1 or 2): what it prints there reaches nobody, which a program whose job
// is to print must report.
[[nodiscard]] bool started_without(int standard_descriptor);

// Finishes a complete output: flushes it to stable storage and, for a
// temporary file, puts it under its name with the replaced file's owner and
// mode (a new file gets 0666 less the umask). Returns false with `reason` set
// when any step fails; the output is then discarded as by discard_output.
[[nodiscard]] bool commit_output(OutputFile& output, std::string& reason);

// Abandons an output after a failure: a temporary file disappears, a file
// written in place is removed (or emptied), a direct output is left as it is.
void discard_output(OutputFile& output);

// True when an open input is a regular file, which can be read again from
// its start (a pipe, a terminal or a device cannot, or not reliably).
bool is_regular_input(std::FILE* file);

// The size of an open input that is a regular file: false for anything else
// (its size is not known ahead).
bool regular_input_size(std::FILE* file, std::uint64_t& size);

// Starts writing `size` bytes of an open file at `offset` to storage,
// without waiting, so that a flush at the end has less left to wait for.
// Best effort: nothing where the system has no such call (Windows) or the
// file cannot take it.
void start_writeback(std::FILE* file, std::uint64_t offset, std::uint64_t size);

// True when the stream is a terminal (on Windows, a console).
bool is_terminal(std::FILE* stream);

// A file updated where it lies (deltawright-apply --in-place): a regular
// file or a block device, opened for reading and writing, never created,
// replaced or renamed. Reads and writes name their positions. While it is
// open, no other process can open it the same way: a second update of the
// same file is refused rather than mixed with the first.
struct TargetFile {
    std::intptr_t handle = -1;
    std::uint64_t size = 0;  // when opened, kept by resize_target
    bool device = false;     // a block device, whose size cannot change
};

// Opens an existing regular file or block device for an update in place.
// Returns false with `reason` set when it cannot be opened, is anything
// else, or is being updated by another process; nothing is then changed.
[[nodiscard]] bool open_target(const char* name, TargetFile& target, std::string& reason);

// Reads exactly `size` bytes at `offset`; false with `reason` set when the
// read fails or the file ends first.
[[nodiscard]] bool read_target(const TargetFile& target, std::uint64_t offset, std::uint8_t* data,
                               std::size_t size, std::string& reason);

// Writes all `size` bytes at `offset` (in one system call where the system
// takes them whole); false with `reason` set on failure.
[[nodiscard]] bool write_target(const TargetFile& target, std::uint64_t offset,
                                const std::uint8_t* data, std::size_t size, std::string& reason);

// Cuts or extends a regular file to `size` bytes.
[[nodiscard]] bool resize_target(TargetFile& target, std::uint64_t size, std::string& reason);

// The size of a regular file as it stands now (a block device's is fixed:
// the size it was opened with).
[[nodiscard]] bool target_size(const TargetFile& target, std::uint64_t& size, std::string& reason);

// Flushes the file's data and size to stable storage.
[[nodiscard]] bool flush_target(const TargetFile& target, std::string& reason);

// A stream that reads the whole file from its start, for a pass over all
// of it; closed by the caller with fclose. Null with `reason` on failure.
std::FILE* read_whole_target(const TargetFile& target, std::string& reason);

[[nodiscard]] FileIdentity identify_target(const TargetFile& target);

void close_target(TargetFile& target);
