#include "app/run_tool.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/say.h"
#include "format/patch_layout.h"
#include "io/file_patch.h"
#include "platform/platform.h"

namespace {

constexpr const char* USAGE_TEXT =
    "Usage:\n  deltawright <patch file name> <updated file name> <original file name>\n\n"
    "Original will be compared to Update, and differences will be captured in the\n"
    "Patch file.\n";
constexpr const char* WRONG_COUNT_TEXT =
    "To few arguments provided.  Specify a patch file to create and the updated and original "
    "files for comparison.";

constexpr int EXIT_DONE = 0;    // a complete patch was written, or the usage text asked for
constexpr int EXIT_FAILED = 1;  // anything else: no new patch stands under the name

// Fixed storage, so that a run allocates nothing for its data and cannot fail to.
std::array<std::uint8_t, BLOCK_SIZE> updated_block;
std::array<std::uint8_t, BLOCK_SIZE> original_block;
std::array<std::uint8_t, BLOCK_SIZE> patch_block;

}  // namespace

int run_tool(int argc, char* argv[]) {
    if (argc == 1) {
        std::printf("%s", USAGE_TEXT);
        return EXIT_DONE;
    }
    if (argc != 4) {
        std::printf("%s%s", WRONG_COUNT_TEXT, USAGE_TEXT);
        return EXIT_FAILED;
    }
    install_signal_cleanup();
    // Names as they are shown: whatever could act on a terminal escaped.
    const std::string patch_shown = printable(argv[1]);
    const std::string updated_shown = printable(argv[2]);
    const std::string original_shown = printable(argv[3]);
    const char* patch_name = patch_shown.c_str();
    const char* updated_name = updated_shown.c_str();
    const char* original_name = original_shown.c_str();

    std::FILE* updated_file = open_input(argv[2]);
    if (updated_file == nullptr) {
        std::printf("Error opening updated file %s", updated_name);
        return EXIT_FAILED;
    }
    std::FILE* original_file = open_input(argv[3]);
    if (original_file == nullptr) {
        std::printf("Error opening original file %s", original_name);
        std::fclose(updated_file);
        return EXIT_FAILED;
    }
    // The patch file may be neither input (whatever names they were opened
    // by), and an existing file is replaced only by a patch if it is one:
    // empty, or beginning with the header. So swapped names lose nothing.
    const FileIdentity inputs[] = {identify(updated_file), identify(original_file)};
    std::array<std::uint8_t, PATCH_HEADER_SIZE> header{};
    for (std::size_t i = 0; i < header.size(); ++i) {
        header[i] = patch_header_byte(i);
    }
    const OutputGuard guard{inputs, 2, header.data(), header.size()};
    OutputFile patch_file;
    std::string reason;
    if (!open_output(argv[1], patch_file, reason, guard)) {
        if (patch_file.refusal == OutputRefusal::input) {
            std::printf("Error opening patch file %s: it is the %s file", patch_name,
                        patch_file.input == 0 ? "updated" : "original");
        } else if (patch_file.refusal == OutputRefusal::foreign) {
            std::printf("Error opening patch file %s: it is not a patch file", patch_name);
        } else {
            std::printf("Error opening patch file %s", patch_name);
        }
        std::fclose(original_file);
        std::fclose(updated_file);
        return EXIT_FAILED;
    }
    set_unbuffered(updated_file);
    set_unbuffered(original_file);
    set_unbuffered(patch_file.file);

    BlockInput updated{updated_file, updated_block};
    BlockInput original{original_file, original_block};
    FileOutput patch{patch_file.file};
    RunResult made = make_patch(updated, original, patch_block, patch);
    // Only a complete patch is put under the name; anything else is dropped.
    if (made.outcome == Outcome::done) {
        if (!commit_output(patch_file, reason)) {
            made = stream_failed(Outcome::write_error, Stream::output, 0);
        }
    } else {
        discard_output(patch_file);
    }
    std::fclose(updated_file);
    std::fclose(original_file);

    switch (made.outcome) {
        case Outcome::done:
            return EXIT_DONE;
        case Outcome::read_error:
            std::printf("Error reading %s file %s",
                        made.stream == Stream::updated ? "updated" : "original",
                        made.stream == Stream::updated ? updated_name : original_name);
            break;
        case Outcome::invalid:  // the offset limit, the maker's one error
            std::printf("Error writing patch file %s: files differ beyond 4 GiB", patch_name);
            break;
        default:
            std::printf("Error writing patch file %s", patch_name);
            break;
    }
    return EXIT_FAILED;
}
