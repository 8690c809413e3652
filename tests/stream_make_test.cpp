// The public streaming maker: updated, original and output in pieces of
// every size must give, byte for byte, the reference scan's patch; so must
// the program's maker over files in blocks.
#include <deltawright/deltawright.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "test_support.h"

namespace {

TEST(StreamMake, RandomPairsAtAnyPieceSizeGiveTheReferencePatch) {
    std::mt19937_64 rng(37);
    for (int iteration = 0; iteration < 1000; ++iteration) {
        SCOPED_TRACE(iteration);
        const auto [updated, original] = random_pair(rng);
        const Bytes want = reference_patch(updated, original);
        for (const std::size_t size :
             {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{255}, std::size_t{256},
              updated.size() + original.size() + 61}) {
            SCOPED_TRACE(size);
            EXPECT_EQ(make_in_pieces(
                          updated, original, [&] { return size; }, size),
                      want);
        }
        SCOPED_TRACE("random pieces");
        EXPECT_EQ(make_in_pieces(
                      updated, original, [&] { return 1 + pick(rng, 600); }, 1 + pick(rng, 600)),
                  want);
        // The program's maker over files in blocks, and the patch applied.
        const std::size_t block = iteration % 2 == 0 ? 1 + pick(rng, 600) : BLOCK_SIZE;
        const ScanRun files = run_scan(updated, original, block, 1 + pick(rng, 600));
        EXPECT_EQ(files.result.outcome, Outcome::done);
        EXPECT_EQ(files.patch, want);
        const ReferenceApply applied = reference_apply(want, original);
        EXPECT_EQ(applied.fault, DW_OK);
        EXPECT_EQ(applied.output, expected_apply_output(updated, original));
    }
}

}  // namespace
