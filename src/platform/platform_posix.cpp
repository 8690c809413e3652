// The platform layer on POSIX systems (Linux first; O_TMPFILE where the
// kernel and the file system have it, named temporary files elsewhere).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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

// What a signal must remove: a name in a folder (a named temporary file, or
// a file being written in place) and, for the latter, its descriptor,
// emptied when the name cannot be removed. Written only while the cleanup
// signals are blocked; read by the handler.
std::string armed_storage;
std::atomic<const char*> armed_name{nullptr};
std::atomic<int> armed_folder{-1};
std::atomic<int> armed_descriptor{-1};

const int CLEANUP_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                               SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ};

// For calls whose failure leaves nothing better to do.
void ignore_failure(int /*result*/) {}

// unlinkat, ftruncate, signal and raise are async-signal-safe.
extern "C" void clean_up_and_reraise(int signal_number) {
    if (const char* name = armed_name.exchange(nullptr)) {
        const int descriptor = armed_descriptor.exchange(-1);
        if (unlinkat(armed_folder.load(), name, 0) != 0 && descriptor >= 0) {
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

// Call with the cleanup signals blocked. `name` is in the folder open as
// `folder`, so that no path, however long, is needed.
void arm(int folder, const std::string& name, int descriptor) {
    armed_name.store(nullptr);
    armed_storage = name;
    armed_folder.store(folder);
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

// Where a name leads: through a symbolic link (or a chain of them) to the
// name of the file it names, else the name itself. Only the last part is
// followed, so that the result is no longer than it must be (never an
// absolute path that a deep folder would make too long).
bool follow_links(std::string& path) {
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
            output.temp_path = name;
            arm(folder, name, -1);
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

FileIdentity identity_of(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
}

// The guard's verdict on a file about to be written: false, with the
// refusal set, when it is one of the inputs or (when `head` is asked and it
// is non-empty) does not begin with the head.
bool guard_allows(int fd, const struct stat& st, OutputFile& output, const OutputGuard& guard,
                  bool readable) {
    const FileIdentity self{static_cast<std::uint64_t>(st.st_dev),
                            static_cast<std::uint64_t>(st.st_ino), S_ISREG(st.st_mode)};
    output.input = guarded_input(guard, self);
    if (output.input < guard.input_count) {
        output.refusal = OutputRefusal::input;
        return false;
    }
    if (guard.head_size > 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        // A file the caller may write but not read cannot be shown to be
        // one it may replace: nothing read.
        std::string head(guard.head_size, '\0');
        const ssize_t n = readable ? pread(fd, head.data(), head.size(), 0) : 0;
        head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (!begins_with_head(guard, head)) {
            output.refusal = OutputRefusal::foreign;
            return false;
        }
    }
    return true;
}

bool open_direct(int fd, OutputFile& output, const char* name, std::string& reason,
                 const OutputGuard& guard) {
    if (fd < 0) {
        return fail(reason, errno);
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 &&
        !guard_allows(fd, st, output, {guard.inputs, guard.input_count}, false)) {
        close(fd);
        return false;
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

// POSIX ACLs as the kernel stores them in system.posix_acl_*: a 4-byte
// version, then entries of a 2-byte tag, 2-byte permissions, 4-byte id.
constexpr const char* ACCESS_ACL = "system.posix_acl_access";
constexpr const char* DEFAULT_ACL = "system.posix_acl_default";
constexpr std::size_t ACL_HEADER_SIZE = 4;
constexpr std::size_t ACL_ENTRY_SIZE = 8;
constexpr unsigned ACL_TAG_USER_OBJ = 0x01;
constexpr unsigned ACL_TAG_GROUP_OBJ = 0x04;
constexpr unsigned ACL_TAG_MASK = 0x10;
constexpr unsigned ACL_TAG_OTHER = 0x20;

// An extended attribute's value, or false when it has none (or the file
// system keeps none).
bool read_attribute(int fd, const char* name, std::string& value) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0) {
            return false;
        }
        value.assign(static_cast<std::size_t>(size), '\0');
        const ssize_t got = fgetxattr(fd, name, value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            return false;
        }
    }
    return false;
}

// The access ACL a file created with mode 0666 gets from its folder's
// default ACL, as the kernel makes it: the owner's, the other users' and the
// group class's entry (the mask, or the owning group without one) limited to
// the mode's bits. Empty when the folder has no default ACL.
std::string inherited_acl(int folder) {
    std::string acl;
    if (!read_attribute(folder, DEFAULT_ACL, acl) || acl.size() < ACL_HEADER_SIZE ||
        (acl.size() - ACL_HEADER_SIZE) % ACL_ENTRY_SIZE != 0) {
        return {};
    }
    const auto tag_at = [&acl](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(acl[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(acl[at + 1])) << 8;
    };
    bool has_mask = false;
    for (std::size_t at = ACL_HEADER_SIZE; at < acl.size(); at += ACL_ENTRY_SIZE) {
        has_mask = has_mask || tag_at(at) == ACL_TAG_MASK;
    }
    constexpr unsigned READ_WRITE = 6;  // 0666: no execute bit for any class
    for (std::size_t at = ACL_HEADER_SIZE; at < acl.size(); at += ACL_ENTRY_SIZE) {
        const unsigned tag = tag_at(at);
        if (tag == ACL_TAG_USER_OBJ || tag == ACL_TAG_OTHER ||
            tag == (has_mask ? ACL_TAG_MASK : ACL_TAG_GROUP_OBJ)) {
            acl[at + 2] = static_cast<char>(static_cast<unsigned char>(acl[at + 2]) & READ_WRITE);
        }
    }
    return acl;
}

// The replaced file's extended attributes that a copy keeps: its access
// ACL, and the user namespace (best effort: a file system may keep none).
void remember_attributes(int fd, OutputFile& output) {
    read_attribute(fd, ACCESS_ACL, output.acl);
    std::string names(256, '\0');
    ssize_t size = flistxattr(fd, names.data(), names.size());
    if (size < 0 && errno == ERANGE) {
        size = flistxattr(fd, nullptr, 0);
        names.assign(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
        size = size > 0 ? flistxattr(fd, names.data(), names.size()) : size;
    }
    if (size <= 0) {
        return;
    }
    names.resize(static_cast<std::size_t>(size));
    for (std::size_t at = 0; at < names.size();) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        std::string value;
        if (name.rfind("user.", 0) == 0 && read_attribute(fd, name.c_str(), value)) {
            output.attribute_names += name;
            output.attribute_names += '\0';
            const auto length = static_cast<std::uint32_t>(value.size());
            output.attribute_values.append(reinterpret_cast<const char*>(&length), sizeof length);
            output.attribute_values += value;
        }
    }
}

// The attributes remembered, on the new file. An ACL that cannot be set
// fails the output: without it, the file could grant more than it should.
int give_attributes(int fd, const OutputFile& output) {
    if (!output.acl.empty() &&
        fsetxattr(fd, ACCESS_ACL, output.acl.data(), output.acl.size(), 0) != 0) {
        return errno;
    }
    std::size_t value_at = 0;
    for (std::size_t at = 0; at < output.attribute_names.size();) {
        const char* name = output.attribute_names.c_str() + at;
        at += std::strlen(name) + 1;
        std::uint32_t length = 0;
        std::memcpy(&length, output.attribute_values.data() + value_at, sizeof length);
        value_at += sizeof length;
        // User attributes are kept where the file system takes them.
        ignore_failure(fsetxattr(fd, name, output.attribute_values.data() + value_at, length, 0));
        value_at += length;
    }
    return 0;
}

// The replaced file's owner, group, mode and attributes, as far as the
// process may; the set-ID and sticky bits only when owner and group are the
// old ones. A new file gets what creating it would have given.
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
        // An ACL the new file took from its folder would grant what the
        // replaced file did not: it goes, and the replaced file's comes.
        if (output.acl.empty() && fremovexattr(fd, ACCESS_ACL) != 0 && errno != ENODATA &&
            errno != ENOTSUP) {
            return errno;
        }
    } else if (!output.acl.empty()) {
        // The folder's default ACL decides, not the umask; setting the
        // access ACL sets the permission bits with it.
        return give_attributes(fd, output);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = static_cast<mode_t>(0666U & ~mask);
    }
    if (fchmod(fd, mode) != 0) {
        return errno;
    }
    return output.replaces ? give_attributes(fd, output) : 0;
}

// Puts the complete temporary file under its name and flushes the folder. An
// anonymous file for a new name is linked under it directly. Otherwise it
// is linked under a temporary name first (no call links over an existing
// name) and renamed over the name: a kill between the two leaves the
// temporary name.
int put_under_name(OutputFile& output) {
    const int fd = static_cast<int>(output.handle);
    const int folder = static_cast<int>(output.folder);
    const std::string base = base_of(output.path);
    const sigset_t previous = block_cleanup_signals();
    int error = 0;
    bool linked = false;
    if (output.temp_path.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (!output.replaces) {
            linked = linkat(AT_FDCWD, self.c_str(), folder, base.c_str(), AT_SYMLINK_FOLLOW) == 0;
            // EEXIST: the name appeared meanwhile, and is replaced as any.
            error = linked || errno == EEXIST ? 0 : errno;
        }
        constexpr int ATTEMPTS = 100;
        for (int i = 0; i < ATTEMPTS && !linked && error == 0; ++i) {
            const std::string name = temporary_name(base, name_limit(folder), random_number());
            if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                output.temp_path = name;
                arm(folder, name, -1);
                break;
            }
            error = errno == EEXIST ? 0 : errno;
        }
        if (!linked && error == 0 && output.temp_path.empty()) {
            error = EEXIST;
        }
    }
    if (error == 0 && !linked &&
        renameat(folder, output.temp_path.c_str(), folder, base.c_str()) != 0) {
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

FileIdentity identify(std::FILE* file) {
    return identity_of(fileno(file));
}

bool started_without(int standard_descriptor) {
    return ((closed_standard >> standard_descriptor) & 1U) != 0;
}

bool open_output(const char* name, OutputFile& output, std::string& reason,
                 const OutputGuard& guard) {
    if (*name == '\0') {
        return fail(reason, ENOENT);
    }
    const int number = descriptor_number(name);
    if (number >= 0) {
        return open_direct(duplicate_descriptor(number, true), output, name, reason, guard);
    }
    struct stat st {};
    const bool exists = stat(name, &st) == 0;
    if (!exists && errno != ENOENT) {
        return fail(reason, errno);  // a loop of links, a folder not searchable, ...
    }
    if (exists && !S_ISREG(st.st_mode)) {
        return open_direct(open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC), output, name, reason,
                           guard);
    }
    output.path = name;
    if (!follow_links(output.path)) {
        return fail(reason, errno);
    }
    const std::string base = base_of(output.path);
    output.folder = open(folder_of(output.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (output.folder < 0) {
        return fail(reason, errno);
    }
    const int folder = static_cast<int>(output.folder);
    // The file is opened in its folder, links already followed, so that
    // what is checked is what is replaced; read too where allowed, for the
    // guard's head.
    bool readable = true;
    int existing = openat(folder, base.c_str(), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (existing < 0 && errno == EACCES) {
        readable = false;
        existing = openat(folder, base.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    }
    int error = errno;
    if (existing < 0 && error != ENOENT) {
        close_folder(output);
        return fail(reason, error);
    }
    if (existing >= 0) {
        struct stat folder_st {};
        error = fstat(existing, &st) != 0 || fstat(folder, &folder_st) != 0 ? errno : 0;
        // Another user's file in a sticky folder cannot be renamed over:
        // refused now rather than after all the work.
        if (error == 0 && (folder_st.st_mode & S_ISVTX) != 0 && geteuid() != 0 &&
            st.st_uid != geteuid() && folder_st.st_uid != geteuid()) {
            error = EPERM;
        }
        if (error != 0 || !guard_allows(existing, st, output, guard, readable)) {
            close(existing);
            close_folder(output);
            return error == 0 ? false : fail(reason, error);
        }
        output.replaces = true;
        output.old_mode = static_cast<std::uint32_t>(st.st_mode);
        output.old_owner = static_cast<std::uint32_t>(st.st_uid);
        output.old_group = static_cast<std::uint32_t>(st.st_gid);
        remember_attributes(existing, output);
    } else {
        output.acl = inherited_acl(folder);
    }
    int fd = create_temporary(output, base);
    error = errno;
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
            arm(folder, base, fd);
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
    const int folder = static_cast<int>(output.folder);
    if (output.kind == OutputKind::replace && !output.temp_path.empty()) {
        unlinkat(folder, output.temp_path.c_str(), 0);
        output.temp_path.clear();
    } else if (output.kind == OutputKind::in_place &&
               unlinkat(folder, base_of(output.path).c_str(), 0) != 0) {
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

bool open_standard_output(OutputFile& output, std::string& reason, const OutputGuard& guard) {
    return open_output("/dev/stdout", output, reason, guard);
}

bool is_regular_input(std::FILE* file) {
    struct stat st {};
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

bool regular_input_size(std::FILE* file, std::uint64_t& size) {
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

void start_writeback(std::FILE* file, std::uint64_t offset, std::uint64_t size) {
#if defined(__linux__)
    sync_file_range(fileno(file), static_cast<off_t>(offset), static_cast<off_t>(size),
                    SYNC_FILE_RANGE_WRITE);
#else
    (void)file, (void)offset, (void)size;
#endif
}

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
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

bool target_size(const TargetFile& target, std::uint64_t& size, std::string& reason) {
    struct stat st {};
    if (target.device) {
        size = target.size;
        return true;
    }
    if (fstat(static_cast<int>(target.handle), &st) != 0) {
        return fail(reason, errno);
    }
    size = static_cast<std::uint64_t>(st.st_size);
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

FileIdentity identify_target(const TargetFile& target) {
    return identity_of(static_cast<int>(target.handle));
}

void close_target(TargetFile& target) {
    if (target.handle >= 0) {
        close(static_cast<int>(target.handle));  // also ends the lock
        target.handle = -1;
    }
}
