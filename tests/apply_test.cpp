// The applier against the reference reader: round trips of real patches,
// corrupted patches, and failures of the files underneath, at input block and
// output buffer sizes small enough that records straddle every edge.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "test_support.h"

namespace {

constexpr std::size_t BLOCK_SIZES[] = {1, 2, 7, 61, 255, 256, INPUT_BLOCK_SIZE};

void expect_same_as_reference(const Bytes& patch, const Bytes& original, std::size_t block,
                              std::size_t out_buffer) {
    const ReferenceApply want = reference_apply(patch, original);
    const ApplyRun got = run_apply(patch, original, block, out_buffer);
    if (want.fault == PatchFault::none) {
        ASSERT_EQ(got.result.status, ApplyStatus::complete) << describe_fault(got.result.fault);
        ASSERT_EQ(got.output, want.output);
    } else {
        ASSERT_EQ(got.result.status, ApplyStatus::invalid_patch);
        ASSERT_EQ(got.result.fault, want.fault) << describe_fault(got.result.fault);
        ASSERT_EQ(got.result.fault_position, want.position);
    }
}

// Make, then apply: the updated file, or for a shorter one the updated file
// followed by the rest of the original, whatever the block sizes.
TEST(Apply, RoundTripsRebuildTheUpdatedFile) {
    std::mt19937_64 rng(91);
    for (int iteration = 0; iteration < 2000; ++iteration) {
        SCOPED_TRACE(iteration);
        const auto [updated, original] = random_pair(rng);
        const Bytes patch = run_scan(updated, original).patch;
        const std::size_t block = BLOCK_SIZES[pick(rng, std::size(BLOCK_SIZES))];
        const ApplyRun run = run_apply(patch, original, block, 1 + pick(rng, 600));
        ASSERT_EQ(run.result.status, ApplyStatus::complete) << describe_fault(run.result.fault);
        ASSERT_EQ(run.output, expected_apply_output(updated, original));
    }
}

// Real patches with bytes flipped, cut short or spliced: every rule gets
// broken at every kind of place, and the applier must accept exactly what the
// reference accepts, with the same output, or refuse with the same rule at
// the same record.
TEST(Apply, CorruptedPatchesAgreeWithTheReference) {
    std::mt19937_64 rng(17);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        SCOPED_TRACE(iteration);
        const auto [patch, original] = random_patch_case(rng, true);
        expect_same_as_reference(patch, original, BLOCK_SIZES[pick(rng, std::size(BLOCK_SIZES))],
                                 1 + pick(rng, 600));
    }
}

// Each rule at its boundary, one side accepted and the other refused, at
// every block size, so that heads and data also straddle block edges.
TEST(Apply, RulesAtTheirBoundaries) {
    struct Rec {
        std::uint8_t command;
        std::uint32_t offset;
        std::size_t length;
    };
    struct BoundaryCase {
        const char* name;
        std::vector<Rec> records;
        PatchFault fault;  // none: accepted
        std::size_t position;
    };
    const BoundaryCase cases[] = {
        {"ReplaceAdjacentToThePrevious", {{0, 0, 255}, {0, 255, 3}}, PatchFault::none, 0},
        {"ReplaceOverlappingByOne",
         {{0, 0, 255}, {0, 254, 3}},
         PatchFault::replace_out_of_order,
         321},
        {"ReplaceEndingAtTheOriginalsEnd",
         {{0, 700, 300 - 255}, {0, 745, 255}},
         PatchFault::none,
         0},
        {"ReplaceOnePastTheOriginalsEnd", {{0, 746, 255}}, PatchFault::replace_past_end, 60},
        {"ReplaceStartingAtTheOriginalsEnd", {{0, 1000, 1}}, PatchFault::replace_past_end, 60},
        {"AddThenReplace", {{1, 0, 1}, {0, 10, 1}}, PatchFault::replace_after_add, 67},
        {"AddWithOffset", {{0, 3, 1}, {1, 1, 9}}, PatchFault::add_offset, 67},
        {"LengthZero", {{0, 3, 1}, {0, 9, 0}}, PatchFault::zero_length, 67},
        {"CommandTwo", {{2, 0, 1}}, PatchFault::unknown_command, 60},
        // Refused when the original ends, never by reading ahead to the offset.
        {"ReplaceFarBeyondTheOriginal", {{0, 0xFFFFFF00, 255}}, PatchFault::replace_past_end, 60},
    };
    const Bytes original(1000, 'o');
    for (const BoundaryCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes patch = expected_header();
        for (const Rec& r : c.records) {
            append_expected_record(patch, r.command, r.offset, Bytes(r.length, 'x'));
        }
        ASSERT_EQ(reference_apply(patch, original).fault, c.fault);
        for (const std::size_t block : BLOCK_SIZES) {
            SCOPED_TRACE(block);
            const ApplyRun run = run_apply(patch, original, block, block);
            EXPECT_EQ(run.result.fault, c.fault) << describe_fault(run.result.fault);
            EXPECT_EQ(run.result.fault_position, c.position);
            expect_same_as_reference(patch, original, block, block);
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
        ApplyStatus status;
    };
    const FailureCase cases[] = {
        {"PatchFailsInHeader", 30, SIZE_MAX, false, ApplyStatus::patch_read_error},
        {"PatchFailsAmongReplaces", 5000, SIZE_MAX, false, ApplyStatus::patch_read_error},
        {"PatchFailsAmongAdds", patch.size() - 1000, SIZE_MAX, false,
         ApplyStatus::patch_read_error},
        {"OriginalFailsAmongReplaces", SIZE_MAX, 5000, false, ApplyStatus::original_read_error},
        {"OriginalFailsAfterTheReplaces", SIZE_MAX, 99990, false, ApplyStatus::original_read_error},
        {"OutputFails", SIZE_MAX, SIZE_MAX, true, ApplyStatus::output_write_error},
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
        Bytes p_block(1 + pick(rng, 4096)), o_block(1 + pick(rng, 4096)),
            out_block(1 + pick(rng, 4096));
        BlockInput patch_in{p_file, p_block};
        BlockInput original_in{o_file, o_block};
        BlockOutput output{sink.file, out_block};
        EXPECT_EQ(apply_patch(patch_in, original_in, output).status, c.status);
        close_sink(sink);
        std::fclose(p_file);
        std::fclose(o_file);
    }
}

}  // namespace
