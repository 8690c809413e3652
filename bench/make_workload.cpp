// Derives a benchmark input from an original: `sparse` flips one byte in every
// 4 KiB, `all` changes every byte, `runs` changes a run of 250 bytes at the
// start of every MiB (on 4 GiB, a patch of 1 MiB: one record per run).
// Usage: bench_make_workload sparse|all|runs ORIGINAL OUT
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char* argv[]) {
    const bool known =
        argc == 4 && (std::strcmp(argv[1], "sparse") == 0 || std::strcmp(argv[1], "all") == 0 ||
                      std::strcmp(argv[1], "runs") == 0);
    if (!known) {
        std::fprintf(stderr, "usage: bench_make_workload sparse|all|runs ORIGINAL OUT\n");
        return 2;
    }
    const bool all = std::strcmp(argv[1], "all") == 0;
    const bool runs = std::strcmp(argv[1], "runs") == 0;
    std::FILE* in = std::fopen(argv[2], "rb");
    std::FILE* out = std::fopen(argv[3], "wb");
    if (in == nullptr || out == nullptr) {
        std::perror("bench_make_workload");
        return 2;
    }
    constexpr std::size_t BLOCK = 1 << 20;  // a multiple of 4096
    std::vector<unsigned char> buf(BLOCK);
    std::size_t n = 0;
    while ((n = std::fread(buf.data(), 1, BLOCK, in)) > 0) {
        const std::size_t changed = runs ? std::min<std::size_t>(n, 250) : n;
        for (std::size_t i = 0; i < changed; i += all || runs ? 1 : 4096) {
            buf[i] = static_cast<unsigned char>(buf[i] ^ 0x5A);
        }
        if (std::fwrite(buf.data(), 1, n, out) != n) {
            std::perror("bench_make_workload");
            return 2;
        }
    }
    return std::fclose(out) == 0 && std::ferror(in) == 0 ? 0 : 2;
}
