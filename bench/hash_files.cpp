// The hashing floor of a sealed apply: the library's SHA-256 of each file
// named, read in 1 MiB blocks, one after the other, as sha256sum prints them.
// Usage: bench_hash_files FILE...
#include <deltawright/deltawright.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int main(int argc, char* argv[]) {
    std::vector<std::uint8_t> block(1 << 20);
    for (int i = 1; i < argc; ++i) {
        std::FILE* file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            std::perror(argv[i]);
            return 2;
        }
        std::setvbuf(file, nullptr, _IONBF, 0);
        dw_sha256 hash;
        dw_sha256_init(&hash);
        std::size_t n = 0;
        while ((n = std::fread(block.data(), 1, block.size(), file)) > 0) {
            dw_sha256_update(&hash, block.data(), n);
        }
        std::fclose(file);
        std::uint8_t digest[DW_SHA256_SIZE];
        dw_sha256_final(&hash, digest);
        for (const std::uint8_t b : digest) {
            std::printf("%02x", b);
        }
        std::printf("  %s\n", argv[i]);
    }
    return 0;
}
