// SHA-256 against NIST's published vectors, fed whole and in pieces of every
// size up to a block and a half, so that block edges fall everywhere; by the
// code the processor chose and by the portable code.
#include <deltawright/deltawright.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes to_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string hex(const std::uint8_t* digest) {
    static const char* const DIGITS = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < DW_SHA256_SIZE; ++i) {
        out += DIGITS[digest[i] >> 4];
        out += DIGITS[digest[i] & 15];
    }
    return out;
}

// With `portable`, the portable code runs the blocks whatever the processor has.
std::string sha256_in_pieces(const Bytes& message, std::size_t piece, bool portable) {
    dw_sha256 hash;
    dw_sha256_init(&hash);
    if (portable) {
        hash.engine_ = 0;
    }
    for (std::size_t at = 0; at < message.size(); at += piece) {
        dw_sha256_update(&hash, message.data() + at, std::min(piece, message.size() - at));
    }
    std::uint8_t digest[DW_SHA256_SIZE];
    dw_sha256_final(&hash, digest);
    return hex(digest);
}

TEST(Sha256, NistVectorsAtEveryPieceSize) {
    struct Vector {
        Bytes message;
        const char* digest;
    };
    const Vector vectors[] = {
        {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {to_bytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {to_bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {to_bytes("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                  "klmnopqrlmnopqrsmnopqrstnopqrstu"),
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {Bytes(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable code" : "the code the processor chose");
        for (const Vector& v : vectors) {
            SCOPED_TRACE(v.message.size());
            for (std::size_t piece = 1; piece <= 97; ++piece) {
                ASSERT_EQ(sha256_in_pieces(v.message, piece, portable), v.digest)
                    << "pieces of " << piece;
            }
            EXPECT_EQ(sha256_in_pieces(v.message, v.message.size() + 1, portable), v.digest);
            EXPECT_EQ(sha256_in_pieces(v.message, 4096, portable), v.digest);
        }
    }
}

}  // namespace
