// Prints the library's SHA-256 of each file named, as sha256sum does
// ("<digest>  <name>"), reading it in pieces of a size that changes from
// read to read, so that the differential test against sha256sum also
// crosses block edges in every way.
#include <deltawright/deltawright.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char* argv[]) {
    int status = 0;
    unsigned piece = 1;
    for (int i = 1; i < argc; ++i) {
        std::FILE* file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            std::perror(argv[i]);
            status = 1;
            continue;
        }
        dw_sha256 hash;
        dw_sha256_init(&hash);
        unsigned char buffer[200];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, piece, file)) > 0) {
            dw_sha256_update(&hash, buffer, n);
            piece = piece % 199 + 1;
        }
        std::fclose(file);
        std::uint8_t digest[DW_SHA256_SIZE];
        dw_sha256_final(&hash, digest);
        for (const std::uint8_t b : digest) {
            std::printf("%02x", b);
        }
        std::printf("  %s\n", argv[i]);
    }
    return status;
}
