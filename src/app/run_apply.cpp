#include "app/run_apply.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <deltawright/deltawright.h>

#include "app/apply_support.h"
#include "app/list_patch.h"
#include "app/manifest.h"
#include "app/progress.h"
#include "app/run_in_place.h"
#include "app/say.h"
#include "app/signed_manifest.h"
#include "io/file_patch.h"
#include "platform/platform.h"

namespace {

// Fixed storage: the run allocates nothing for its data, whatever the patch says.
std::array<std::uint8_t, BLOCK_SIZE> patch_block;
std::array<std::uint8_t, BLOCK_SIZE> original_block;  // the result is built in it
std::array<std::uint8_t, BLOCK_SIZE> updated_block;   // --check only
// A sealed run reads each input into two blocks in turn, so that one is
// hashed on another thread while the other is filled.
std::array<std::uint8_t, BLOCK_SIZE> patch_spare;
std::array<std::uint8_t, BLOCK_SIZE> original_spare;
std::array<std::uint8_t, BLOCK_SIZE> original_third;  // read ahead by a sealed apply
std::array<std::uint8_t, BLOCK_SIZE> updated_spare;

constexpr const char* HELP_TEXT =
    "usage: deltawright-apply [--force] [--manifest MANIFEST [SIGNED]] OUTPUT PATCH ORIGINAL\n"
    "       deltawright-apply --in-place [--manifest MANIFEST [SIGNED]] [--force] TARGET PATCH\n"
    "       deltawright-apply --check [--seal MANIFEST] UPDATED PATCH ORIGINAL\n"
    "       deltawright-apply --list [--json] PATCH\n"
    "       deltawright-apply --help | --version\n"
    "SIGNED is --trust KEY [--trust KEY]... [--signature SIG]\n"
    "\n"
    "Rebuilds the updated file from PATCH and ORIGINAL and writes it to OUTPUT.\n"
    "\n"
    "  --force     apply even where a replaced byte already holds the patched\n"
    "              value (the patch is already applied, or was made from\n"
    "              another original)\n"
    "  --in-place  update TARGET where it lies: check the whole patch against\n"
    "              it first, then write only the bytes the records name; run\n"
    "              the same command again after an interruption (add records\n"
    "              need --manifest)\n"
    "  --check     write nothing; exit 0 exactly when applying PATCH to\n"
    "              ORIGINAL gives UPDATED byte for byte\n"
    "  --seal MANIFEST\n"
    "              with --check, when it passes: write MANIFEST, the sizes and\n"
    "              SHA-256 digests of the three files\n"
    "  --manifest MANIFEST\n"
    "              apply only to the original MANIFEST names, rebuild exactly\n"
    "              the updated file it names (a shorter one too), and check\n"
    "              the result's digest before it replaces OUTPUT; with\n"
    "              --in-place: TARGET may also be the updated file or an\n"
    "              update cut short, and add records are taken\n"
    "  --trust KEY with --manifest: apply only when MANIFEST is signed with\n"
    "              one of the minisign public keys given, and verify that\n"
    "              before any other file is opened\n"
    "  --signature SIG\n"
    "              MANIFEST's minisign signature (default: MANIFEST.minisig)\n"
    "  --progress  show progress on standard error, as lines when it is not a\n"
    "              terminal (on a terminal it is shown unasked after a second)\n"
    "  --no-progress, -q\n"
    "              never show progress\n"
    "  --list      print what PATCH does: whether it is valid, its records,\n"
    "              the bytes it replaces and adds, the shortest original it\n"
    "              applies to; status 0 for a valid patch, 1 for an invalid one\n"
    "  --json      with --list: JSON Lines, one object per line\n"
    "  --help      print this help and exit\n"
    "  --version   print the version and exit\n"
    "  --          end of the options\n"
    "\n"
    "A name of - is standard input (for one of the inputs) or standard output\n"
    "(for OUTPUT). Exit status: 0 done, 1 an invalid patch, a refused original\n"
    "or a failed check, 2 usage, files, reads and writes.\n";

struct CommandLine {
    const char* seal = nullptr;
    const char* manifest = nullptr;
    Trust trust;
    ProgressChoice progress = ProgressChoice::unasked;
    bool force = false;
    bool check = false;
    bool in_place = false;
    bool list = false;
    bool json = false;
    bool help = false;
    bool version = false;
    const char* operands[3] = {};
    int operand_count = 0;
};

// Options anywhere before `--`, operands in order. False (after a message)
// on an unknown option.
bool parse(int argc, char* argv[], CommandLine& line) {
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (options &&
                   (std::strcmp(arg, "--seal") == 0 || std::strcmp(arg, "--manifest") == 0)) {
            if (i + 1 == argc) {
                say("option %s needs a manifest file name", arg);
                return false;
            }
            (arg[2] == 's' ? line.seal : line.manifest) = argv[++i];
        } else if (options && std::strcmp(arg, "--trust") == 0) {
            if (i + 1 == argc) {
                say("option --trust needs a minisign public key file name");
                return false;
            }
            line.trust.keys.push_back(argv[++i]);
        } else if (options &&
                   (std::strcmp(arg, "--progress") == 0 || std::strcmp(arg, "--no-progress") == 0 ||
                    std::strcmp(arg, "-q") == 0)) {
            line.progress = arg[2] == 'p' ? ProgressChoice::asked : ProgressChoice::never;
        } else if (options && std::strcmp(arg, "--signature") == 0) {
            if (i + 1 == argc) {
                say("option --signature needs a minisign signature file name");
                return false;
            }
            line.trust.signature = argv[++i];
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            bool* flag = std::strcmp(arg, "--force") == 0      ? &line.force
                         : std::strcmp(arg, "--check") == 0    ? &line.check
                         : std::strcmp(arg, "--in-place") == 0 ? &line.in_place
                         : std::strcmp(arg, "--list") == 0     ? &line.list
                         : std::strcmp(arg, "--json") == 0     ? &line.json
                         : std::strcmp(arg, "--help") == 0     ? &line.help
                         : std::strcmp(arg, "--version") == 0  ? &line.version
                                                               : nullptr;
            if (flag == nullptr) {
                say("unknown option %s (deltawright-apply --help lists the options)", arg);
                return false;
            }
            *flag = true;
        } else {
            if (line.operand_count < 3) {
                line.operands[line.operand_count] = arg;
            }
            ++line.operand_count;
        }
    }
    return true;
}

