// Throughput of the library's SHA-256: hashes a block of random bytes (256
// KiB, or BLOCK_KIB) over and over, one update per block, for at least a
// second, and prints GB/s (10^9 bytes per second), the unit `openssl speed`
// uses.
// Usage: bench_sha256_speed [BLOCK_KIB]
#include <deltawright/deltawright.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

int main(int argc, char* argv[]) {
    const std::size_t BLOCK = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256) * 1024;
    std::vector<std::uint8_t> block(BLOCK);
    std::mt19937 rng(1);
    for (auto& b : block) {
        b = static_cast<std::uint8_t>(rng());
    }
    dw_sha256 hash;
    dw_sha256_init(&hash);
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t bytes = 0;
    double seconds = 0;
    while (seconds < 1.0) {
        for (int i = 0; i < 64; ++i) {
            dw_sha256_update(&hash, block.data(), BLOCK);
        }
        bytes += 64 * BLOCK;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::uint8_t digest[DW_SHA256_SIZE];
    dw_sha256_final(&hash, digest);
    std::printf("%.2f GB/s (digest starts %02x)\n", static_cast<double>(bytes) / seconds / 1e9,
                digest[0]);
    return 0;
}
