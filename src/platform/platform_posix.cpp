// The platform layer on POSIX systems (Linux first; O_TMPFILE where the
// kernel and the file system have it, named temporary files elsewhere).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/platform.h"
#include "platform/temporary_name.h"

namespace {

// The standard descriptors the program was started without, one bit each.
unsigned closed_standard = 0;

// What a signal must remove: a file name (a named temporary file, or a file
// being written in place) and, for the latter, its descriptor, emptied when
// the name cannot be removed. Written only while the cleanup signals are
// blocked; read by the handler.
std::string armed_storage;
std::atomic<const char*> armed_name{nullptr};
std::atomic<int> armed_descriptor{-1};

const int CLEANUP_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                               SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ};

// For calls whose failure leaves nothing better to do.
void ignore_failure(int /*result*/) {}

// unlink, ftruncate, signal and raise are async-signal-safe.
extern "C" void clean_up_and_reraise(int signal_number) {
    if (const char* name = armed_name.exchange(nullptr)) {
        const int descriptor = armed_descriptor.exchange(-1);
        if (unlink(name) != 0 && descriptor >= 0) {
            ignore_failure(ftruncate(descriptor, 0));
        }
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Holds the cleanup signals back while the armed file and the files on disk
// change together, so that a handler never sees one without the other.
sigset_t block_cleanup_signals() {
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    for (const int s : CLEANUP_SIGNALS) {
        sigaddset(&blocked, s);
    }
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    return previous;
}

void restore_signals(const sigset_t& previous) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Call with the cleanup signals blocked.
void arm(const std::string& name, int descriptor) {
    armed_name.store(nullptr);
    armed_storage = name;
    armed_descriptor.store(descriptor);
    armed_name.store(armed_storage.c_str());
}

void disarm() {
    armed_name.store(nullptr);
    armed_descriptor.store(-1);
}

// The descriptor a name stands for (/dev/stdin, /dev/stdout, /dev/stderr,
// /dev/fd/N, /proc/self/fd/N), or -1 for any other name.
int descriptor_number(const char* name) {
    if (std::strcmp(name, "/dev/stdin") == 0) {
        return 0;
    }
    if (std::strcmp(name, "/dev/stdout") == 0) {
        return 1;
    }
    if (std::strcmp(name, "/dev/stderr") == 0) {
        return 2;
    }
    const char* digits = nullptr;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) {
            digits = name + std::strlen(prefix);
        }
    }
    if (digits == nullptr || *digits == '\0') {
        return -1;
    }
    long number = 0;
    for (const char* d = digits; *d != '\0'; ++d) {
        if (*d < '0' || *d > '9' || number > INT_MAX / 10) {
            return -1;
        }
        number = number * 10 + (*d - '0');
    }
    return number > INT_MAX ? -1 : static_cast<int>(number);
}

