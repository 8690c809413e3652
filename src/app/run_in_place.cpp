#include "app/run_in_place.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <deltawright/deltawright.h>

#include "app/apply_support.h"
#include "app/manifest.h"
#include "app/progress.h"
#include "app/say.h"
#include "io/file_patch.h"
#include "io/in_place.h"
#include "platform/platform.h"

namespace {

// Fixed storage, as for a normal apply.
std::array<std::uint8_t, BLOCK_SIZE> patch_block;
std::array<std::uint8_t, BLOCK_SIZE> patch_spare;
std::array<std::uint8_t, BLOCK_SIZE> span_block;    // a span of the patch's data
std::array<std::uint8_t, BLOCK_SIZE> target_block;  // the target's bytes
std::array<std::uint8_t, BLOCK_SIZE> target_spare;

struct Run {
    const char* target_name;
    const char* patch_name;
    const char* manifest_name;
    std::FILE* patch_file;
    TargetFile& target;
    BlockDigests& digests;  // of the patch's blocks, kept on the checking pass
    Progress& progress;     // of the pass under way
    BlockHasher& blocks;    // the digests' thread (run.digests)
};

// The patch input at its start, for the checking pass: each block's digest
// is kept, on the digests' thread.
BlockInput first_reading(const Run& run) {
    BlockInput patch{run.patch_file, patch_block, patch_spare};
    patch.digest_worker = &run.blocks;
    patch.meter = &run.progress.meter;
    return patch;
}

// The patch input, at its start, for the writing pass: each block must be
// the one checked before any byte of it is used.
bool reread_patch(const Run& run, BlockInput& patch) {
    if (std::fseek(run.patch_file, 0, SEEK_SET) != 0) {
        say("cannot read patch file %s again: %s", run.patch_name, std::strerror(errno));
        return false;
    }
    drain_hasher(run.blocks);  // the first reading's digests are all kept
    patch = BlockInput{run.patch_file, patch_block, patch_spare};
    run.digests.checking = true;
    run.digests.next = 0;
    patch.digest_worker = &run.blocks;
    patch.meter = &run.progress.meter;
    return true;
}

// The names of the run's streams: the target is the original of its look.
StreamNames names(const Run& run) {
    return {nullptr, run.target_name, run.patch_name, nullptr, run.target_name};
}

// A failure of the writing pass (or of the resize after it).
int say_write_failure(const Run& run, const RunResult& w) {
    if (w.outcome == Outcome::write_error) {
        say("error writing %s: %s; it is partly updated: run the same command again",
            run.target_name, w.reason.c_str());
        return EXIT_TROUBLE;
    }
    if (w.outcome == Outcome::changed) {
        say("%s changed while %s was updated from it: only bytes of the patch as it was "
            "checked were written; run the same command again with the patch as it was",
            run.patch_name, run.target_name);
        return EXIT_TROUBLE;
    }
    return say_failure(w, names(run));
}

bool flush(const Run& run) {
    std::string reason;
    if (!flush_target(run.target, reason)) {
        say("error writing %s: %s", run.target_name, reason.c_str());
        return false;
    }
    return true;
}

int up_to_date(const Run& run) {
    if (!flush(run)) {  // an earlier run may have been stopped before its flush
        return EXIT_TROUBLE;
    }
    say("%s is already up to date with %s: nothing written", run.target_name, run.patch_name);
    return EXIT_APPLIED;
}

// Without a manifest: replace records only, checked at their positions.
int plain_in_place(const Run& run, bool force, std::uint64_t patch_size) {
    BlockInput patch = first_reading(run);
    begin_progress(run.progress, "checking (pass 1 of 2)", patch_size);
    const InPlaceCheck c = check_in_place(patch, run.target, target_block);
    if (c.run.outcome != Outcome::done) {
        return say_failure(c.run, names(run));
    }
    end_progress(run.progress);
    if (c.adds) {
        say("%s has add records: an update of %s in place that is cut short could not be resumed "
            "without knowing where the original ended; seal a manifest with deltawright-apply "
            "--check --seal MANIFEST UPDATED PATCH ORIGINAL and give it with --manifest",
            run.patch_name, run.target_name);
        return EXIT_TROUBLE;
    }
    std::uint64_t from = c.first_unpatched;
    if (force) {
        from = 0;
    } else if (c.patched_after != NO_POSITION) {
        say("%s does not fit %s: byte %" PRIu64 " already holds the patched value but byte %" PRIu64
            " before it does not, which no update in order leaves: it is another file, or lost "
            "writes in a power cut; --force applies it anyway",
            run.patch_name, run.target_name, c.patched_after, c.first_unpatched);
        return EXIT_INVALID_PATCH;
    } else if (from == NO_POSITION) {
        return up_to_date(run);
    } else if (from != c.first_replaced) {
        say("%s is partly updated, up to byte %" PRIu64 ": completing the update", run.target_name,
            from);
    }
    if (!reread_patch(run, patch)) {
        return EXIT_TROUBLE;
    }
    begin_progress(run.progress, "writing (pass 2 of 2)", patch_size);
    const RunResult w =
        write_in_place(patch, run.target, span_block, run.target.size, {from, 0, NO_POSITION});
    if (w.outcome != Outcome::done) {
        return say_write_failure(run, w);
    }
    if (!flush(run)) {
        return EXIT_TROUBLE;
    }
    end_progress(run.progress);
    return EXIT_APPLIED;
}

// A stream over the whole target, from its start; null after a message.
std::FILE* open_whole_target(const Run& run) {
    std::string reason;
    std::FILE* file = read_whole_target(run.target, reason);
    if (file == nullptr) {
        say("cannot read target %s: %s", run.target_name, reason.c_str());
    }
    return file;
}

// The size and SHA-256 of what `input` holds from where it stands; false,
// after a message naming WHAT file NAME, on a read error.
bool seal_of(BlockInput& input, const char* what, const char* name, FileSeal& seal) {
    dw_sha256 hash;
    dw_sha256_init(&hash);
    seal.size = 0;
    if (!hash_input(input, hash, seal.size)) {
        say_read_error(what, name, input);
        return false;
    }
    dw_sha256_final(&hash, seal.sha256);
    return true;
}

// The whole target's size and SHA-256, read from its start.
bool hash_target(const Run& run, FileSeal& seal) {
    std::FILE* file = open_whole_target(run);
    if (file == nullptr) {
        return false;
    }
    BlockInput input{file, target_block};
    input.meter = &run.progress.meter;
    const bool read = seal_of(input, "target", run.target_name, seal);
    std::fclose(file);
    return read;
}

// The first pass with a manifest: the target as it stands, and the result
// the patch would make of it, both hashed, nothing written.
struct SealedLook {
    RunResult result;
    FileSeal target;  // the whole target as it stands
    FileSeal patch;
    FileSeal made;  // the result the patch makes of the target's first bytes
    bool target_read = true;
};

SealedLook look_sealed(const Run& run, const Manifest& m, BlockInput& patch) {
    SealedLook look;
    std::FILE* file = open_whole_target(run);
    if (file == nullptr) {
        look.target_read = false;
        return look;
    }
    // The original's part of the target: beyond it lie add data, in part.
    BlockInput target{
        file, target_block, target_spare, {}, std::min(run.target.size, m.original.size)};
    target.meter = &run.progress.meter;
    // The patch's blocks' digests are kept by its stream's hasher.
    patch.digest_worker = nullptr;
    Sealing seal;
    seal.patch.blocks = &run.digests;
    start_sealing(seal);
    seal.result_limit = m.updated.size;
    FileOutput nowhere;
    look.result = apply_patch(patch, target, nowhere, &seal);
    if (look.result.outcome == Outcome::done) {
        target.limit = UINT64_MAX;
        target.ended = false;
        // The rest is read into blocks the result's hasher may still hold.
        wait_hasher(seal.result, target_block.data());
        wait_hasher(seal.result, target_spare.data());
        target.buffer = target_block;
        look.target_read = hash_input(target, seal.original);
        if (!look.target_read) {
            say_read_error("target", run.target_name, target);
        }
    } else if (look.result.outcome == Outcome::read_error &&
               look.result.stream == Stream::original) {
        say_failure(look.result, names(run));
        look.target_read = false;
    }
    finish_sealing(seal, look.target.sha256, look.patch.sha256, look.made.sha256);
    look.target.size = seal.original.size;
    look.patch.size = seal.patch.size;
    look.made.size = seal.result.size;
    std::fclose(file);
    return look;
}

bool same(const FileSeal& a, const FileSeal& b) {
    return a.size == b.size && std::memcmp(a.sha256, b.sha256, DW_SHA256_SIZE) == 0;
}

// The whole patch read again and checked against the manifest, for a
// refusal that must first rule out the patch: 0, or a status after a
// message.
int check_patch_first(const Run& run, const Manifest& m) {
    BlockInput patch{run.patch_file, patch_block};
    FileSeal got;
    if (std::fseek(run.patch_file, 0, SEEK_SET) != 0) {
        say("error reading patch file %s: %s", run.patch_name, std::strerror(errno));
        return EXIT_TROUBLE;
    }
    if (!seal_of(patch, "patch", run.patch_name, got)) {
        return EXIT_TROUBLE;
    }
    return matches_seal("patch", run.patch_name, run.manifest_name, m.patch, got.size, got.sha256)
               ? EXIT_APPLIED
               : EXIT_INVALID_PATCH;
}

// A target shorter than the original: an update whose updated file is
// shorter cuts it last, so it is complete, or it is another file.
int shorter_than_original(const Run& run, const Manifest& m) {
    FileSeal now;
    if (!hash_target(run, now)) {
        return EXIT_TROUBLE;
    }
    if (same(now, m.updated)) {
        return up_to_date(run);
    }
    say("target %s does not match %s: it is shorter than the original (%" PRIu64
        " bytes, the original has %" PRIu64
        ") but not the updated file (SHA-256 %s, the "
        "manifest says %" PRIu64 " bytes and %s)",
        run.target_name, run.manifest_name, now.size, m.original.size,
        hex_digest(now.sha256).c_str(), m.updated.size, hex_digest(m.updated.sha256).c_str());
    return EXIT_INVALID_PATCH;
}

// The size, said as a mismatch after the update.
int say_lost_size(const Run& run, std::uint64_t now, std::uint64_t updated) {
    say("target %s does not match %s after the update: %" PRIu64
        " bytes, the manifest says %" PRIu64
        "; something else wrote to it, or the storage lost writes",
        run.target_name, run.manifest_name, now, updated);
    return EXIT_TROUBLE;
}

// The last pass, by the whole target's digest: after the flush, the target
// must be the updated file.
int verify_whole(const Run& run, const Manifest& m) {
    begin_progress(run.progress, "verifying (pass 3 of 3)", m.updated.size);
    FileSeal now;
    if (!hash_target(run, now)) {
        return EXIT_TROUBLE;
    }
    if (now.size != m.updated.size) {
        return say_lost_size(run, now.size, m.updated.size);
    }
    if (!same(now, m.updated)) {
        say("target %s does not match %s after the update: its SHA-256 is %s, the manifest says "
            "%s; something else wrote to it, or the storage lost writes",
            run.target_name, run.manifest_name, hex_digest(now.sha256).c_str(),
            hex_digest(m.updated.sha256).c_str());
        return EXIT_TROUBLE;
    }
    end_progress(run.progress);
    return EXIT_APPLIED;
}

// With a manifest: any state an interrupted update leaves is completed.
// What is wrong is said in the order the checks run: the patch first.
int sealed_in_place(const Run& run, const Manifest& m) {
    const std::uint64_t size = run.target.size;
    const std::uint64_t original = m.original.size;
    const std::uint64_t updated = m.updated.size;
    const bool size_fits =
        size >= std::min(original, updated) && size <= std::max(original, updated);
    if (!size_fits || size < original || (run.target.device && updated != size)) {
        if (const int status = check_patch_first(run, m); status != EXIT_APPLIED) {
            return status;
        }
    }
    if (!size_fits) {
        say("target %s does not match %s: %" PRIu64 " bytes; the original has %" PRIu64
            " and the updated file %" PRIu64 ", and an update cut short leaves a size between them",
            run.target_name, run.manifest_name, size, original, updated);
        return EXIT_INVALID_PATCH;
    }
    if (run.target.device && updated != size) {
        say("cannot update %s in place: it is a block device of %" PRIu64
            " bytes and the updated file has %" PRIu64,
            run.target_name, size, updated);
        return EXIT_TROUBLE;
    }
    if (size < original) {
        return shorter_than_original(run, m);
    }
    BlockInput patch = first_reading(run);
    begin_progress(run.progress, "checking (pass 1 of 3)", total_of(m.patch.size, size));
    const SealedLook look = look_sealed(run, m, patch);
    if (!look.target_read) {
        return EXIT_TROUBLE;
    }
    if (look.result.outcome == Outcome::done &&
        !matches_seal("patch", run.patch_name, run.manifest_name, m.patch, look.patch.size,
                      look.patch.sha256)) {
        return EXIT_INVALID_PATCH;
    }
    if (look.result.outcome == Outcome::invalid) {
        // Read only in part: the whole of it against the manifest first.
        if (const int status = check_patch_first(run, m); status != EXIT_APPLIED) {
            return status;
        }
    }
    if (look.result.outcome != Outcome::done) {
        return say_failure(look.result, names(run));
    }
    end_progress(run.progress);
    if (same(look.target, m.updated)) {
        return up_to_date(run);
    }
    if (!same(look.made, m.updated)) {
        say("target %s does not match %s: it is not the original, the updated file, or an "
            "update cut short (the result would have %" PRIu64
            " bytes and SHA-256 %s; the "
            "manifest says %" PRIu64 " and %s)",
            run.target_name, run.manifest_name, look.made.size,
            hex_digest(look.made.sha256).c_str(), updated, hex_digest(m.updated.sha256).c_str());
        return EXIT_INVALID_PATCH;
    }
    if (!same(look.target, m.original)) {
        say("%s is partly updated: completing the update", run.target_name);
    }
    if (!reread_patch(run, patch)) {
        return EXIT_TROUBLE;
    }
    // Nothing at or beyond the updated size is written: an updated file
    // shorter than the original is cut last, so every state before the cut
    // still has the original's size.
    begin_progress(run.progress, "writing (pass 2 of 3)", m.patch.size);
    const RunResult w =
        write_in_place(patch, run.target, span_block, original, {0, original, updated});
    if (w.outcome != Outcome::done) {
        return say_write_failure(run, w);
    }
    // A block device already has the updated size (checked above).
    RunResult resized = stream_failed(Outcome::write_error, Stream::target, 0);
    if (!run.target.device && (updated != size || updated > original) &&
        !resize_target(run.target, updated, resized.reason)) {
        return say_write_failure(run, resized);
    }
    if (!flush(run)) {
        return EXIT_TROUBLE;
    }
    end_progress(run.progress);
    // The first pass read every byte of the target and found that it, with
    // the patch's data written in this range, is the updated file (its
    // digest). So what remains to be shown is that the writes hold: every
    // byte written, read back after the flush, and the size. Bytes outside
    // the spans were not written, and are as the first pass read them.
    // Where the patch is at least as large as the result, hashing the whole
    // target is cheaper than reading the patch again, and shows more.
    if (m.patch.size >= updated) {
        return verify_whole(run, m);
    }
    begin_progress(run.progress, "verifying (pass 3 of 3)", m.patch.size);
    if (!reread_patch(run, patch)) {
        return EXIT_TROUBLE;
    }
    const RunResult v =
        check_written(patch, run.target, target_block, original, {0, original, updated});
    std::uint64_t now = 0;
    RunResult sized = stream_failed(Outcome::read_error, Stream::target, 0);
    if (v.outcome == Outcome::done && !target_size(run.target, now, sized.reason)) {
        return say_failure(sized, names(run));
    }
    if (v.outcome == Outcome::differs) {
        say("target %s does not match %s after the update: byte %" PRIu64
            " does not hold what was written; something else wrote to it, or the storage lost "
            "writes",
            run.target_name, run.manifest_name, v.position);
        return EXIT_TROUBLE;
    }
    if (v.outcome == Outcome::done && now != updated) {
        return say_lost_size(run, now, updated);
    }
    if (v.outcome != Outcome::done) {
        return say_write_failure(run, v);
    }
    end_progress(run.progress);
    return EXIT_APPLIED;
}

}  // namespace

