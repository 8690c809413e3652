// The platform layer on Windows. File names arrive as UTF-8 (the programs'
// manifest sets that code page) and go to the system as UTF-16.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/platform.h"
#include "platform/temporary_name.h"

namespace fs = std::filesystem;

namespace {

// The named temporary file (or the file written in place) that a signal
// removes; set only while the string it points into stays unchanged.
std::wstring armed_storage;
std::atomic<const wchar_t*> armed_name{nullptr};

const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGBREAK};

extern "C" void clean_up_and_reraise(int signal_number) {
    if (const wchar_t* name = armed_name.exchange(nullptr)) {
        DeleteFileW(name);
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void arm(const std::wstring& name) {
    armed_name.store(nullptr);
    armed_storage = name;
    armed_name.store(armed_storage.c_str());
}

void disarm() {
    armed_name.store(nullptr);
}

std::wstring wide(const std::string& utf8) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

std::string narrow(const std::wstring& utf16) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// std::filesystem converts narrow names by another code page: UTF-8 goes
// through char8_t.
fs::path to_path(const std::string& name) {
    return fs::path(std::u8string(name.begin(), name.end()));
}

std::string from_path(const fs::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

// The reserved device names (NUL, CON, COM1, ...), in any folder and with any
// extension.
bool is_device_name(const fs::path& name) {
    std::string stem = from_path(name.stem());
    for (char& c : stem) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const bool numbered = stem.size() == 4 &&
                          (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' &&
                          stem[3] <= '9';
    return numbered || stem == "NUL" || stem == "CON" || stem == "PRN" || stem == "AUX";
}

// The file a dangling symbolic link names, following a chain of links; the
// name itself when it is not a link.
fs::path follow_links(fs::path name) {
    constexpr int MAX_LINKS = 40;
    std::error_code ec;
    for (int i = 0; i < MAX_LINKS && fs::is_symlink(fs::symlink_status(name, ec)); ++i) {
        const fs::path target = fs::read_symlink(name, ec);
        if (ec) {
            break;
        }
        name = target.is_absolute() ? target : name.parent_path() / target;
    }
    return name;
}

// The C library's text for the system's error, as the POSIX build says it.
bool fail(std::string& reason, DWORD error) {
    int code = 0;
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            code = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
            code = EACCES;
            break;
        case ERROR_FILENAME_EXCED_RANGE:
            code = ENAMETOOLONG;
            break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            code = ENOSPC;
            break;
        case ERROR_WRITE_PROTECT:
            code = EROFS;
            break;
        default: {
            // The system's own words, as one line without the final full
            // stop, like the C library's texts.
            wchar_t* text = nullptr;
            const DWORD length =
                FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
            reason = length > 0 ? narrow(std::wstring(text, length))
                                : "Windows error " + std::to_string(error);
            LocalFree(text);
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                                       reason.back() == ' ' || reason.back() == '.')) {
                reason.pop_back();
            }
            return false;
        }
    }
    reason = std::strerror(code);
    return false;
}

bool attach_file(HANDLE handle, OutputFile& output, std::string& reason) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY | _O_WRONLY);
    output.file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (output.file == nullptr) {
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(handle);
        }
        return fail(reason, ERROR_ACCESS_DENIED);
    }
    output.handle = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

std::uint64_t random_number() {
    static std::mt19937_64 generator(std::random_device{}() ^ GetCurrentProcessId());
    return generator();
}

// The standard descriptors the program was started without, one bit each.
unsigned closed_standard = 0;

FileIdentity identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {};
    }
    return {info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true};
}

