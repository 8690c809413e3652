#include "app/run_tool.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "format/patch_format.h"
#include "scan/difference_scan.h"

namespace {

constexpr const char* USAGE_TEXT =
    "Usage:\n  deltawright <patch file name> <updated file name> <original file name>\n\n"
    "Original will be compared to Update, and differences will be captured in the\n"
    "Patch file.\n";
constexpr const char* WRONG_COUNT_TEXT =
    "To few arguments provided.  Specify a patch file to create and the updated and original "
    "files for comparison.";

constexpr int EXIT_DONE = 0;        // no patch written, or a complete one
constexpr int EXIT_INCOMPLETE = 1;  // a patch file was created but is not complete

// Fixed storage, so that a run allocates nothing for its data and cannot fail to.
std::array<std::uint8_t, SCAN_BLOCK_SIZE> updated_block;
std::array<std::uint8_t, SCAN_BLOCK_SIZE> original_block;
std::array<std::uint8_t, PATCH_BUFFER_SIZE> patch_block;

// Opens an input for binary reading. A directory opens on some systems but is
// not a file that can be read, so it counts as a failure to open.
std::FILE* open_input(const char* name) {
    std::FILE* file = std::fopen(name, "rb");
    std::error_code ec;
    if (file != nullptr && std::filesystem::is_directory(name, ec)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

// True when truncating `patch` would destroy `input`: the patch name is an
// existing regular file that is the same file (hard link, symlink or another
// spelling included) as the input. Devices such as /dev/null lose nothing.
bool is_same_regular_file(const char* patch, const char* input) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(patch, ec)) {
        return false;
    }
    const bool same = std::filesystem::equivalent(patch, input, ec);
    return !ec && same;
}

// Our own blocks do the buffering; the streams' would only add a copy.
void set_unbuffered(std::FILE* file) {
    std::setvbuf(file, nullptr, _IONBF, 0);
}

}  // namespace

int run_tool(int argc, char* argv[]) {
    if (argc == 1) {
        std::printf("%s", USAGE_TEXT);
        return EXIT_DONE;
    }
    if (argc != 4) {
        std::printf("%s%s", WRONG_COUNT_TEXT, USAGE_TEXT);
        return EXIT_DONE;
    }
    const char* patch_name = argv[1];
    const char* updated_name = argv[2];
    const char* original_name = argv[3];

    std::FILE* updated_file = open_input(updated_name);
    if (updated_file == nullptr) {
        std::printf("Error opening updated file %s", updated_name);
        return EXIT_DONE;
    }
    std::FILE* original_file = open_input(original_name);
    if (original_file == nullptr) {
        std::printf("Error opening original file %s", original_name);
        std::fclose(updated_file);
        return EXIT_DONE;
    }
    const char* clash = is_same_regular_file(patch_name, updated_name)    ? "updated"
                        : is_same_regular_file(patch_name, original_name) ? "original"
                                                                          : nullptr;
    std::FILE* patch_file = clash != nullptr ? nullptr : std::fopen(patch_name, "wb");
    if (patch_file == nullptr) {
        if (clash != nullptr) {
            std::printf("Error opening patch file %s: it is the %s file", patch_name, clash);
        } else {
            std::printf("Error opening patch file %s", patch_name);
        }
        std::fclose(original_file);
        std::fclose(updated_file);
        return EXIT_DONE;
    }
    set_unbuffered(updated_file);
    set_unbuffered(original_file);
    set_unbuffered(patch_file);

    ScanInput updated{updated_file, updated_block};
    ScanInput original{original_file, original_block};
    PatchStream patch{patch_file, patch_block};
    ScanStatus status =
        write_header(patch) ? scan_files(updated, original, patch) : ScanStatus::patch_write_error;
    // What was made goes out even after a failure, but the status says it is incomplete.
    if (!flush_patch(patch) && status == ScanStatus::complete) {
        status = ScanStatus::patch_write_error;
    }
    if (std::fclose(patch_file) != 0 && status == ScanStatus::complete) {
        status = ScanStatus::patch_write_error;
    }
    std::fclose(updated_file);
    std::fclose(original_file);

    switch (status) {
        case ScanStatus::complete:
            return EXIT_DONE;
        case ScanStatus::updated_read_error:
            std::printf("Error reading updated file %s", updated_name);
            break;
        case ScanStatus::original_read_error:
            std::printf("Error reading original file %s", original_name);
            break;
        case ScanStatus::patch_write_error:
            std::printf("Error writing patch file %s", patch_name);
            break;
        case ScanStatus::offset_limit:
            std::printf("Error writing patch file %s: files differ beyond 4 GiB", patch_name);
            break;
    }
    return EXIT_INCOMPLETE;
}
