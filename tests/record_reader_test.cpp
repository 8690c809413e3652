// The public record reader: fed in pieces of every size, it must report the
// records that rebuild the reference's output, or the reference's fault at
// the reference's position, whatever the pieces.
#include <deltawright/deltawright.h>
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

void expect_same(const ReaderRun& got, const ReaderRun& want) {
    EXPECT_FALSE(got.left_unread);
    EXPECT_EQ(got.error, want.error) << dw_error_text(got.error);
    EXPECT_EQ(got.position, want.position);
    EXPECT_EQ(got.output, want.output);
}

// Every patch at pieces of 1, 2, 7, 255, 256 bytes, whole, and at random
// sizes: the same verdict and output each time.
void expect_any_piece_size(const Bytes& patch, const Bytes& original, std::mt19937_64& rng) {
    const ReaderRun want = expected_reader_run(patch, original);
    for (const std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{255},
                                   std::size_t{256}, patch.size() + 1}) {
        SCOPED_TRACE(size);
        expect_same(
            read_in_pieces(patch, original, original.size(), [&](std::size_t) { return size; }),
            want);
    }
    SCOPED_TRACE("random pieces");
    expect_same(read_in_pieces(patch, original, original.size(),
                               [&](std::size_t) { return 1 + pick(rng, 600); }),
                want);
}

TEST(RecordReader, RealAndCorruptedPatchesAtAnyPieceSize) {
    std::mt19937_64 rng(29);
    for (int iteration = 0; iteration < 1500; ++iteration) {
        SCOPED_TRACE(iteration);
        const auto [patch, original] = random_patch_case(rng, iteration % 3 != 0);
        expect_any_piece_size(patch, original, rng);
    }
}

// Without the original's size the rule bound to its end is not the reader's:
// a replace record anywhere is reported.
TEST(RecordReader, UnknownOriginalSizeLeavesTheEndToTheCaller) {
    Bytes patch = expected_header();
    append_expected_record(patch, COMMAND_REPLACE, 0xFFFFFF00, Bytes(3, 'x'));
    const ReaderRun known = read_in_pieces(patch, Bytes(10), 10, [](std::size_t) { return 4; });
    EXPECT_EQ(known.error, DW_ERROR_PAST_ORIGINAL);
    EXPECT_EQ(known.position, PATCH_HEADER_SIZE);
    dw_reader reader;
    dw_reader_init(&reader, DW_SIZE_UNKNOWN);
    dw_in_buffer in{patch.data(), patch.size(), 0};
    EXPECT_EQ(dw_reader_next(&reader, &in), DW_READ_REPLACE);
    EXPECT_EQ(reader.offset, 0xFFFFFF00U);
    EXPECT_EQ(dw_reader_next(&reader, &in), DW_READ_DATA);
    EXPECT_EQ(reader.data_size, 3U);
    EXPECT_EQ(dw_reader_next(&reader, &in), DW_READ_MORE);
    EXPECT_EQ(dw_reader_finish(&reader), DW_READ_END);
}

TEST(RecordReader, ErrorsAreStickyAndNamed) {
    const Bytes patch = to_bytes("DLT41");
    dw_reader reader;
    dw_reader_init(&reader, 0);
    dw_in_buffer in{patch.data(), patch.size(), 0};
    EXPECT_EQ(dw_reader_next(&reader, &in), DW_READ_ERROR);
    EXPECT_EQ(dw_reader_next(&reader, &in), DW_READ_ERROR);
    EXPECT_EQ(dw_reader_finish(&reader), DW_READ_ERROR);
    EXPECT_EQ(reader.error, DW_ERROR_HEADER);
    EXPECT_STREQ(dw_error_text(DW_ERROR_HEADER), "not the 60-byte DLT40 header");
    EXPECT_STREQ(dw_version_string(), DW_VERSION_STRING);
}

}  // namespace
