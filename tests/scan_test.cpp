// Records the scan produces for chosen pairs of files, checked byte for byte
// against patches written out by hand, at several input block sizes so that
// every case also runs with its runs crossing block edges.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Rec {
    std::uint8_t command;
    std::uint32_t offset;
    Bytes data;
};

struct ScanCase {
    const char* name;
    Bytes updated;
    Bytes original;
    std::vector<Rec> records;
};

Bytes filled(std::size_t n, std::uint8_t b) {
    return Bytes(n, b);
}
Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}
Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return b;
}

const Bytes S = to_bytes("abcdef");
const Bytes TAIL600 = counting(600);

std::vector<ScanCase> scan_cases() {
    return {
        {"IdenticalFiles", S, S, {}},
        {"EmptyUpdated", {}, S, {}},
        {"BothEmpty", {}, {}, {}},
        {"OneDifference", to_bytes("aXcdef"), S, {{0, 1, to_bytes("X")}}},
        {"EqualByteEndsRun", to_bytes("abXdXf"), S, {{0, 2, to_bytes("X")}, {0, 4, to_bytes("X")}}},
        {"DifferenceInLastByte", to_bytes("abcdeX"), S, {{0, 5, to_bytes("X")}}},
        {"ShorterUpdatedLeavesNoTrace", to_bytes("aX"), S, {{0, 1, to_bytes("X")}}},
        {"Run300SplitsAt255",
         filled(300, 'x'),
         filled(300, 'y'),
         {{0, 0, filled(255, 'x')}, {0, 255, filled(45, 'x')}}},
        {"Exactly255ThenEqual",
         concat(filled(255, 'x'), to_bytes("e")),
         concat(filled(255, 'y'), to_bytes("e")),
         {{0, 0, filled(255, 'x')}}},
        {"Run510IsTwoFullRecords",
         filled(510, 'x'),
         filled(510, 'y'),
         {{0, 0, filled(255, 'x')}, {0, 255, filled(255, 'x')}}},
        {"Run256",
         concat(to_bytes("e"), filled(256, 'x')),
         concat(to_bytes("e"), filled(256, 'y')),
         {{0, 1, filled(255, 'x')}, {0, 256, to_bytes("x")}}},
        {"OffsetAboveOneByte",
         concat(filled(258, 'e'), to_bytes("Z")),
         concat(filled(258, 'e'), to_bytes("e")),
         {{0, 258, to_bytes("Z")}}},
        {"TailOnly", to_bytes("abcdef"), to_bytes("abc"), {{1, 0, to_bytes("def")}}},
        {"ReplaceThenTail",
         to_bytes("aXcdef"),
         to_bytes("abc"),
         {{0, 1, to_bytes("X")}, {1, 0, to_bytes("def")}}},
        {"RunCutAtOriginalEnd",
         to_bytes("aXYdef"),
         to_bytes("abc"),
         {{0, 1, to_bytes("XY")}, {1, 0, to_bytes("def")}}},
        {"EmptyOriginal600",
         TAIL600,
         {},
         {{1, 0, slice(TAIL600, 0, 255)},
          {1, 0, slice(TAIL600, 255, 255)},
          {1, 0, slice(TAIL600, 510, 90)}}},
        {"EmptyOriginal510",
         slice(TAIL600, 0, 510),
         {},
         {{1, 0, slice(TAIL600, 0, 255)}, {1, 0, slice(TAIL600, 255, 255)}}},
        {"Differing100Then200Tail",
         concat(filled(100, 'x'), filled(200, 't')),
         filled(100, 'y'),
         {{0, 0, filled(100, 'x')}, {1, 0, filled(200, 't')}}},
        {"OneByteLonger", to_bytes("abcdefg"), S, {{1, 0, to_bytes("g")}}},
        // The run of a typical patch: 10-byte original, 12-byte updated, changes at 3 and 4.
        {"TypicalRun",
         to_bytes("012XY56789AB"),
         to_bytes("0123456789"),
         {{0, 3, to_bytes("XY")}, {1, 0, to_bytes("AB")}}},
    };
}