int run_in_place(const char* target_name, const char* patch_name, const char* manifest_name,
                 const Trust& trust, bool force) {
    if (is_standard(patch_name)) {
        say("cannot apply a patch in place from standard input: it is read twice, so it must be "
            "a regular file");
        return EXIT_TROUBLE;
    }
    if (is_standard(target_name)) {
        say("cannot update standard output in place: the target must be a regular file or a "
            "block device");
        return EXIT_TROUBLE;
    }
    Manifest manifest;
    if (manifest_name != nullptr) {
        const int status = read_manifest(manifest_name, trust, manifest);
        if (status != EXIT_APPLIED) {
            return status;
        }
    }
    std::FILE* patch_file = open_named_input("patch", patch_name);
    if (patch_file == nullptr) {
        return EXIT_TROUBLE;
    }
    if (!is_regular_input(patch_file)) {
        say("cannot apply %s in place: the patch is read twice, so it must be a regular file, "
            "not a pipe or a device",
            patch_name);
        std::fclose(patch_file);
        return EXIT_TROUBLE;
    }
    TargetFile target;
    std::string reason;
    if (!open_target(target_name, target, reason)) {
        say("cannot open target %s: %s", target_name, reason.c_str());
        std::fclose(patch_file);
        return EXIT_TROUBLE;
    }
    // Compared as open files, whatever names they were opened by.
    if (same_file(identify_target(target), identify(patch_file))) {
        say("cannot update %s in place: it is the patch file", target_name);
        close_target(target);
        std::fclose(patch_file);
        return EXIT_TROUBLE;
    }
    // Filled through `run` by the checking pass (cppcheck does not follow
    // the reference).
    // cppcheck-suppress unassignedVariable
    BlockDigests digests;
    Progress progress;
    BlockHasher blocks;
    blocks.whole = false;
    blocks.blocks = &digests;
    start_hasher(blocks);
    const Run run{target_name, patch_name, manifest_name, patch_file,
                  target,      digests,    progress,      blocks};
    std::uint64_t patch_size = PROGRESS_TOTAL_UNKNOWN;
    regular_input_size(patch_file, patch_size);
    const int status = manifest_name != nullptr ? sealed_in_place(run, manifest)
                                                : plain_in_place(run, force, patch_size);
    finish_hasher(blocks, nullptr);
    close_target(target);
    std::fclose(patch_file);
    return status;
}
