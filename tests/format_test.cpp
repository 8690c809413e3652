// Exact bytes of the header and of records, and the writer's buffering.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "format/patch_format.h"
#include "test_support.h"

namespace {

// Collects what a PatchStream with a buffer of `buffer_size` bytes writes.
struct Capture {
    Sink sink;
    Bytes block;
    PatchStream patch;
    explicit Capture(std::size_t buffer_size = MAX_RECORD_SIZE) : block(buffer_size) {
        open_sink(sink);
        patch = {sink.file, block};
    }
    Bytes bytes() {
        EXPECT_TRUE(flush_patch(patch));
        return close_sink(sink);
    }
};

TEST(PatchFormat, HeaderIsMagicFormatCodeAndZeros) {
    Capture c;
    ASSERT_TRUE(write_header(c.patch));
    Bytes expected = {'D', 'L', 'T', '4', '0', 0xFF};
    expected.resize(60, 0);
    EXPECT_EQ(c.bytes(), expected);
}

TEST(PatchFormat, RecordHeadIsLittleEndianAndSixBytes) {
    Capture c;
    PatchRecord r;
    r.command = COMMAND_REPLACE;
    r.offset = 258;
    r.length = 1;
    r.data[0] = 'Z';
    r.data[1] = 'q';  // beyond length: must not be written
    ASSERT_TRUE(write_record(r, c.patch));
    EXPECT_EQ(c.bytes(), (Bytes{0x00, 0x02, 0x01, 0x00, 0x00, 0x01, 'Z'}));
}

TEST(PatchFormat, OffsetUsesAllFourBytes) {
    Capture c;
    const Bytes data = {7};
    ASSERT_TRUE(write_record_data(COMMAND_REPLACE, 0xA1B2C3D4, data, c.patch));
    EXPECT_EQ(c.bytes(), (Bytes{0x00, 0xD4, 0xC3, 0xB2, 0xA1, 0x01, 7}));
}

// Records straddle the buffer's edge at every possible point (heads split
// inside the offset, data split anywhere) and must come out whole and in order.
TEST(PatchFormat, RecordsSurviveEveryBufferSize) {
    for (const std::size_t buffer_size : {1, 2, 5, 6, 7, 60, 261, 262, 1000}) {
        SCOPED_TRACE(buffer_size);
        Capture c(buffer_size);
        ASSERT_TRUE(write_header(c.patch));
        Bytes expected = expected_header();
        for (std::uint8_t i = 0; i < 6; ++i) {
            const Bytes data(i % 2 == 0 ? MAX_RECORD_DATA : i, i);
            ASSERT_TRUE(write_record_data(COMMAND_REPLACE, 0x01020300u + i, data, c.patch));
            append_expected_record(expected, COMMAND_REPLACE, 0x01020300u + i, data);
        }
        const Bytes written = c.bytes();
        EXPECT_EQ(written.size(), 60 + 3 * 261U + (6 + 1) + (6 + 3) + (6 + 5));
        EXPECT_EQ(written, expected);
    }
}

TEST(PatchFormat, FailureIsStickyAndReported) {
    if (!FAILING_FILES) {
        GTEST_SKIP() << "no output that fails on demand here";
    }
    Sink full;
    open_sink(full, true);
    ASSERT_NE(full.file, nullptr);
    Bytes block(MAX_RECORD_SIZE);
    PatchStream patch{full.file, block};
    EXPECT_TRUE(write_header(patch));  // only buffered so far
    EXPECT_FALSE(flush_patch(patch));
    EXPECT_TRUE(patch.failed);
    EXPECT_FALSE(write_header(patch));
    close_sink(full);
}

}  // namespace