Bytes expected_patch(const std::vector<Rec>& records) {
    Bytes out = expected_header();
    for (const Rec& r : records) {
        append_expected_record(out, r.command, r.offset, r.data);
    }
    return out;
}

class ScanCases : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ScanCases, MatchHandWrittenPatches) {
    for (const ScanCase& c : scan_cases()) {
        SCOPED_TRACE(c.name);
        const ScanRun run = run_scan(c.updated, c.original, GetParam(), GetParam());
        EXPECT_EQ(run.status, ScanStatus::complete);
        EXPECT_EQ(run.patch, expected_patch(c.records));
        EXPECT_EQ(reference_patch(c.updated, c.original), expected_patch(c.records));
    }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, ScanCases,
                         ::testing::Values(1, 2, 7, 255, 256, INPUT_BLOCK_SIZE));

TEST(Scan, TypicalRunIs76Bytes) {
    EXPECT_EQ(run_scan(to_bytes("012XY56789AB"), to_bytes("0123456789")).patch.size(), 76U);
}

// Random pairs biased toward the hard places: lengths and runs near 255 and
// its multiples, runs across block edges and at the original's end, empty and
// one-byte files, every density of difference. The block-wise scan must
// produce exactly the reference's bytes.
TEST(Scan, MatchesReferenceOnRandomPairs) {
    std::mt19937_64 rng(20261209);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        const auto [updated, original] = random_pair(rng);
        const std::size_t u_size = updated.size(), o_size = original.size();
        const std::size_t block = pick(rng, 3) ? 1 + pick(rng, 600) : INPUT_BLOCK_SIZE;
        const ScanRun run = run_scan(updated, original, block, 1 + pick(rng, 600));
        ASSERT_EQ(run.status, ScanStatus::complete);
        ASSERT_EQ(run.patch, reference_patch(updated, original))
            << "iteration " << iteration << ", sizes " << u_size << "/" << o_size << ", block "
            << block;
        // And the patch, read strictly and applied, must rebuild the updated file.
        const ReferenceApply applied = reference_apply(run.patch, original);
        ASSERT_EQ(applied.fault, PatchFault::none) << "iteration " << iteration;
        ASSERT_EQ(applied.output, expected_apply_output(updated, original))
            << "iteration " << iteration;
    }
}

// Failures in the lockstep phase and in the appended tail: each must be told
// apart from the end of a file, reported as what it is, and end the scan
// there, long before the inputs end.
TEST(Scan, FailuresStopTheScan) {
    if (!FAILING_FILES) {
        GTEST_SKIP() << "no files that fail on demand here";
    }
    struct FailureCase {
        const char* name;
        std::size_t updated_size, updated_good, original_size, original_good;
        bool patch_full;
        ScanStatus status;
    };
    const std::size_t big = 1 << 20;
    const FailureCase cases[] = {
        {"UpdatedFailsInLockstep", big, 5000, big, big, false, ScanStatus::updated_read_error},
        {"OriginalFailsInLockstep", big, big, big, 5000, false, ScanStatus::original_read_error},
        {"UpdatedFailsInTail", big, 5000, 100, 100, false, ScanStatus::updated_read_error},
        {"WriteFailsInLockstep", big, big, big, big, true, ScanStatus::patch_write_error},
        {"WriteFailsInTail", big, big, 0, 0, true, ScanStatus::patch_write_error},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        FailingInput updated{Bytes(c.updated_size, 'u'), c.updated_good};
        FailingInput original{Bytes(c.original_size, 'o'), c.original_good};
        std::FILE* u_file = open_failing(updated);
        std::FILE* o_file = open_failing(original);
        Sink sink;
        open_sink(sink, c.patch_full);
        ASSERT_TRUE(u_file != nullptr && o_file != nullptr && sink.file != nullptr);
        Bytes u_block(64), o_block(64), p_block(512);
        BlockInput u{u_file, u_block};
        BlockInput o{o_file, o_block};
        PatchStream patch{sink.file, p_block};
        EXPECT_EQ(scan_files(u, o, patch), c.status);
        EXPECT_LT(updated.at, big / 2);  // stopped at the failure, not read on
        close_sink(sink);
        std::fclose(u_file);
        std::fclose(o_file);
    }
}

}  // namespace
