// The program's applier (the library fed from files in blocks, the result
// built in the original's block): each rule at its boundary, and failures of
// the files underneath, at block sizes small enough that records straddle
// every edge. Real and corrupted patches at every size: stream_apply_test.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "test_support.h"

namespace {

constexpr std::size_t BLOCK_SIZES[] = {1, 2, 7, 61, 255, 256, BLOCK_SIZE};

// Each rule at its boundary, one side accepted and the other refused, at
// every block and piece size, so that heads and data also straddle edges.
TEST(Apply, RulesAtTheirBoundaries) {
    struct Rec {
        std::uint8_t command;
        std::uint32_t offset;
        std::size_t length;
    };
    struct BoundaryCase {
        const char* name;
        std::vector<Rec> records;
        dw_error fault;  // none: accepted
        std::size_t position;
        std::size_t cut = 0;  // bytes dropped from the patch's end
    };
    const BoundaryCase cases[] = {
        {"ReplaceAdjacentToThePrevious", {{0, 0, 255}, {0, 255, 3}}, DW_OK, 0},
        {"ReplaceOverlappingByOne", {{0, 0, 255}, {0, 254, 3}}, DW_ERROR_REPLACE_ORDER, 321},
        {"ReplaceEndingAtTheOriginalsEnd", {{0, 700, 300 - 255}, {0, 745, 255}}, DW_OK, 0},
        {"ReplaceOnePastTheOriginalsEnd", {{0, 746, 255}}, DW_ERROR_PAST_ORIGINAL, 60},
        {"ReplaceStartingAtTheOriginalsEnd", {{0, 1000, 1}}, DW_ERROR_PAST_ORIGINAL, 60},
        {"AddThenReplace", {{1, 0, 1}, {0, 10, 1}}, DW_ERROR_REPLACE_AFTER_ADD, 67},
        {"AddWithOffset", {{0, 3, 1}, {1, 1, 9}}, DW_ERROR_ADD_OFFSET, 67},
        {"LengthZero", {{0, 3, 1}, {0, 9, 0}}, DW_ERROR_ZERO_LENGTH, 67},
        {"CommandTwo", {{2, 0, 1}}, DW_ERROR_UNKNOWN_COMMAND, 60},
        // Refused when the original ends, never by reading ahead to the offset.
        {"ReplaceFarBeyondTheOriginal", {{0, 0xFFFFFF00, 255}}, DW_ERROR_PAST_ORIGINAL, 60},
        // Two rules broken: a record cut short is reported as cut short.
        {"ReplacePastTheEndAndCutShort", {{0, 990, 20}}, DW_ERROR_TRUNCATED, 60, 5},
        {"ReplaceFarBeyondAndCutShort", {{0, 0xFFFFFF00, 9}}, DW_ERROR_TRUNCATED, 60, 1},
    };
    const Bytes original(1000, 'o');
    for (const BoundaryCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes patch = expected_header();
        for (const Rec& r : c.records) {
            append_expected_record(patch, r.command, r.offset, Bytes(r.length, 'x'));
        }
        patch.resize(patch.size() - c.cut);
        ASSERT_EQ(reference_apply(patch, original).fault, c.fault);
        for (const std::size_t block : BLOCK_SIZES) {
            SCOPED_TRACE(block);
            const ApplyRun run = run_apply(patch, original, block);
            EXPECT_EQ(run.result.error, c.fault) << dw_error_text(run.result.error);
            EXPECT_EQ(run.result.position, c.position);
            if (c.fault == DW_OK) {
                EXPECT_EQ(run.result.outcome, Outcome::done);
                EXPECT_EQ(run.output, reference_apply(patch, original).output);
            }
            // The library's applier with every stream in pieces of that size.
            const ReferenceApply streamed = apply_in_pieces(
                patch, original, [&] { return block; }, block);
            EXPECT_EQ(streamed.fault, c.fault) << dw_error_text(streamed.fault);
            EXPECT_EQ(streamed.position, c.fault == DW_OK ? 0 : c.position);
            // The record reader given the original's size: the same code
            // and position.
            const ReaderRun read = read_in_pieces(patch, original, original.size(),
                                                  [&](std::size_t) { return block; });
            EXPECT_EQ(read.error, static_cast<dw_error>(c.fault));
            EXPECT_EQ(read.position, c.fault == DW_OK ? 0 : c.position);
        }
    }
}

// Failures of the files underneath are told apart from the end of a file and
// from a faulty patch, in every phase of a run.
TEST(Apply, FailuresOfTheFilesStopTheRun) {
    if (!FAILING_FILES) {
        GTEST_SKIP() << "no files that fail on demand here";
    }
    std::mt19937_64 rng(5);
    const Bytes original(100000, 'o');
    Bytes updated = original;
    for (std::size_t i = 0; i < updated.size(); i += 97) {
        updated[i] = 'u';
    }
    updated.resize(200000, 't');
    const Bytes patch = run_scan(updated, original).patch;
    struct FailureCase {
        const char* name;
        std::size_t patch_good, original_good;
        bool output_full;
        Outcome outcome;
        Stream stream;
    };
    const FailureCase cases[] = {
        {"PatchFailsInHeader", 30, SIZE_MAX, false, Outcome::read_error, Stream::patch},
        {"PatchFailsAmongReplaces", 5000, SIZE_MAX, false, Outcome::read_error, Stream::patch},
        {"PatchFailsAmongAdds", patch.size() - 1000, SIZE_MAX, false, Outcome::read_error,
         Stream::patch},
        {"OriginalFailsAmongReplaces", SIZE_MAX, 5000, false, Outcome::read_error,
         Stream::original},
        {"OriginalFailsAfterTheReplaces", SIZE_MAX, 99990, false, Outcome::read_error,
         Stream::original},
        {"OutputFails", SIZE_MAX, SIZE_MAX, true, Outcome::write_error, Stream::output},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        FailingInput p{patch, std::min(c.patch_good, patch.size())};
        FailingInput o{original, std::min(c.original_good, original.size())};
        std::FILE* p_file = open_failing(p);
        std::FILE* o_file = open_failing(o);
        Sink sink;
        open_sink(sink, c.output_full);
        ASSERT_TRUE(p_file != nullptr && o_file != nullptr && sink.file != nullptr);
        Bytes p_block(1 + pick(rng, 4096)), o_block(1 + pick(rng, 4096));
        BlockInput patch_in{p_file, p_block};
        BlockInput original_in{o_file, o_block};
        FileOutput output{sink.file};
        const RunResult r = apply_patch(patch_in, original_in, output);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.stream, c.stream);
        EXPECT_NE(r.system_error, 0);
        close_sink(sink);
        std::fclose(p_file);
        std::fclose(o_file);
    }
}

}  // namespace