// The sizes of the inputs together, if all are regular files.
std::uint64_t input_sizes(std::FILE* const* files, int count) {
    std::uint64_t total = 0;
    for (int i = 0; i < count; ++i) {
        std::uint64_t size = 0;
        if (!regular_input_size(files[i], size)) {
            return PROGRESS_TOTAL_UNKNOWN;
        }
        total = total_of(total, size);
    }
    return total;
}

// The origin check's verdict on a complete result: 0, or 1 after a message.
int refuse_origin(const RunResult& result, const char* patch_name, const char* original_name) {
    if (result.first_unchanged == UINT64_MAX) {
        return EXIT_APPLIED;
    }
    if (!result.any_changed) {
        say("%s is already applied to %s: every replaced byte already holds the patched value "
            "(the first at byte %" PRIu64 "); --force applies it anyway",
            patch_name, original_name, result.first_unchanged);
    } else {
        say("%s was made from another original than %s: byte %" PRIu64
            " already holds the patched value; --force applies it anyway",
            patch_name, original_name, result.first_unchanged);
    }
    return EXIT_INVALID_PATCH;
}

// The digests of a finished sealed run, in the manifest's shape.
// Ends the hashers: must follow every start_sealing.
Manifest sealed(Sealing& seal) {
    Manifest m;
    finish_sealing(seal, m.original.sha256, m.patch.sha256, m.updated.sha256);
    m.original.size = seal.original.size;
    m.patch.size = seal.patch.size;
    m.updated.size = seal.result.size;
    return m;
}

bool matches_manifest(const Manifest& got, const Manifest& m, const char* manifest_name,
                      const char* patch_name, const char* original_name) {
    return matches_seal("original", original_name, manifest_name, m.original, got.original.size,
                        got.original.sha256) &&
           matches_seal("patch", patch_name, manifest_name, m.patch, got.patch.size,
                        got.patch.sha256) &&
           matches_seal("the result of", patch_name, manifest_name, m.updated, got.updated.size,
                        got.updated.sha256);
}

