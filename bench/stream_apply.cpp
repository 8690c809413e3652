// The library's streaming applier driven with small chunks: the patch and the
// original read, and the result written, CHUNK bytes at a time, as a device
// receiving a patch over a network would. Shows what small chunks cost
// against the program's 1 MiB blocks.
// Usage: bench_stream_apply CHUNK OUT PATCH ORIGINAL
#include <deltawright/deltawright.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_stream_apply CHUNK OUT PATCH ORIGINAL\n");
        return 2;
    }
    const std::size_t chunk = std::strtoul(argv[1], nullptr, 10);
    std::FILE* out_file = std::fopen(argv[2], "wb");
    std::FILE* patch_file = std::fopen(argv[3], "rb");
    std::FILE* original_file = std::fopen(argv[4], "rb");
    if (chunk == 0 || out_file == nullptr || patch_file == nullptr || original_file == nullptr) {
        std::perror("bench_stream_apply");
        return 2;
    }
    for (std::FILE* f : {out_file, patch_file, original_file}) {
        std::setvbuf(f, nullptr, _IONBF, 0);
    }
    std::vector<std::uint8_t> p(chunk), o(chunk), r(chunk);
    dw_in_buffer patch{p.data(), 0, 0}, original{o.data(), 0, 0};
    dw_out_buffer out{r.data(), chunk, 0};
    dw_applier applier;
    dw_applier_init(&applier);
    for (;;) {
        const dw_apply_status status = dw_apply(&applier, &patch, &original, &out);
        switch (status) {
            case DW_APPLY_NEED_PATCH:
                patch = {p.data(), std::fread(p.data(), 1, chunk, patch_file), 0};
                if (patch.size == 0) {
                    dw_applier_end_patch(&applier);
                }
                break;
            case DW_APPLY_NEED_ORIGINAL:
                original = {o.data(), std::fread(o.data(), 1, chunk, original_file), 0};
                if (original.size == 0) {
                    dw_applier_end_original(&applier);
                }
                break;
            case DW_APPLY_NEED_OUTPUT:
            case DW_APPLY_DONE:
                if (std::fwrite(r.data(), 1, out.pos, out_file) != out.pos) {
                    std::perror("bench_stream_apply");
                    return 2;
                }
                out.pos = 0;
                if (status == DW_APPLY_DONE) {
                    return std::fclose(out_file) == 0 ? 0 : 2;
                }
                break;
            case DW_APPLY_ERROR:
                std::fprintf(stderr, "bench_stream_apply: %s at byte %llu\n",
                             dw_error_text(static_cast<dw_error>(applier.reader.error)),
                             static_cast<unsigned long long>(applier.reader.error_position));
                return 1;
        }
    }
}