// The guard's verdict on a file about to be written: false, with the
// refusal set, when it is one of the inputs or (when a head is asked and it
// is non-empty) does not begin with the head.
bool guard_allows(HANDLE handle, OutputFile& output, const OutputGuard& guard, bool readable) {
    const FileIdentity self = identity_of(handle);
    output.input = guarded_input(guard, self);
    if (output.input < guard.input_count) {
        output.refusal = OutputRefusal::input;
        return false;
    }
    LARGE_INTEGER size{};
    if (guard.head_size > 0 && self.known && GetFileSizeEx(handle, &size) != 0 &&
        size.QuadPart > 0) {
        // A file the caller may write but not read cannot be shown to be
        // one it may replace: nothing read.
        std::string head(guard.head_size, '\0');
        OVERLAPPED at{};
        DWORD n = 0;
        if (!readable ||
            ReadFile(handle, head.data(), static_cast<DWORD>(head.size()), &n, &at) == 0) {
            n = 0;
        }
        head.resize(n);
        if (!begins_with_head(guard, head)) {
            output.refusal = OutputRefusal::foreign;
            return false;
        }
    }
    return true;
}

}  // namespace

void guard_standard_descriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (_get_osfhandle(fd) == -1) {
            closed_standard |= 1U << static_cast<unsigned>(fd);
            const int opened = _open("NUL", _O_RDWR | _O_BINARY);
            if (opened >= 0 && opened != fd) {
                _dup2(opened, fd);
                _close(opened);
            }
        }
    }
}

void install_signal_cleanup() {
    for (const int s : CLEANUP_SIGNALS) {
        if (std::signal(s, clean_up_and_reraise) == SIG_IGN) {
            std::signal(s, SIG_IGN);
        }
    }
}

