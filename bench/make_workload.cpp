// Derives a benchmark input from an original: `sparse` flips one byte in every
// 4 KiB, `all` changes every byte, `runs` changes a run of 250 bytes at the
// start of every MiB (on 4 GiB, a patch of 1 MiB: one record per run),
// `every4` and `every2` change every fourth and every other byte (a record
// per changed byte: the densest patches there are).
// Usage: bench_make_workload sparse|all|runs|every4|every2 ORIGINAL OUT
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char* argv[]) {
    // Each mode: how many bytes of a block change, and the step between them.
    struct Mode {
        const char* name;
        std::size_t changed;
        std::size_t step;
    };
    constexpr std::size_t BLOCK = 1 << 20;  // a multiple of 4096
    constexpr Mode modes[] = {{"sparse", BLOCK, 4096},
                              {"all", BLOCK, 1},
                              {"runs", 250, 1},
                              {"every4", BLOCK, 4},
                              {"every2", BLOCK, 2}};
    const Mode* mode = nullptr;
    for (const Mode& m : modes) {
        if (argc == 4 && std::strcmp(argv[1], m.name) == 0) {
            mode = &m;
        }
    }
    if (mode == nullptr) {
        std::fprintf(stderr,
                     "usage: bench_make_workload sparse|all|runs|every4|every2 ORIGINAL OUT\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[2], "rb");
    std::FILE* out = std::fopen(argv[3], "wb");
    if (in == nullptr || out == nullptr) {
        std::perror("bench_make_workload");
        return 2;
    }
    std::vector<unsigned char> buf(BLOCK);
    std::size_t n = 0;
    while ((n = std::fread(buf.data(), 1, BLOCK, in)) > 0) {
        const std::size_t changed = std::min(n, mode->changed);
        for (std::size_t i = 0; i < changed; i += mode->step) {
            buf[i] = static_cast<unsigned char>(buf[i] ^ 0x5A);
        }
        if (std::fwrite(buf.data(), 1, n, out) != n) {
            std::perror("bench_make_workload");
            return 2;
        }
    }
    return std::fclose(out) == 0 && std::ferror(in) == 0 ? 0 : 2;
}