// Opens the manifest a passing check will write, as any output is written,
// before the check reads anything: a name that cannot be written is
// refused at once. It may not be one of the inputs.
bool open_seal(const char* name, const FileIdentity inputs[3], OutputFile& out) {
    const OutputGuard guard{inputs, 3};
    std::string reason;
    const bool opened = is_standard(name) ? open_standard_output(out, reason, guard)
                                          : open_output(name, out, reason, guard);
    if (!opened) {
        say_output_refused(name, out, reason, INPUT_ROLES_CHECK);
    }
    return opened;
}

// Writes a passing check's manifest and puts it under its name.
int write_manifest(const char* name, const Manifest& m, OutputFile& out) {
    const std::string text = format_manifest(m);
    std::string reason;
    if (std::fwrite(text.data(), 1, text.size(), out.file) != text.size()) {
        say("error writing %s: %s", name, std::strerror(errno));
        discard_output(out);
        return EXIT_TROUBLE;
    }
    if (!commit_output(out, reason)) {
        say("error writing %s: %s", name, reason.c_str());
        return EXIT_TROUBLE;
    }
    return EXIT_APPLIED;
}

int run_check(const char* updated_name, const char* patch_name, const char* original_name,
              const char* seal_name) {
    std::FILE* files[3] = {};
    const char* names[3] = {updated_name, patch_name, original_name};
    const char* whats[3] = {"updated", "patch", "original"};
    for (int i = 0; i < 3; ++i) {
        files[i] = open_named_input(whats[i], names[i]);
        if (files[i] == nullptr) {
            for (int k = 0; k < i; ++k) {
                std::fclose(files[k]);
            }
            return EXIT_TROUBLE;
        }
    }
    const FileIdentity inputs[3] = {identify(files[0]), identify(files[1]), identify(files[2])};
    OutputFile seal_file;
    if (seal_name != nullptr && !open_seal(seal_name, inputs, seal_file)) {
        for (std::FILE* f : files) {
            std::fclose(f);
        }
        return EXIT_TROUBLE;
    }
    BlockInput updated{files[0], updated_block, updated_spare};
    BlockInput patch{files[1], patch_block, patch_spare};
    BlockInput original{files[2], original_block, original_spare};
    Progress progress;
    for (BlockInput* input : {&updated, &patch, &original}) {
        input->meter = &progress.meter;
    }
    begin_progress(progress, "checking", input_sizes(files, 3));
    // Hashed only to seal: a plain check reads an endless original no
    // further than its answer needs.
    Sealing seal;
    Sealing* sealing = seal_name != nullptr ? &seal : nullptr;
    if (sealing != nullptr) {
        start_sealing(seal);
    }
    const RunResult r = check_patch(updated, patch, original, sealing);
    const Manifest m = sealing != nullptr ? sealed(seal) : Manifest{};
    for (std::FILE* f : files) {
        std::fclose(f);
    }
    const bool passed = r.outcome == Outcome::done ||
                        (r.outcome == Outcome::result_longer && r.original_size > r.position);
    if (passed) {
        end_progress(progress);
    }
    if (seal_name != nullptr && passed) {
        // The manifest holds the updated file's length: a shorter one is
        // rebuilt exactly with it.
        return write_manifest(seal_name, m, seal_file);
    }
    if (seal_name != nullptr) {
        discard_output(seal_file);
    }
    switch (r.outcome) {
        case Outcome::done:
            return EXIT_APPLIED;
        case Outcome::differs:
            say("%s applied to %s differs from %s at byte %" PRIu64, patch_name, original_name,
                updated_name, r.position);
            return EXIT_INVALID_PATCH;
        case Outcome::result_shorter:
            say("%s applied to %s ends at byte %" PRIu64 ", before the end of %s", patch_name,
                original_name, r.position, updated_name);
            return EXIT_INVALID_PATCH;
        case Outcome::result_longer:
            if (r.original_size > r.position) {
                say("%s is shorter than %s and cannot be rebuilt from the patch alone: the "
                    "result goes on with the original's last bytes after byte %" PRIu64
                    "; --check --seal MANIFEST records its length",
                    updated_name, original_name, r.position);
            } else {
                say("%s applied to %s goes on past the end of %s at byte %" PRIu64, patch_name,
                    original_name, updated_name, r.position);
            }
            return EXIT_INVALID_PATCH;
        default:
            return say_failure(r, {updated_name, original_name, patch_name});
    }
}

}  // namespace

