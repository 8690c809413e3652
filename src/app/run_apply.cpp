#include "app/run_apply.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "io/file_patch.h"
#include "platform/platform.h"

namespace {

constexpr int EXIT_APPLIED = 0;
constexpr int EXIT_INVALID_PATCH = 1;
constexpr int EXIT_TROUBLE = 2;  // usage, files, reads and writes

// Fixed storage: the run allocates nothing for its data, whatever the patch says.
std::array<std::uint8_t, BLOCK_SIZE> patch_block;
std::array<std::uint8_t, BLOCK_SIZE> original_block;  // the result is built in it

// Every message: one line on standard error, naming the program.
void say(const char* format, ...) {
    std::fputs("deltawright-apply: ", stderr);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

int report(const ApplyResult& result, const char* output_name, const char* patch_name,
           const char* original_name, const BlockInput& patch, const BlockInput& original,
           const FileOutput& output) {
    switch (result.status) {
        case ApplyStatus::complete:
            return EXIT_APPLIED;
        case ApplyStatus::invalid_patch:
            say("%s: invalid patch: %s at byte %" PRIu64 ": %s", patch_name,
                result.fault == PatchFault::bad_header ? "header" : "record", result.fault_position,
                describe_fault(result.fault));
            return EXIT_INVALID_PATCH;
        case ApplyStatus::patch_read_error:
            say("error reading patch file %s: %s", patch_name, std::strerror(patch.error));
            break;
        case ApplyStatus::original_read_error:
            say("error reading original file %s: %s", original_name, std::strerror(original.error));
            break;
        case ApplyStatus::output_write_error:
            say("error writing %s: %s", output_name, std::strerror(output.error));
            break;
    }
    return EXIT_TROUBLE;
}

}  // namespace

int run_apply(int argc, char* argv[]) {
    if (argc != 4) {
        say("usage: deltawright-apply OUTPUT PATCH ORIGINAL");
        return EXIT_TROUBLE;
    }
    const char* output_name = argv[1];
    const char* patch_name = argv[2];
    const char* original_name = argv[3];
    install_signal_cleanup();

    std::FILE* patch_file = open_input(patch_name);
    if (patch_file == nullptr) {
        say("cannot open patch file %s: %s", patch_name, std::strerror(errno));
        return EXIT_TROUBLE;
    }
    std::FILE* original_file = open_input(original_name);
    if (original_file == nullptr) {
        say("cannot open original file %s: %s", original_name, std::strerror(errno));
        std::fclose(patch_file);
        return EXIT_TROUBLE;
    }
    const char* clash = is_same_regular_file(output_name, patch_name)      ? "patch"
                        : is_same_regular_file(output_name, original_name) ? "original"
                                                                           : nullptr;
    OutputFile output_file;
    std::string reason;
    if (clash != nullptr || !open_output(output_name, output_file, reason)) {
        if (clash != nullptr) {
            say("cannot write %s: it is the %s file", output_name, clash);
        } else {
            say("cannot create %s: %s", output_name, reason.c_str());
        }
        std::fclose(original_file);
        std::fclose(patch_file);
        return EXIT_TROUBLE;
    }
    for (std::FILE* f : {patch_file, original_file, output_file.file}) {
        set_unbuffered(f);
    }

    BlockInput patch{patch_file, patch_block};
    BlockInput original{original_file, original_block};
    FileOutput output{output_file.file};
    const ApplyResult result = apply_patch(patch, original, output);
    std::fclose(original_file);
    std::fclose(patch_file);
    if (result.status != ApplyStatus::complete) {
        discard_output(output_file);
        return report(result, output_name, patch_name, original_name, patch, original, output);
    }
    if (!commit_output(output_file, reason)) {
        say("error writing %s: %s", output_name, reason.c_str());
        return EXIT_TROUBLE;
    }
    return EXIT_APPLIED;
}