// A new descriptor for an open one, if it is open for the access asked;
// -1 with errno EBADF otherwise.
int duplicate_descriptor(int number, bool for_writing) {
    if (number < 3 && ((closed_standard >> number) & 1U) != 0) {
        errno = EBADF;
        return -1;
    }
    const int flags = fcntl(number, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    const int access = flags & O_ACCMODE;
    if (access == (for_writing ? O_RDONLY : O_WRONLY)) {
        errno = EBADF;
        return -1;
    }
    return fcntl(number, F_DUPFD_CLOEXEC, 3);
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string in_folder(const std::string& folder, const std::string& name) {
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a name that does not exist leads: through a dangling symbolic link
// (or a chain of them) to the file it names, else the name itself.
bool follow_dangling_links(std::string& path) {
    constexpr int MAX_LINKS = 40;  // as the kernel allows
    for (int i = 0; i < MAX_LINKS; ++i) {
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n < 0) {
            return true;  // not a link: the name itself
        }
        const std::string next(target, static_cast<std::size_t>(n));
        path = next.front() == '/' ? next : in_folder(folder_of(path), next);
    }
    errno = ELOOP;
    return false;
}

std::size_t name_limit(int folder) {
    const long limit = fpathconf(folder, _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::uint64_t random_number() {
    static std::mt19937_64 generator(std::random_device{}() ^ static_cast<std::uint64_t>(getpid()));
    return generator();
}

// A private (0600) temporary file in `folder`: anonymous where the system
// can make one and later give it a name, else named and armed for removal.
// Returns the descriptor, or -1 with errno set.
int create_temporary(OutputFile& output, const std::string& base) {
    const int folder = static_cast<int>(output.folder);
#ifdef O_TMPFILE
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return -1;  // the folder refuses any new file
        }
    }
#endif
    constexpr int ATTEMPTS = 100;
    for (int i = 0; i < ATTEMPTS; ++i) {
        const std::string name = temporary_name(base, name_limit(folder), random_number());
        const sigset_t previous = block_cleanup_signals();
        const int fd = openat(folder, name.c_str(),
                              O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
        const int error = errno;
        if (fd >= 0) {
            output.temp_path = in_folder(folder_of(output.path), name);
            arm(output.temp_path, -1);
        }
        restore_signals(previous);
        if (fd >= 0 || error != EEXIST) {
            errno = error;
            return fd;
        }
    }
    return -1;
}

bool fail(std::string& reason, int error) {
    reason = std::strerror(error);
    return false;
}

bool open_direct(int fd, OutputFile& output, const char* name, std::string& reason) {
    if (fd < 0) {
        return fail(reason, errno);
    }
    output.file = fdopen(fd, "wb");
    if (output.file == nullptr) {
        const int error = errno;
        close(fd);
        return fail(reason, error);
    }
    output.kind = OutputKind::direct;
    output.handle = fd;
    output.path = name;
    return true;
}

// Data on stable storage: for regular files and block devices; pipes,
// terminals and character devices have nothing to flush. EINVAL: a file
// system that cannot flush at all, where nothing more can be done.
int sync_if_storage(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    if ((S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) && fsync(fd) != 0 && errno != EINVAL) {
        return errno;
    }
    return 0;
}

// The replaced file's owner, group and mode, as far as the process may; the
// set-ID and sticky bits only when owner and group are the old ones. A new
// file gets what creating it would have given.
int settle_owner_and_mode(const OutputFile& output) {
    const int fd = static_cast<int>(output.handle);
    mode_t mode = 0;
    if (output.replaces) {
        struct stat now {};
        if (fstat(fd, &now) != 0) {
            return errno;
        }
        const auto owner = static_cast<uid_t>(output.old_owner);
        const auto group = static_cast<gid_t>(output.old_group);
        if (now.st_uid != owner || now.st_gid != group) {
            if (fchown(fd, owner, group) != 0) {
                ignore_failure(
                    fchown(fd, static_cast<uid_t>(-1), group));  // the group alone, where allowed
            }
            if (fstat(fd, &now) != 0) {
                return errno;
            }
        }
        mode = static_cast<mode_t>(output.old_mode & 07777U);
        if (now.st_uid != owner || now.st_gid != group) {
            mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID | S_ISVTX));
        }
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = static_cast<mode_t>(0666U & ~mask);
    }
    return fchmod(fd, mode) == 0 ? 0 : errno;
}

// Puts the complete temporary file under its name: an anonymous one is given
// a temporary name first (there is no call that links over an existing
// name), then renamed over the name; then the folder is flushed.
int put_under_name(OutputFile& output) {
    const int fd = static_cast<int>(output.handle);
    const int folder = static_cast<int>(output.folder);
    const std::string base = base_of(output.path);
    const sigset_t previous = block_cleanup_signals();
    int error = 0;
    if (output.temp_path.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        constexpr int ATTEMPTS = 100;
        error = EEXIST;
        for (int i = 0; i < ATTEMPTS && error == EEXIST; ++i) {
            const std::string name = temporary_name(base, name_limit(folder), random_number());
            if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                output.temp_path = in_folder(folder_of(output.path), name);
                arm(output.temp_path, -1);
                error = 0;
            } else {
                error = errno;
            }
        }
    }
    if (error == 0 &&
        renameat(folder, base_of(output.temp_path).c_str(), folder, base.c_str()) != 0) {
        error = errno;
    }
    if (error == 0) {
        disarm();
        output.temp_path.clear();
        if (fsync(folder) != 0 && errno != EINVAL) {
            error = errno;  // in place, but not known to be durable: say so
        }
    }
    restore_signals(previous);
    return error;
}

void close_folder(OutputFile& output) {
    if (output.folder >= 0) {
        close(static_cast<int>(output.folder));
        output.folder = -1;
    }
}

}  // namespace

