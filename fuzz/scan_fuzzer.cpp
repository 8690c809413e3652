// Differential fuzzing of the scan. An input is split into an updated and an
// original file: bytes 0-1 give the updated file's length (little-endian, cut
// to what is there), byte 2 picks a small block size, and the rest is the
// updated file followed by the original. The program's maker, with that
// small block size and with the default one, and the library's streaming
// maker, fed pieces whose sizes the input's bytes give, must write exactly
// the reference's patch bytes, and the patch must read strictly and rebuild
// the updated file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "test_support.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "scan_fuzzer: %s %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::size_t rest = size - 3;
    const std::size_t u_size = std::min<std::size_t>(rest, data[0] | std::size_t{data[1]} << 8);
    const std::size_t small_block = 1 + data[2] % 64;
    const Bytes updated(data + 3, data + 3 + u_size);
    const Bytes original(data + 3 + u_size, data + size);

    const Bytes expected = reference_patch(updated, original);
    const ScanRun small = run_scan(updated, original, small_block, 1 + data[2] / 4);
    const ScanRun normal = run_scan(updated, original);
    if (small.result.outcome != Outcome::done || normal.result.outcome != Outcome::done) {
        fail("scan did not complete");
    }
    if (small.patch != expected) {
        fail("small-block patch differs from the reference");
    }
    if (normal.patch != expected) {
        fail("patch differs from the reference");
    }
    std::size_t call = 0;
    const Bytes streamed = make_in_pieces(
        updated, original,
        [&] { return std::size_t{1} + (rest == 0 ? 0 : data[3 + call++ % rest] % 97); },
        1 + data[2] % 300);
    if (streamed != expected) {
        fail("streaming maker's patch differs from the reference");
    }
    const ReferenceApply applied = reference_apply(normal.patch, original);
    if (applied.fault != DW_OK) {
        fail("patch does not read strictly:", dw_error_text(applied.fault));
    }
    if (applied.output != expected_apply_output(updated, original)) {
        fail("applied patch does not rebuild the updated file");
    }
    return 0;
}
