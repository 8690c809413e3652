#include "app/apply_support.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "app/say.h"
#include "platform/platform.h"

int say_invalid_patch(const char* patch_name, dw_error fault, std::uint64_t position) {
    say("%s: invalid patch: %s at byte %" PRIu64 ": %s", patch_name,
        fault == DW_ERROR_HEADER ? "header" : "record", position, dw_error_text(fault));
    return EXIT_INVALID_PATCH;
}

void say_read_error(const char* what, const char* name, const BlockInput& input) {
    say("error reading %s file %s: %s", what, name, std::strerror(input.error));
}

int printed(int status) {
    int error = 0;
    if (started_without(1)) {
        error = EBADF;
    } else if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        say("error writing standard output: %s", std::strerror(error));
        return EXIT_TROUBLE;
    }
    return status;
}

int say_failure(const RunResult& r, const StreamNames& names) {
    const char* what = r.stream == Stream::updated    ? "updated"
                       : r.stream == Stream::original ? "original"
                       : r.stream == Stream::target   ? "target"
                                                      : "patch";
    const char* name = r.stream == Stream::updated    ? names.updated
                       : r.stream == Stream::original ? names.original
                       : r.stream == Stream::target   ? names.target
                       : r.stream == Stream::output   ? names.output
                                                      : names.patch;
    const char* text = r.reason.empty() ? std::strerror(r.system_error) : r.reason.c_str();
    switch (r.outcome) {
        case Outcome::invalid:
            return say_invalid_patch(names.patch, r.error, r.position);
        case Outcome::read_error:
            if (r.stream == Stream::target && !r.reason.empty()) {
                say("error reading target %s: %s", name, text);  // the platform's reason
            } else {
                say("error reading %s file %s: %s", what, name, text);
            }
            break;
        default:
            say("error writing %s: %s", name, text);
            break;
    }
    return EXIT_TROUBLE;
}

bool is_standard(const char* name) {
    return std::strcmp(name, "-") == 0;
}

std::FILE* open_named_input(const char* what, const char* name) {
    std::FILE* file = is_standard(name) ? open_standard_input() : open_input(name);
    if (file == nullptr) {
        say("cannot open %s file %s: %s", what, name, std::strerror(errno));
    } else {
        set_unbuffered(file);
    }
    return file;
}

void say_output_refused(const char* name, const OutputFile& output, const std::string& reason,
                        const char* const* roles) {
    if (output.refusal == OutputRefusal::input) {
        say("cannot write %s: it is the %s file", name, roles[output.input]);
    } else {
        say("cannot create %s: %s", name, reason.c_str());
    }
}

bool matches_seal(const char* what, const char* name, const char* manifest_name,
                  const FileSeal& want, std::uint64_t size, const std::uint8_t* digest) {
    if (size > want.size) {  // read no further than one byte past the size
        say("%s %s does not match %s: longer than the %" PRIu64 " bytes the manifest says", what,
            name, manifest_name, want.size);
        return false;
    }
    if (size != want.size) {
        say("%s %s does not match %s: %" PRIu64 " bytes, the manifest says %" PRIu64, what, name,
            manifest_name, size, want.size);
        return false;
    }
    if (std::memcmp(digest, want.sha256, DW_SHA256_SIZE) != 0) {
        say("%s %s does not match %s: SHA-256 %s, the manifest says %s", what, name, manifest_name,
            hex_digest(digest).c_str(), hex_digest(want.sha256).c_str());
        return false;
    }
    return true;
}