namespace {

// --check over random pairs: a patch checks against its own updated file
// exactly when that file is at least as long as the original; a shorter one
// is told apart (the result goes on), and one byte changed at the first, a
// middle or the last position is found there. Sealed, an apply and a check
// each give the result and the digests of what they read and made.
TEST(Check, RandomPairsAndOneDifferingByte) {
    std::mt19937_64 rng(23);
    for (int iteration = 0; iteration < 600; ++iteration) {
        SCOPED_TRACE(iteration);
        const auto [updated, original] = random_pair(rng);
        const Bytes patch = run_scan(updated, original).patch;
        const std::size_t block = iteration % 2 == 0 ? 1 + pick(rng, 600) : BLOCK_SIZE;
        const RunResult same = run_check(updated, patch, original, block);
        const SealedRun applied = run_sealed_apply(patch, original, block);
        ASSERT_EQ(applied.result.outcome, Outcome::done);
        ASSERT_EQ(applied.output, expected_apply_output(updated, original));
        ASSERT_EQ(applied.digests, (std::vector<Bytes>{sha256_of(original), sha256_of(patch),
                                                       sha256_of(applied.output)}));
        if (updated.size() >= original.size()) {
            const SealedRun checked = run_sealed_check(updated, patch, original, block);
            ASSERT_EQ(checked.result.outcome, Outcome::done);
            ASSERT_EQ(checked.digests, (std::vector<Bytes>{sha256_of(original), sha256_of(patch),
                                                           sha256_of(updated)}));
        }
        if (updated.size() >= original.size()) {
            ASSERT_EQ(same.outcome, Outcome::done);
        } else {
            ASSERT_EQ(same.outcome, Outcome::result_longer);
            ASSERT_EQ(same.position, updated.size());
            // Read no further than needed to tell the original goes on.
            ASSERT_GT(same.original_size, same.position);
            ASSERT_LE(same.original_size, original.size());
        }
        if (updated.empty()) {
            continue;
        }
        for (const std::size_t at : {std::size_t{0}, updated.size() / 2, updated.size() - 1}) {
            Bytes changed = updated;
            changed[at] ^= 0x5A;
            const RunResult r = run_check(changed, patch, original, block);
            ASSERT_EQ(r.outcome, Outcome::differs) << "changed at " << at;
            ASSERT_EQ(r.position, at);
        }
        Bytes longer = updated;
        longer.push_back(7);
        if (updated.size() >= original.size()) {
            const RunResult r = run_check(longer, patch, original, block);
            ASSERT_EQ(r.outcome, Outcome::result_shorter);
            ASSERT_EQ(r.position, updated.size());
        }
    }
}

}  // namespace