std::FILE* open_input(const char* name) {
    std::FILE* file = _wfopen(wide(name).c_str(), L"rb");
    const DWORD attributes = GetFileAttributesW(wide(name).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (file != nullptr) {
            std::fclose(file);
        }
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

FileIdentity identify(std::FILE* file) {
    return identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

bool started_without(int standard_descriptor) {
    return ((closed_standard >> standard_descriptor) & 1U) != 0;
}

bool open_output(const char* name, OutputFile& output, std::string& reason,
                 const OutputGuard& guard) {
    if (*name == '\0') {
        return fail(reason, ERROR_FILE_NOT_FOUND);
    }
    std::error_code ec;
    const fs::path given = to_path(name);
    const fs::file_status status = fs::status(given, ec);
    if ((fs::exists(status) && !fs::is_regular_file(status)) || is_device_name(given)) {
        const HANDLE handle =
            CreateFileW(wide(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return fail(reason, GetLastError());
        }
        if (!guard_allows(handle, output, {guard.inputs, guard.input_count}, false)) {
            CloseHandle(handle);
            return false;
        }
        output.kind = OutputKind::direct;
        output.path = name;
        return attach_file(handle, output, reason);
    }
    HANDLE existing = INVALID_HANDLE_VALUE;
    fs::path target = follow_links(given);
    if (fs::is_regular_file(status)) {
        const fs::path real = fs::canonical(given, ec);
        target = ec ? given : real;
        // Refused now as opening it would refuse it (read-only, in use);
        // read too where allowed, for the guard's head.
        bool readable = true;
        for (const DWORD access : {GENERIC_READ | GENERIC_WRITE, DWORD{GENERIC_WRITE}}) {
            existing = CreateFileW(target.c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (existing != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) {
                break;
            }
            readable = false;
        }
        if (existing == INVALID_HANDLE_VALUE) {
            return fail(reason, GetLastError());
        }
        if (!guard_allows(existing, output, guard, readable)) {
            CloseHandle(existing);
            return false;
        }
        output.replaces = true;
    }
    output.path = from_path(target);
    const std::string base = from_path(target.filename());
    constexpr std::size_t NAME_MAX_BYTES = 255;  // UTF-16 units; UTF-8 never has fewer bytes
    constexpr int ATTEMPTS = 100;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_EXISTS;
    for (int i = 0; i < ATTEMPTS && handle == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS;
         ++i) {
        const fs::path temp =
            target.parent_path() / to_path(temporary_name(base, NAME_MAX_BYTES, random_number()));
        // Shared for deletion only, so that a signal can still remove it.
        handle = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (error == ERROR_ALREADY_EXISTS) {
            error = ERROR_FILE_EXISTS;
        }
        if (handle != INVALID_HANDLE_VALUE) {
            output.temp_path = from_path(temp);
            arm(temp.wstring());
        }
    }
    if (handle != INVALID_HANDLE_VALUE) {
        output.kind = OutputKind::replace;
        if (existing != INVALID_HANDLE_VALUE) {
            CloseHandle(existing);
        }
    } else if (existing != INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED) {
        // The folder takes no new file but the file itself is writable.
        LARGE_INTEGER start{};
        if (SetFilePointerEx(existing, start, nullptr, FILE_BEGIN) == 0 ||
            SetEndOfFile(existing) == 0) {
            error = GetLastError();
            CloseHandle(existing);
            return fail(reason, error);
        }
        handle = existing;
        output.kind = OutputKind::in_place;
        arm(target.wstring());
    } else {
        if (existing != INVALID_HANDLE_VALUE) {
            CloseHandle(existing);
        }
        return fail(reason, error);
    }
    if (!attach_file(handle, output, reason)) {
        discard_output(output);
        return false;
    }
    return true;
}

bool commit_output(OutputFile& output, std::string& reason) {
    const auto handle = reinterpret_cast<HANDLE>(output.handle);
    DWORD error = 0;
    if (std::fflush(output.file) != 0) {
        error = ERROR_WRITE_FAULT;
    } else if (GetFileType(handle) == FILE_TYPE_DISK && FlushFileBuffers(handle) == 0) {
        error = GetLastError();
    }
    if (error != 0) {
        discard_output(output);
        return fail(reason, error);
    }
    std::fclose(output.file);  // closes the handle too
    output.file = nullptr;
    if (output.kind == OutputKind::replace &&
        MoveFileExW(to_path(output.temp_path).c_str(), to_path(output.path).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        error = GetLastError();
        discard_output(output);
        return fail(reason, error);
    }
    disarm();
    output.temp_path.clear();
    return true;
}

void discard_output(OutputFile& output) {
    if (output.file != nullptr) {
        std::fclose(output.file);
        output.file = nullptr;
    }
    if (output.kind == OutputKind::replace && !output.temp_path.empty()) {
        DeleteFileW(to_path(output.temp_path).c_str());
        output.temp_path.clear();
    } else if (output.kind == OutputKind::in_place) {
        DeleteFileW(to_path(output.path).c_str());
    }
    disarm();
}

namespace {

// A duplicate of a handle, so that closing what we opened leaves the
// original alone.
HANDLE duplicate(HANDLE handle) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    const HANDLE self = GetCurrentProcess();
    if (DuplicateHandle(self, handle, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return copy;
}

HANDLE duplicate_standard(DWORD which) {
    return duplicate(GetStdHandle(which));
}

// A binary reading stream over a handle, which it then owns; null (the
// handle closed) on failure.
std::FILE* reading_stream(HANDLE handle) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY | _O_RDONLY);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "rb");
    if (file == nullptr) {
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(handle);
        }
    }
    return file;
}

}  // namespace

std::FILE* open_standard_input() {
    const HANDLE handle = duplicate_standard(STD_INPUT_HANDLE);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return nullptr;
    }
    std::FILE* file = reading_stream(handle);
    if (file == nullptr) {
        errno = EBADF;
    }
    return file;
}

bool open_standard_output(OutputFile& output, std::string& reason, const OutputGuard& guard) {
    const HANDLE handle = duplicate_standard(STD_OUTPUT_HANDLE);
    if (handle == INVALID_HANDLE_VALUE) {
        return fail(reason, ERROR_INVALID_HANDLE);
    }
    if (!guard_allows(handle, output, guard, false)) {
        CloseHandle(handle);
        return false;
    }
    output.kind = OutputKind::direct;
    output.path = "-";
    return attach_file(handle, output, reason);
}

bool is_regular_input(std::FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle, &info) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool regular_input_size(std::FILE* file, std::uint64_t& size) {
    LARGE_INTEGER bytes{};
    if (!is_regular_input(file) ||
        GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), &bytes) == 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(bytes.QuadPart);
    return true;
}

void start_writeback(std::FILE*, std::uint64_t, std::uint64_t) {
    // No such call: FlushFileBuffers at the end writes everything.
}

bool is_terminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

namespace {

OVERLAPPED at_offset(std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// The most one ReadFile or WriteFile call is given.
constexpr std::size_t MAX_CALL = std::size_t{1} << 30;

}  // namespace

bool open_target(const char* name, TargetFile& target, std::string& reason) {
    // Shared for reading only: no other writer while it is updated.
    const HANDLE handle =
        CreateFileW(wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            reason = "another process is using it";
            return false;
        }
        return fail(reason, error);
    }
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileSizeEx(handle, &size) == 0) {
        // Disks and volumes take only whole, aligned sectors: not written here.
        CloseHandle(handle);
        reason = "not a regular file";
        return false;
    }
    target.handle = reinterpret_cast<std::intptr_t>(handle);
    target.size = static_cast<std::uint64_t>(size.QuadPart);
    target.device = false;
    return true;
}

