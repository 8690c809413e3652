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
    EXPECT_EQ(got.fault, want.fault) << dw_error_text(got.fault);
    EXPECT_EQ(got.position, want.position);
    if (want.fault == DW_OK) {
        EXPECT_EQ(got.output, want.output);
        EXPECT_EQ(got.first_unchanged, want.first_unchanged);
        EXPECT_EQ(got.any_changed, want.any_changed);
    }
}

TEST(StreamApply, RealAndCorruptedPatchesAtAnyPieceSize) {
    std::mt19937_64 rng(31);
    for (int iteration = 0; iteration < 1000; ++iteration) {
        SCOPED_TRACE(iteration);
        const bool spoiled = iteration % 3 != 0;
        const auto [patch, original] = random_patch_case(rng, spoiled);
        const ReferenceApply want = reference_apply(patch, original);
        if (!spoiled) {  // what every maker guarantees: no replace byte equals the original's
            ASSERT_EQ(want.first_unchanged, UINT64_MAX);
        }
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
        EXPECT_EQ(files.result.error, want.fault);
        EXPECT_EQ(files.result.position, want.position);
        if (want.fault == DW_OK) {
            EXPECT_EQ(files.result.outcome, Outcome::done);
            EXPECT_EQ(files.output, want.output);
        }
    }
}

}  // namespace

namespace {

// The origin check on the originals a user may give by mistake, at every
// piece size: the right one, the updated file itself, one byte already
// patched, and another file of the same length.
TEST(StreamApply, OriginCheckFindsTheFirstUnchangedByte) {
    const Bytes original = to_bytes("0123456789abcdefghij");
    const Bytes updated = to_bytes("0XY34567Z9abcdeFGHij");
    const Bytes patch = reference_patch(updated, original);
    Bytes one_patched = original;
    one_patched[8] = 'Z';
    struct OriginCase {
        const char* name;
        Bytes original;
        std::uint64_t first_unchanged;
        bool any_changed;
    };
    const OriginCase cases[] = {
        {"the right original", original, UINT64_MAX, true},
        {"the updated file", updated, 1, false},
        {"one replaced byte already patched", one_patched, 8, true},
        {"another file of the same length", to_bytes("0Y_3456789abcdeFxxij"), 15, true},
    };
    for (const OriginCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
            const ReferenceApply got = apply_in_pieces(
                patch, c.original, [&] { return size; }, size);
            EXPECT_EQ(got.first_unchanged, c.first_unchanged);
            EXPECT_EQ(got.any_changed, c.any_changed);
        }
        const ReferenceApply want = reference_apply(patch, c.original);
        EXPECT_EQ(want.first_unchanged, c.first_unchanged);
        EXPECT_EQ(want.any_changed, c.any_changed);
    }
}

}  // namespace
