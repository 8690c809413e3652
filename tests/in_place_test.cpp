// The in-place passes on real files, for random pairs: every state an
// interrupted update leaves (the replace bytes patched up to any one of
// them) is recognised and completed, a later byte patched before an earlier
// one is refused, at patch block and span sizes that put records across
// every edge; what was written is read back. The command line's rows:
// in_place.sh.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "io/in_place.h"
#include "test_support.h"

namespace {

std::string target_path() {
    return (std::filesystem::temp_directory_path() / "deltawright_in_place_test.bin").string();
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    ASSERT_EQ(std::fclose(f), 0);
}

Bytes read_file(const std::string& path) {
    Bytes out(static_cast<std::size_t>(std::filesystem::file_size(path)));
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (!out.empty()) {
        EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    }
    std::fclose(f);
    return out;
}

struct Sizes {
    std::size_t patch_block;
    std::size_t span;  // the span buffer: where adjacent records are cut apart
};
constexpr Sizes SIZES[] = {{1, 255}, {7, 256}, {300, 600}, {BLOCK_SIZE, BLOCK_SIZE}};

// Checks `start` in place against the patch, then writes from where the
// check says, reading `second` (the patch, or a changed one) on the writing
// pass, and returns what the target then holds.
Bytes run_in_place(const Bytes& patch, const Bytes& start, const Sizes& sizes, InPlaceCheck& c,
                   const Bytes* second = nullptr, Outcome want = Outcome::done) {
    static Bytes patch_block(BLOCK_SIZE), span(BLOCK_SIZE), scratch(BLOCK_SIZE);
    const std::string path = target_path();
    write_file(path, start);
    TargetFile target;
    std::string reason;
    EXPECT_TRUE(open_target(path.c_str(), target, reason)) << reason;
    Bytes storage;
    std::FILE* file = open_bytes(patch, storage);
    BlockDigests digests;
    BlockInput in{file, std::span(patch_block).first(sizes.patch_block)};
    in.digests = &digests;
    const auto span_data = std::span(span).first(sizes.span);
    c = check_in_place(in, target, std::span(scratch).first(sizes.span));
    if (c.run.outcome == Outcome::done && c.patched_after == NO_POSITION &&
        c.first_unpatched != NO_POSITION) {
        Bytes second_storage;
        std::FILE* again_file = second == nullptr ? file : open_bytes(*second, second_storage);
        std::rewind(again_file);
        BlockInput again{again_file, std::span(patch_block).first(sizes.patch_block)};
        digests.checking = true;
        again.digests = &digests;
        const RunResult w = write_in_place(again, target, span_data, target.size,
                                           {c.first_unpatched, 0, NO_POSITION});
        EXPECT_EQ(w.outcome, want) << w.reason;
        if (w.outcome == Outcome::done && second == nullptr) {
            // Read back: every byte written holds; one changed after the
            // writes is found at its position.
            const auto read_back = [&] {
                std::rewind(file);
                BlockInput third{file, std::span(patch_block).first(sizes.patch_block)};
                digests.next = 0;
                third.digests = &digests;
                return check_written(third, target, std::span(scratch).first(sizes.span),
                                     target.size, {c.first_unpatched, 0, NO_POSITION});
            };
            EXPECT_EQ(read_back().outcome, Outcome::done);
            std::uint8_t byte = 0;
            EXPECT_TRUE(read_target(target, c.first_unpatched, &byte, 1, reason));
            const std::uint8_t lost = static_cast<std::uint8_t>(byte ^ 0x5A);
            EXPECT_TRUE(write_target(target, c.first_unpatched, &lost, 1, reason));
            const RunResult v = read_back();
            EXPECT_EQ(v.outcome, Outcome::differs);
            EXPECT_EQ(v.position, c.first_unpatched);
            EXPECT_TRUE(write_target(target, c.first_unpatched, &byte, 1, reason));
        }
        if (again_file != file) {
            std::fclose(again_file);
        }
    }
    std::fclose(file);
    close_target(target);
    Bytes out = read_file(path);
    std::filesystem::remove(path);
    return out;
}

TEST(InPlace, CompletesEveryCutAndRefusesAnOutOfOrderShape) {
    const bool every_cut = exhaustive();
    std::mt19937_64 rng(20261209), cut_rng(1209);
    int cases = 0;
    while (cases < 60) {
        RandomPair pair = random_pair(rng);
        if (pair.updated.size() > pair.original.size()) {
            continue;  // add records: a manifest's case (in_place.sh)
        }
        ++cases;
        const Bytes patch = run_scan(pair.updated, pair.original).patch;
        const Bytes result = expected_apply_output(pair.updated, pair.original);
        std::vector<std::size_t> replaced;  // positions, in the patch's order
        for (std::size_t p = 0; p < pair.updated.size(); ++p) {
            if (pair.updated[p] != pair.original[p]) {
                replaced.push_back(p);
            }
        }
        const Sizes sizes = SIZES[pick(rng, std::size(SIZES))];
        SCOPED_TRACE(testing::Message()
                     << "case " << cases << ", " << replaced.size() << " replace bytes, block "
                     << sizes.patch_block << ", span " << sizes.span);
        // Cut after every replace byte of a small patch (of every patch in
        // the exhaustive run); in a large one, at the first cut between two
        // records and the first inside one, and at random. The cuts have
        // their own generator, so that both runs see the same pairs.
        std::vector<std::size_t> cuts = {0, replaced.size()};
        bool between = false, inside = false;
        for (std::size_t k = 1; k < replaced.size(); ++k) {
            const bool at_record = replaced[k - 1] + 1 != replaced[k];
            bool& first = at_record ? between : inside;
            if (replaced.size() <= 40 || every_cut || !first ||
                pick(cut_rng, replaced.size()) < 6) {
                cuts.push_back(k);
            }
            first = true;
        }
        for (const std::size_t k : cuts) {
            SCOPED_TRACE(testing::Message() << "patched up to replace byte " << k);
            Bytes start = pair.original;
            for (std::size_t i = 0; i < k; ++i) {
                start[replaced[i]] = result[replaced[i]];
            }
            InPlaceCheck c;
            ASSERT_EQ(run_in_place(patch, start, sizes, c), result);
            ASSERT_EQ(c.run.outcome, Outcome::done);
            EXPECT_FALSE(c.adds);
            EXPECT_EQ(c.first_unpatched, k < replaced.size() ? replaced[k] : NO_POSITION);
            EXPECT_EQ(c.patched_after, NO_POSITION);
            EXPECT_EQ(c.first_replaced, replaced.empty() ? NO_POSITION : replaced[0]);
        }
        if (!replaced.empty()) {
            // The patch changed between the passes (one data byte, to a
            // value neither the original's nor the result's): the writing
            // pass uses no byte of a block that differs from the checked one.
            Bytes changed = patch;
            const std::size_t k = pick(rng, replaced.size());
            std::size_t at = 0;  // the k-th replace byte's place in the patch
            for (std::size_t seen = 0, record = PATCH_HEADER_SIZE; record < patch.size();) {
                const std::size_t length = patch[record + RECORD_HEAD_SIZE - 1];
                if (seen + length > k) {
                    at = record + RECORD_HEAD_SIZE + (k - seen);
                    break;
                }
                seen += length;
                record += RECORD_HEAD_SIZE + length;
            }
            changed[at] = static_cast<std::uint8_t>(changed[at] + 1);
            if (changed[at] == pair.original[replaced[k]]) {
                changed[at] = static_cast<std::uint8_t>(changed[at] + 1);
            }
            InPlaceCheck c;
            const Bytes out =
                run_in_place(patch, pair.original, sizes, c, &changed, Outcome::changed);
            for (std::size_t p = 0; p < out.size(); ++p) {
                ASSERT_TRUE(out[p] == pair.original[p] || out[p] == result[p]) << "byte " << p;
            }
        }
        if (replaced.size() >= 2) {  // a later byte patched, an earlier one not
            const std::size_t j = 1 + pick(rng, replaced.size() - 1);
            const std::size_t i = pick(rng, j);
            Bytes start = pair.original;
            for (std::size_t n = 0; n < i; ++n) {
                start[replaced[n]] = result[replaced[n]];
            }
            start[replaced[j]] = result[replaced[j]];
            InPlaceCheck c;
            EXPECT_EQ(run_in_place(patch, start, sizes, c), start);  // nothing written
            EXPECT_EQ(c.first_unpatched, replaced[i]);
            EXPECT_EQ(c.patched_after, replaced[j]);
        }
    }
}

}  // namespace
