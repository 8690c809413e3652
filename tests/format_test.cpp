// Exact bytes of the header and of record heads, as the layout encodes them.
#include <gtest/gtest.h>

#include "format/patch_layout.h"
#include "test_support.h"

namespace {

TEST(PatchFormat, HeaderIsMagicFormatCodeAndZeros) {
    Bytes expected = {'D', 'L', 'T', '4', '0', 0xFF};
    expected.resize(60, 0);
    Bytes header;
    for (std::size_t at = 0; at < PATCH_HEADER_SIZE; ++at) {
        header.push_back(patch_header_byte(at));
    }
    EXPECT_EQ(header, expected);
}

// The head is command, offset in four little-endian bytes, length; decoding
// gives back every field, whatever the host's byte order.
TEST(PatchFormat, RecordHeadIsLittleEndianAndSixBytes) {
    struct HeadCase {
        std::uint8_t command;
        std::uint32_t offset;
        std::uint8_t length;
        Bytes bytes;
    };
    const HeadCase cases[] = {
        {COMMAND_REPLACE, 258, 1, {0x00, 0x02, 0x01, 0x00, 0x00, 0x01}},
        {COMMAND_REPLACE, 0xA1B2C3D4, 7, {0x00, 0xD4, 0xC3, 0xB2, 0xA1, 0x07}},
        {COMMAND_ADD, 0, 255, {0x01, 0x00, 0x00, 0x00, 0x00, 0xFF}},
    };
    for (const HeadCase& c : cases) {
        const auto head = encode_record_head(c.command, c.offset, c.length);
        EXPECT_EQ(Bytes(head.begin(), head.end()), c.bytes);
        const RecordHead decoded = decode_record_head(c.bytes.data(), 99);
        EXPECT_EQ(decoded.command, c.command);
        EXPECT_EQ(decoded.offset, c.offset);
        EXPECT_EQ(decoded.length, c.length);
        EXPECT_EQ(decoded.position, 99U);
    }
}

}  // namespace
