// Records the maker produces for chosen pairs of files, checked byte for byte
// against patches written out by hand, at every piece size; and failures of
// the files underneath the program's maker.
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

// Every hand-written case through the streaming maker with each stream in
// pieces of 1, 2, 7, 255, 256 bytes, whole and at random sizes, and through
// the program's maker over files in blocks of those sizes, so that runs
// cross every kind of edge.
TEST(Scan, MatchHandWrittenPatchesAtAnyPieceSize) {
    std::mt19937_64 rng(3);
    for (const ScanCase& c : scan_cases()) {
        SCOPED_TRACE(c.name);
        const Bytes want = expected_patch(c.records);
        EXPECT_EQ(reference_patch(c.updated, c.original), want);
        for (const std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{7},
                                       std::size_t{255}, std::size_t{256}, BLOCK_SIZE}) {
            SCOPED_TRACE(size);
            EXPECT_EQ(make_in_pieces(
                          c.updated, c.original, [&] { return size; }, size),
                      want);
            const ScanRun run = run_scan(c.updated, c.original, size, size);
            EXPECT_EQ(run.result.outcome, Outcome::done);
            EXPECT_EQ(run.patch, want);
        }
        EXPECT_EQ(
            make_in_pieces(
                c.updated, c.original, [&] { return 1 + pick(rng, 300); }, 1 + pick(rng, 300)),
            want);
    }
}

TEST(Scan, TypicalRunIs76Bytes) {
    EXPECT_EQ(run_scan(to_bytes("012XY56789AB"), to_bytes("0123456789")).patch.size(), 76U);
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
        Outcome outcome;
        Stream stream;
    };
    const std::size_t big = 1 << 20;
    const FailureCase cases[] = {
        {"UpdatedFailsInLockstep", big, 5000, big, big, false, Outcome::read_error,
         Stream::updated},
        {"OriginalFailsInLockstep", big, big, big, 5000, false, Outcome::read_error,
         Stream::original},
        {"UpdatedFailsInTail", big, 5000, 100, 100, false, Outcome::read_error, Stream::updated},
        {"WriteFailsInLockstep", big, big, big, big, true, Outcome::write_error, Stream::output},
        {"WriteFailsInTail", big, big, 0, 0, true, Outcome::write_error, Stream::output},
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
        FileOutput patch{sink.file};
        const RunResult r = make_patch(u, o, p_block, patch);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.stream, c.stream);
        EXPECT_LT(updated.at, big / 2);  // stopped at the failure, not read on
        close_sink(sink);
        std::fclose(u_file);
        std::fclose(o_file);
    }
}

}  // namespace