bool read_target(const TargetFile& target, std::uint64_t offset, std::uint8_t* data,
                 std::size_t size, std::string& reason) {
    while (size > 0) {
        OVERLAPPED at = at_offset(offset);
        DWORD n = 0;
        if (ReadFile(reinterpret_cast<HANDLE>(target.handle), data,
                     static_cast<DWORD>((std::min)(size, MAX_CALL)), &n, &at) == 0) {
            const DWORD error = GetLastError();
            if (error != ERROR_HANDLE_EOF) {
                return fail(reason, error);
            }
            n = 0;
        }
        if (n == 0) {
            reason = "the file ended before a record's position";
            return false;
        }
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool write_target(const TargetFile& target, std::uint64_t offset, const std::uint8_t* data,
                  std::size_t size, std::string& reason) {
    while (size > 0) {
        OVERLAPPED at = at_offset(offset);
        DWORD n = 0;
        if (WriteFile(reinterpret_cast<HANDLE>(target.handle), data,
                      static_cast<DWORD>((std::min)(size, MAX_CALL)), &n, &at) == 0) {
            return fail(reason, GetLastError());
        }
        if (n == 0) {
            return fail(reason, ERROR_WRITE_FAULT);
        }
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool resize_target(TargetFile& target, std::uint64_t size, std::string& reason) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(reinterpret_cast<HANDLE>(target.handle), FileEndOfFileInfo, &end,
                                   sizeof end) == 0) {
        return fail(reason, GetLastError());
    }
    target.size = size;
    return true;
}

bool target_size(const TargetFile& target, std::uint64_t& size, std::string& reason) {
    LARGE_INTEGER bytes{};
    if (GetFileSizeEx(reinterpret_cast<HANDLE>(target.handle), &bytes) == 0) {
        return fail(reason, GetLastError());
    }
    size = static_cast<std::uint64_t>(bytes.QuadPart);
    return true;
}

bool flush_target(const TargetFile& target, std::string& reason) {
    return FlushFileBuffers(reinterpret_cast<HANDLE>(target.handle)) != 0 ||
           fail(reason, GetLastError());
}

std::FILE* read_whole_target(const TargetFile& target, std::string& reason) {
    // The duplicate shares the file pointer, which positional calls move:
    // it is set to the start here, and nothing else runs during the pass.
    const HANDLE copy = duplicate(reinterpret_cast<HANDLE>(target.handle));
    const LARGE_INTEGER start{};
    if (copy == INVALID_HANDLE_VALUE || SetFilePointerEx(copy, start, nullptr, FILE_BEGIN) == 0) {
        const DWORD error = GetLastError();
        if (copy != INVALID_HANDLE_VALUE) {
            CloseHandle(copy);
        }
        fail(reason, error);
        return nullptr;
    }
    std::FILE* file = reading_stream(copy);
    if (file == nullptr) {
        fail(reason, ERROR_INVALID_HANDLE);
    }
    return file;
}

FileIdentity identify_target(const TargetFile& target) {
    return identity_of(reinterpret_cast<HANDLE>(target.handle));
}

void close_target(TargetFile& target) {
    if (target.handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(target.handle));
        target.handle = -1;
    }
}
