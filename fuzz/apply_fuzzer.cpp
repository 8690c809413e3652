// Differential fuzzing of the applier with arbitrary patch bytes against an
// arbitrary original. An input is split: bytes 0-1 give the patch's length
// (little-endian, cut to what is there), byte 2 picks a small block size and,
// with its top bit set, puts the fixed 60-byte header before the patch so
// that most inputs reach the records; the rest is the patch followed by the
// original. The applier, at that small block size and at the default one,
// must never crash, must accept exactly what the reference reader accepts
// with the same output, and must refuse with the same rule at the same place.
// The public record reader and streaming applier are held to the same, fed
// in pieces whose sizes come from the input's own bytes, and so is the
// reading an update in place does: records taken whole from each block by
// the reader's fast path, the others by events, applied to the original,
// give the reference's output or the reader's refusal.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/whole_records.h"
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

[[noreturn]] void fail_records(const char* what) {
    std::fprintf(stderr, "apply_fuzzer: whole records: %s\n", what);
    std::abort();
}

// The reading an update in place does: records taken whole from each block
// by the reader's fast path, the others (cut by a block's end, or faulty)
// by dw_reader_next, applied to the original: the reference's output, or
// the record reader's refusal.
void check_records(const Bytes& patch, const Bytes& original, std::size_t block,
                   const ReaderRun& read_want, const ReferenceApply& want) {
    dw_reader reader;
    dw_reader_init(&reader, original.size());
    Bytes out = original;
    std::uint64_t added = 0;
    const auto take = [&](bool add, std::uint64_t offset, const std::uint8_t* bytes,
                          std::size_t n) {
        if (add) {
            if (out.size() != original.size() + added) {
                fail_records("add data out of place");
            }
            out.insert(out.end(), bytes, bytes + n);
            added += n;
        } else {
            if (offset + n > original.size() || out.size() != original.size()) {
                fail_records("a replace record past the original, or after add data");
            }
            std::memcpy(out.data() + offset, bytes, n);
        }
    };
    Bytes gathered;
    bool add = false;
    dw_read_event event = DW_READ_MORE;
    for (std::size_t at = 0; event != DW_READ_END && event != DW_READ_ERROR;) {
        const std::size_t n = std::min(block, patch.size() - at);
        dw_in_buffer in{patch.data() + at, n, 0};
        at += n;
        while (true) {
            take_whole_records(reader, in, [&](const RecordHead& head, const std::uint8_t* d) {
                take(head.command == COMMAND_ADD, head.offset, d, head.length);
                return true;
            });
            event = dw_reader_next(&reader, &in);
            if (event == DW_READ_MORE) {
                break;
            }
            if (event == DW_READ_REPLACE || event == DW_READ_ADD) {
                add = event == DW_READ_ADD;
                gathered.clear();
            } else if (event == DW_READ_DATA) {
                gathered.insert(gathered.end(), reader.data, reader.data + reader.data_size);
                if (gathered.size() == reader.length) {
                    take(add, reader.offset, gathered.data(), gathered.size());
                }
            } else {
                break;
            }
        }
        if (event == DW_READ_MORE && n == 0) {
            event = dw_reader_finish(&reader);
        }
    }
    if (event == DW_READ_END) {
        if (want.fault != DW_OK || out != want.output) {
            fail_records("accepted with another result than the reference's");
        }
    } else if (reader.error != read_want.error || reader.error_position != read_want.position) {
        fail_records("refused otherwise than the record reader");
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
    check_records(patch, original, small_block, read_want, want);
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
