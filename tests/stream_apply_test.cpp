// The public streaming applier: patch, original and output in pieces of
// every size must give the reference's result, or its fault at its position;
// and so must the program's applier over files in blocks, which shares the
// original's block with the output.
#include <deltawright/deltawright.h>
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

void expect_same(const ReferenceApply& got, const ReferenceApply& want) {
    EXPECT_NE(got.position, SIZE_MAX) << "the applier made no progress";
    EXPECT_EQ(got.fault, want.fault) << describe_fault(got.fault);
    EXPECT_EQ(got.position, want.position);
    if (want.fault == PatchFault::none) {
        EXPECT_EQ(got.output, want.output);
    }
}

TEST(StreamApply, RealAndCorruptedPatchesAtAnyPieceSize) {
    std::mt19937_64 rng(31);
    for (int iteration = 0; iteration < 1000; ++iteration) {
        SCOPED_TRACE(iteration);
        const auto [patch, original] = random_patch_case(rng, iteration % 3 != 0);
        const ReferenceApply want = reference_apply(patch, original);
        for (const std::size_t size :
             {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{255}, std::size_t{256},
              patch.size() + original.size() + 1}) {
            SCOPED_TRACE(size);
            expect_same(apply_in_pieces(
                            patch, original, [&] { return size; }, size),
                        want);
        }
        SCOPED_TRACE("random pieces");
        expect_same(apply_in_pieces(
                        patch, original, [&] { return 1 + pick(rng, 600); }, 1 + pick(rng, 600)),
                    want);
        const std::size_t block = iteration % 2 == 0 ? 1 + pick(rng, 600) : BLOCK_SIZE;
        SCOPED_TRACE(block);
        const ApplyRun files = run_apply(patch, original, block);
        EXPECT_EQ(files.result.fault, want.fault);
        EXPECT_EQ(files.result.fault_position, want.position);
        if (want.fault == PatchFault::none) {
            EXPECT_EQ(files.result.status, ApplyStatus::complete);
            EXPECT_EQ(files.output, want.output);
        }
    }
}

}  // namespace
