// Differential fuzzing of the applier with arbitrary patch bytes against an
// arbitrary original. An input is split: bytes 0-1 give the patch's length
// (little-endian, cut to what is there), byte 2 picks a small block size and,
// with its top bit set, puts the fixed 60-byte header before the patch so
// that most inputs reach the records; the rest is the patch followed by the
// original. The applier, at that small block size and at the default one,
// must never crash, must accept exactly what the reference reader accepts
// with the same output, and must refuse with the same rule at the same place.
// The public record reader and streaming applier are held to the same, fed
// in pieces whose sizes come from the input's own bytes, and so are the
// spans an update in place reads and writes: adjacent records joined up to
// the span buffer, applied to the original, give the reference's output.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/in_place.h"
#include "test_support.h"

namespace {

[[noreturn]] void fail(const char* what, const ApplyRun& run, const ReferenceApply& want) {
    std::fprintf(stderr, "apply_fuzzer: %s: applier %s at %llu, reference %s at %zu\n", what,
                 dw_error_text(run.result.error),
                 static_cast<unsigned long long>(run.result.position), dw_error_text(want.fault),
                 want.position);
    std::abort();
}

void check(const ApplyRun& run, const ReferenceApply& want) {
    if (want.fault == DW_OK) {
        if (run.result.outcome != Outcome::done) {
            fail("refused a patch the reference accepts", run, want);
        }
        if (run.output != want.output) {
            fail("output differs from the reference's", run, want);
        }
        return;
    }
    if (run.result.outcome != Outcome::invalid || run.result.error != want.fault ||
        run.result.position != want.position) {
        fail("refusal differs from the reference's", run, want);
    }
}

[[noreturn]] void fail_spans(const char* what) {
    std::fprintf(stderr, "apply_fuzzer: in-place spans: %s\n", what);
    std::abort();
}

void check_spans(const Bytes& patch, const Bytes& original, std::size_t block, std::size_t cap,
                 const ReaderRun& read_want, const ReferenceApply& want) {
    Bytes storage;
    std::FILE* file = open_bytes(patch, storage);
    Bytes block_buffer(block);
    Bytes span_buffer(cap);
    BlockInput in{file, block_buffer};
    PatchSpans s{in, span_buffer};
    start_spans(s, original.size());
    Bytes out = original;
    std::uint64_t previous_end = NO_POSITION;
    std::size_t previous_size = 0;
    bool previous_add = false;
    SpanEvent event = SpanEvent::end;
    while ((event = next_span(s)) == SpanEvent::span) {
        if (s.size == 0 || s.size > cap) {
            fail_spans("a span of no bytes or more than its buffer");
        }
        // A span ends at a gap, or where its next record would not fit.
        if (s.add == previous_add && s.offset == previous_end &&
            previous_size + MAX_RECORD_DATA <= cap) {
            fail_spans("adjacent records left in two spans");
        }
        if (s.add) {
            if (out.size() != original.size() + s.offset) {
                fail_spans("add data out of place");
            }
            out.insert(out.end(), s.data.data(), s.data.data() + s.size);
        } else {
            if (s.offset + s.size > original.size() || out.size() != original.size()) {
                fail_spans("a replace span past the original, or after add data");
            }
            std::memcpy(out.data() + s.offset, s.data.data(), s.size);
        }
        previous_end = s.offset + s.size;
        previous_size = s.size;
        previous_add = s.add;
    }
    std::fclose(file);
    if (event == SpanEvent::end) {
        if (want.fault != DW_OK || out != want.output) {
            fail_spans("accepted with another result than the reference's");
        }
    } else if (event != SpanEvent::invalid || s.reader.error != read_want.error ||
               s.reader.error_position != read_want.position) {
        fail_spans("refused otherwise than the record reader");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::size_t rest = size - 3;
    const std::size_t p_size = std::min<std::size_t>(rest, data[0] | std::size_t{data[1]} << 8);
    const std::size_t small_block = 1 + (data[2] & 0x3F);
    Bytes patch = (data[2] & 0x80) != 0 ? expected_header() : Bytes{};
    patch.insert(patch.end(), data + 3, data + 3 + p_size);
    const Bytes original(data + 3 + p_size, data + size);

    const ReferenceApply want = reference_apply(patch, original);
    check(run_apply(patch, original, small_block), want);
    check(run_apply(patch, original), want);

    const ReaderRun read = read_in_pieces(patch, original, original.size(), [&](std::size_t i) {
        return std::size_t{1} + (rest == 0 ? 0 : data[3 + i % rest] % 97);
    });
    const ReaderRun read_want = expected_reader_run(patch, original);
    if (read.left_unread || read.error != read_want.error || read.position != read_want.position ||
        read.output != read_want.output) {
        std::fprintf(stderr, "apply_fuzzer: record reader: %s at %llu, expected %s at %llu\n",
                     dw_error_text(read.error), static_cast<unsigned long long>(read.position),
                     dw_error_text(read_want.error),
                     static_cast<unsigned long long>(read_want.position));
        std::abort();
    }
    check_spans(patch, original, small_block, MAX_RECORD_DATA + 7 * small_block, read_want, want);
    std::size_t call = 0;
    const ReferenceApply streamed = apply_in_pieces(
        patch, original,
        [&] { return std::size_t{1} + (rest == 0 ? 0 : data[3 + call++ % rest] % 97); },
        small_block);
    if (streamed.fault != want.fault || streamed.position != want.position ||
        (want.fault == DW_OK &&
         (streamed.output != want.output || streamed.first_unchanged != want.first_unchanged ||
          streamed.any_changed != want.any_changed))) {
        std::fprintf(stderr, "apply_fuzzer: streaming applier: %s at %zu, reference %s at %zu\n",
                     dw_error_text(streamed.fault), streamed.position, dw_error_text(want.fault),
                     want.position);
        std::abort();
    }
    return 0;
}
