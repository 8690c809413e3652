#include "io/output_file.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The armed file's name, read by the signal handler: set only while the
// string it points into stays unchanged.
std::string armed_storage;
std::atomic<const char*> armed_name{nullptr};

// Removing a file by name is a single system call (unlink) on the systems
// this runs on, so it is safe in a handler; besides it the handler only
// restores the default action and raises the signal again.
extern "C" void remove_and_reraise(int signal_number) {
    if (const char* name = armed_name.exchange(nullptr)) {
        std::remove(name);
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// File names are passed around as the bytes the command line gave: the
// system's own encoding, which on Windows the application manifest makes
// UTF-8. The C library takes them as they are; std::filesystem on Windows
// converts narrow names by another code page, so they go through char8_t.
fs::path to_path(const std::string& name) {
#ifdef _WIN32
    return fs::path(std::u8string(name.begin(), name.end()));
#else
    return fs::path(name);
#endif
}

std::string from_path(const fs::path& path) {
#ifdef _WIN32
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
#else
    return path.string();
#endif
}

// Creates a new file for writing; fails (errno EEXIST) if the name exists.
std::FILE* create_new(const std::string& name) {
#ifdef _WIN32
    // The Windows C runtime ignores the "x" mode; the name is random, so a
    // check just before is enough.
    std::error_code ec;
    if (fs::exists(to_path(name), ec)) {
        errno = EEXIST;
        return nullptr;
    }
    return std::fopen(name.c_str(), "wb");
#else
    return std::fopen(name.c_str(), "wbx");
#endif
}

// The file a dangling symbolic link names, following a chain of links; the
// name itself when it is not a link.
fs::path follow_links(fs::path name) {
    constexpr int MAX_LINKS = 40;  // as the system itself allows
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

// A temporary name in the same folder, so that the rename never crosses file systems.
fs::path temporary_name(const fs::path& target, std::uint64_t random) {
    constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix = ".tmp";
    for (int i = 0; i < 8; ++i, random /= sizeof DIGITS - 1) {
        suffix += DIGITS[random % (sizeof DIGITS - 1)];
    }
    std::string name = ".";
    name += from_path(target.filename());
    name += suffix;
    return target.parent_path() / to_path(name);
}

// A device rather than a file: on Windows the reserved names (NUL, CON, COM1,
// ...) in any folder and with any extension; elsewhere devices exist as files
// and their status says so.
bool is_device_name(const fs::path& name) {
#ifdef _WIN32
    std::string stem = from_path(name.stem());
    for (char& c : stem) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const bool numbered = stem.size() == 4 &&
                          (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' &&
                          stem[3] <= '9';
    return numbered || stem == "NUL" || stem == "CON" || stem == "PRN" || stem == "AUX";
#else
    (void)name;
    return false;
#endif
}

std::string system_reason(int error) {
    return std::strerror(error);
}

}  // namespace

std::FILE* open_input(const char* name) {
    std::FILE* file = std::fopen(name, "rb");
    std::error_code ec;
    if (file != nullptr && fs::is_directory(to_path(name), ec)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

bool is_same_regular_file(const char* output, const char* input) {
    std::error_code ec;
    if (!fs::is_regular_file(to_path(output), ec)) {
        return false;
    }
    const bool same = fs::equivalent(to_path(output), to_path(input), ec);
    return !ec && same;
}

std::string regular_file_target(const char* name) {
    std::error_code ec;
    if (!fs::is_regular_file(to_path(name), ec)) {
        return {};
    }
    const fs::path target = fs::canonical(to_path(name), ec);
    return ec ? std::string{} : from_path(target);
}

void install_signal_cleanup() {
    const int signals[] = {
        SIGINT,
        SIGTERM,
#ifdef SIGHUP
        SIGHUP,
#endif
    };
    for (const int s : signals) {
        if (std::signal(s, remove_and_reraise) == SIG_IGN) {
            std::signal(s, SIG_IGN);
        }
    }
}

void arm_removal(const std::string& path) {
    armed_name.store(nullptr);
    armed_storage = path;
    if (!armed_storage.empty()) {
        armed_name.store(armed_storage.c_str());
    }
}

void disarm_removal() {
    armed_name.store(nullptr);
}

void remove_armed_file() {
    if (const char* name = armed_name.exchange(nullptr)) {
        std::remove(name);
    }
}

bool open_output(const char* name, OutputFile& output, std::string& reason) {
    std::error_code ec;
    const fs::path given = to_path(name);
    const fs::file_status status = fs::status(given, ec);
    if ((fs::exists(status) && !fs::is_regular_file(status)) || is_device_name(given)) {
        output.file = std::fopen(name, "wb");
        if (output.file == nullptr) {
            reason = system_reason(errno);
            return false;
        }
        output.path = name;
        return true;
    }
    fs::path target = follow_links(given);
    if (fs::is_regular_file(status)) {
        std::error_code canonical_ec;
        const fs::path real = fs::canonical(given, canonical_ec);
        target = canonical_ec ? given : real;
    }
    std::mt19937_64 rng(std::random_device{}());
    constexpr int ATTEMPTS = 100;
    for (int i = 0; i < ATTEMPTS && output.file == nullptr; ++i) {
        const std::string temp = from_path(temporary_name(target, rng()));
        errno = 0;
        output.file = create_new(temp);
        if (output.file != nullptr) {
            output.temp_path = temp;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (output.file == nullptr) {
        reason = system_reason(errno);
        return false;
    }
    arm_removal(output.temp_path);
    output.path = from_path(target);
    return true;
}

bool commit_output(OutputFile& output, std::string& reason) {
    const bool closed = std::fclose(output.file) == 0;
    const int close_error = errno;
    output.file = nullptr;
    if (!closed) {
        reason = system_reason(close_error);
        discard_output(output);
        return false;
    }
    if (output.temp_path.empty()) {
        return true;
    }
    std::error_code ec;
    const fs::file_status old = fs::status(to_path(output.path), ec);
    if (fs::is_regular_file(old)) {
        fs::permissions(to_path(output.temp_path), old.permissions(), ec);
    }
    fs::rename(to_path(output.temp_path), to_path(output.path), ec);
    if (ec) {
        reason = ec.message();
        discard_output(output);
        return false;
    }
    disarm_removal();
    return true;
}

void discard_output(OutputFile& output) {
    if (output.file != nullptr) {
        std::fclose(output.file);
        output.file = nullptr;
    }
    if (!output.temp_path.empty()) {
        remove_armed_file();
    }
}