int run_apply(int argc, char* argv[]) {
    CommandLine line;
    if (!parse(argc, argv, line)) {
        return EXIT_TROUBLE;
    }
    choose_progress(line.progress);
    if (line.help) {
        std::fputs(HELP_TEXT, stdout);
        return printed(EXIT_APPLIED);
    }
    if (line.version) {
        std::printf("deltawright-apply %s\n", DW_VERSION_STRING);
        return printed(EXIT_APPLIED);
    }
    // One mode at a time, and each option with a mode it serves.
    const char* modes[3] = {};
    int mode_count = 0;
    for (const auto& [on, name] :
         {std::pair{line.check, "--check"}, std::pair{line.in_place, "--in-place"},
          std::pair{line.list, "--list"}}) {
        if (on) {
            modes[mode_count++] = name;
        }
    }
    if (mode_count > 1) {
        say("%s and %s exclude each other: one mode at a time", modes[0], modes[1]);
        return EXIT_TROUBLE;
    }
    const bool signed_options = !line.trust.keys.empty() || line.trust.signature != nullptr;
    if (signed_options && (line.check || line.list)) {
        say("--trust and --signature verify a manifest to apply: %s reads none",
            line.check ? "--check" : "--list");
        return EXIT_TROUBLE;
    }
    if (line.trust.signature != nullptr && line.trust.keys.empty()) {
        say("--signature needs --trust KEY: a signature is verified with the keys trusted");
        return EXIT_TROUBLE;
    }
    if (!line.trust.keys.empty() && line.manifest == nullptr) {
        say("--trust needs --manifest MANIFEST: the keys verify the manifest's signature");
        return EXIT_TROUBLE;
    }
    if (line.check && line.force) {
        say("--force goes with applying a patch: --check applies nothing to keep or refuse");
        return EXIT_TROUBLE;
    }
    if (line.list) {
        if (line.operand_count != 1 || line.check || line.in_place || line.seal != nullptr ||
            line.manifest != nullptr || line.force) {
            say("usage: deltawright-apply --list [--json] PATCH");
            return EXIT_TROUBLE;
        }
        std::FILE* file = open_named_input("patch", line.operands[0]);
        if (file == nullptr) {
            return EXIT_TROUBLE;
        }
        const int status = list_patch(file, line.operands[0], line.json);
        std::fclose(file);
        return status;
    }
    if (line.json) {
        say("--json goes with --list");
        return EXIT_TROUBLE;
    }
    // The files a signed manifest brings: each may be `-` too.
    const int side_inputs =
        (line.manifest != nullptr && is_standard(line.manifest) ? 1 : 0) +
        (line.trust.signature != nullptr && is_standard(line.trust.signature) ? 1 : 0) +
        static_cast<int>(
            std::count_if(line.trust.keys.begin(), line.trust.keys.end(), is_standard));
    if (side_inputs > 1) {
        say("standard input (-) can be only one of the inputs");
        return EXIT_TROUBLE;
    }
    if (line.in_place) {
        if (line.operand_count != 2 || line.check || line.seal != nullptr) {
            say("usage: deltawright-apply --in-place [--manifest MANIFEST] [--force] TARGET PATCH");
            return EXIT_TROUBLE;
        }
        return run_in_place(line.operands[0], line.operands[1], line.manifest, line.trust,
                            line.force);
    }
    if (line.operand_count != 3) {
        say(line.check ? "usage: deltawright-apply --check UPDATED PATCH ORIGINAL"
                       : "usage: deltawright-apply OUTPUT PATCH ORIGINAL");
        return EXIT_TROUBLE;
    }
    if ((line.seal != nullptr && !line.check) || (line.manifest != nullptr && line.check)) {
        say(line.check ? "--manifest applies a patch; --check seals one with --seal"
                       : "--seal needs --check: a manifest is sealed after a passing check");
        return EXIT_TROUBLE;
    }
    const char* first = line.operands[0];
    const char* patch_name = line.operands[1];
    const char* original_name = line.operands[2];
    const int from_standard_input = side_inputs + (line.check && is_standard(first) ? 1 : 0) +
                                    (is_standard(patch_name) ? 1 : 0) +
                                    (is_standard(original_name) ? 1 : 0);
    if (from_standard_input > 1) {
        say("standard input (-) can be only one of the inputs");
        return EXIT_TROUBLE;
    }
    if (line.check) {
        return run_check(first, patch_name, original_name, line.seal);
    }
    Manifest manifest;
    if (line.manifest != nullptr) {
        const int status = read_manifest(line.manifest, line.trust, manifest);
        if (status != EXIT_APPLIED) {
            return status;
        }
    }
    const char* output_name = first;
    install_signal_cleanup();

    std::FILE* patch_file = open_named_input("patch", patch_name);
    if (patch_file == nullptr) {
        return EXIT_TROUBLE;
    }
    std::FILE* original_file = open_named_input("original", original_name);
    if (original_file == nullptr) {
        std::fclose(patch_file);
        return EXIT_TROUBLE;
    }
    // OUTPUT may not be an input, whatever names they were opened by (`-`
    // included): compared as open files.
    const FileIdentity inputs[] = {identify(patch_file), identify(original_file)};
    const OutputGuard guard{inputs, 2};
    OutputFile output_file;
    std::string reason;
    const bool opened = is_standard(output_name)
                            ? open_standard_output(output_file, reason, guard)
                            : open_output(output_name, output_file, reason, guard);
    if (!opened) {
        say_output_refused(output_name, output_file, reason, INPUT_ROLES_APPLY);
        std::fclose(original_file);
        std::fclose(patch_file);
        return EXIT_TROUBLE;
    }
    set_unbuffered(output_file.file);

    BlockInput patch{patch_file, patch_block};
    BlockInput original{original_file, original_block};
    FileOutput output{output_file.file};
    output.write_behind = output_file.kind != OutputKind::direct;  // a regular file, flushed
    Progress progress;
    patch.meter = &progress.meter;
    original.meter = &progress.meter;
    std::FILE* inputs_read[] = {patch_file, original_file};
    begin_progress(progress, "applying",
                   line.manifest != nullptr ? total_of(manifest.patch.size, manifest.original.size)
                                            : input_sizes(inputs_read, 2));
    Sealing seal;
    const bool sealing = line.manifest != nullptr;
    if (sealing) {
        start_sealing(seal);
        seal.result_limit = manifest.updated.size;
        patch.spare = patch_spare;
        original.spare = original_spare;
        original.third = original_third;
        patch.limit = seal_limit(manifest.patch.size);
        original.limit = seal_limit(manifest.original.size);
    }
    const RunResult result = apply_patch(patch, original, output, sealing ? &seal : nullptr);
    Manifest got;
    if (sealing) {
        got = sealed(seal);
    }
    std::fclose(original_file);
    std::fclose(patch_file);
    const bool past_seal = sealing && (got.original.size > manifest.original.size ||
                                       got.patch.size > manifest.patch.size);
    if (result.outcome != Outcome::done && !past_seal) {
        discard_output(output_file);
        return say_failure(result, {nullptr, original_name, patch_name, output_name});
    }
    if (sealing && !matches_manifest(got, manifest, line.manifest, patch_name, original_name)) {
        discard_output(output_file);
        return EXIT_INVALID_PATCH;
    }
    if (!line.force && result.first_unchanged != UINT64_MAX) {
        discard_output(output_file);
        return refuse_origin(result, patch_name, original_name);
    }
    if (!commit_output(output_file, reason)) {
        say("error writing %s: %s", output_name, reason.c_str());
        return EXIT_TROUBLE;
    }
    end_progress(progress);
    return EXIT_APPLIED;
}