void guard_standard_descriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // The lowest free number: this one, as the lower ones are open.
            if (open("/dev/null", O_RDWR) == fd) {
                closed_standard |= 1U << static_cast<unsigned>(fd);
            }
        }
    }
}

void install_signal_cleanup() {
    struct sigaction action {};
    action.sa_handler = clean_up_and_reraise;
    sigemptyset(&action.sa_mask);
    for (const int s : CLEANUP_SIGNALS) {
        sigaddset(&action.sa_mask, s);
    }
    for (const int s : CLEANUP_SIGNALS) {
        struct sigaction previous {};
        if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(s, &action, nullptr);
        }
    }
}

std::FILE* open_input(const char* name) {
    const int number = descriptor_number(name);
    const int fd = number >= 0 ? duplicate_descriptor(number, false)
                               : open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

bool is_same_regular_file(const char* output, const char* input) {
    struct stat out {};
    struct stat in {};
    return stat(output, &out) == 0 && S_ISREG(out.st_mode) && stat(input, &in) == 0 &&
           out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}

bool open_output(const char* name, OutputFile& output, std::string& reason) {
    if (*name == '\0') {
        return fail(reason, ENOENT);
    }
    const int number = descriptor_number(name);
    if (number >= 0) {
        return open_direct(duplicate_descriptor(number, true), output, name, reason);
    }
    struct stat st {};
    const bool exists = stat(name, &st) == 0;
    if (!exists && errno != ENOENT) {
        return fail(reason, errno);  // a loop of links, a folder not searchable, ...
    }
    if (exists && !S_ISREG(st.st_mode)) {
        return open_direct(open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC), output, name, reason);
    }
    int existing = -1;
    if (exists) {
        char* real = realpath(name, nullptr);
        if (real == nullptr) {
            return fail(reason, errno);
        }
        output.path = real;
        std::free(real);
        // Refused now as opening it would refuse it, before anything is read.
        existing = open(output.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (existing < 0 || fstat(existing, &st) != 0) {
            const int error = errno;
            if (existing >= 0) {
                close(existing);
            }
            return fail(reason, error);
        }
        output.replaces = true;
        output.old_mode = static_cast<std::uint32_t>(st.st_mode);
        output.old_owner = static_cast<std::uint32_t>(st.st_uid);
        output.old_group = static_cast<std::uint32_t>(st.st_gid);
    } else {
        output.path = name;
        if (!follow_dangling_links(output.path)) {
            return fail(reason, errno);
        }
    }
    output.folder = open(folder_of(output.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int fd = output.folder < 0 ? -1 : create_temporary(output, base_of(output.path));
    int error = errno;
    if (fd >= 0) {
        output.kind = OutputKind::replace;
        if (existing >= 0) {
            close(existing);
        }
    } else if (existing >= 0 && (error == EACCES || error == EPERM)) {
        // The folder takes no new file but the file itself is writable.
        const sigset_t previous = block_cleanup_signals();
        if (ftruncate(existing, 0) == 0) {
            fd = existing;
            output.kind = OutputKind::in_place;
            arm(output.path, fd);
        } else {
            error = errno;
            close(existing);
        }
        restore_signals(previous);
    } else if (existing >= 0) {
        close(existing);
    }
    if (fd < 0) {
        close_folder(output);
        return fail(reason, error);
    }
    output.handle = fd;
    output.file = fdopen(fd, "wb");
    if (output.file == nullptr) {
        error = errno;
        close(fd);
        output.handle = -1;
        discard_output(output);
        return fail(reason, error);
    }
    return true;
}

bool commit_output(OutputFile& output, std::string& reason) {
    int error = std::fflush(output.file) == 0 ? 0 : errno;
    if (error == 0) {
        error = sync_if_storage(static_cast<int>(output.handle));
    }
    if (error == 0 && output.kind == OutputKind::replace) {
        error = settle_owner_and_mode(output);
        if (error == 0) {
            error = put_under_name(output);
        }
    }
    if (error != 0) {
        discard_output(output);
        return fail(reason, error);
    }
    disarm();
    // Everything is on storage and under its name: closing has nothing left
    // that could fail.
    std::fclose(output.file);
    output.file = nullptr;
    close_folder(output);
    return true;
}

void discard_output(OutputFile& output) {
    const sigset_t previous = block_cleanup_signals();
    if (output.kind == OutputKind::replace && !output.temp_path.empty()) {
        unlink(output.temp_path.c_str());
        output.temp_path.clear();
    } else if (output.kind == OutputKind::in_place && unlink(output.path.c_str()) != 0) {
        ignore_failure(ftruncate(static_cast<int>(output.handle), 0));
    }
    disarm();
    restore_signals(previous);
    if (output.file != nullptr) {
        std::fclose(output.file);
        output.file = nullptr;
    }
    close_folder(output);
}

std::FILE* open_standard_input() {
    return open_input("/dev/stdin");  // a descriptor's name: read where it stands
}

bool open_standard_output(OutputFile& output, std::string& reason) {
    return open_output("/dev/stdout", output, reason);
}

bool is_regular_input(std::FILE* file) {
    struct stat st {};
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

bool open_target(const char* name, TargetFile& target, std::string& reason) {
    int fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        const int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return fail(reason, error);
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        close(fd);
        reason = "not a regular file or a block device";
        return false;
    }
#if defined(__linux__)
    if (S_ISBLK(st.st_mode)) {
        // O_EXCL on a block device: refused while the system uses it (a
        // mounted file system, a swap area, a device mapper's member).
        const int exclusive = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_EXCL);
        struct stat again {};
        const int error = errno;
        close(fd);
        fd = exclusive;
        if (fd < 0) {
            reason = error == EBUSY ? "the device is in use (mounted?)" : std::strerror(error);
            return false;
        }
        if (fstat(fd, &again) != 0 || again.st_rdev != st.st_rdev) {
            close(fd);
            reason = "the name changed while it was opened";
            return false;
        }
    }
#endif
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            reason = "another process is updating it";
            return false;
        }
        return fail(reason, error);
    }
    off_t size = st.st_size;
    if (S_ISBLK(st.st_mode)) {
        size = lseek(fd, 0, SEEK_END);
        if (size < 0 || lseek(fd, 0, SEEK_SET) != 0) {
            const int error = errno;
            close(fd);
            return fail(reason, error);
        }
    }
    target.handle = fd;
    target.size = static_cast<std::uint64_t>(size);
    target.device = S_ISBLK(st.st_mode);
    return true;
}

bool read_target(const TargetFile& target, std::uint64_t offset, std::uint8_t* data,
                 std::size_t size, std::string& reason) {
    while (size > 0) {
        const ssize_t n =
            pread(static_cast<int>(target.handle), data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                reason = "the file ended before a record's position";
                return false;
            }
            return fail(reason, errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool write_target(const TargetFile& target, std::uint64_t offset, const std::uint8_t* data,
                  std::size_t size, std::string& reason) {
    while (size > 0) {
        const ssize_t n =
            pwrite(static_cast<int>(target.handle), data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail(reason, n == 0 ? EIO : errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool resize_target(TargetFile& target, std::uint64_t size, std::string& reason) {
    if (target.device) {
        reason = "a block device cannot change its size";
        return false;
    }
    if (ftruncate(static_cast<int>(target.handle), static_cast<off_t>(size)) != 0) {
        return fail(reason, errno);
    }
    target.size = size;
    return true;
}

bool flush_target(const TargetFile& target, std::string& reason) {
    // The data and what reading them needs (the size), not the times.
    if (fdatasync(static_cast<int>(target.handle)) != 0 && errno != EINVAL) {
        return fail(reason, errno);
    }
    return true;
}

std::FILE* read_whole_target(const TargetFile& target, std::string& reason) {
    // A duplicate shares the file offset, which only the stream uses: the
    // positional reads and writes leave it alone.
    const int fd = fcntl(static_cast<int>(target.handle), F_DUPFD_CLOEXEC, 3);
    std::FILE* file = nullptr;
    if (fd >= 0 && lseek(fd, 0, SEEK_SET) == 0) {
        file = fdopen(fd, "rb");
    }
    if (file == nullptr) {
        fail(reason, errno);
        if (fd >= 0) {
            close(fd);
        }
    }
    return file;
}

void close_target(TargetFile& target) {
    if (target.handle >= 0) {
        close(static_cast<int>(target.handle));  // also ends the lock
        target.handle = -1;
    }
}
