#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <utility>

Bytes to_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

bool exhaustive() {
    const char* value = std::getenv("DELTAWRIGHT_EXHAUSTIVE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

std::uint32_t cut_stride(std::uint32_t stride) {
    return exhaustive() ? 1 : stride;
}

#if defined(__GLIBC__)
std::FILE* open_bytes(const Bytes& bytes, Bytes& storage) {
    storage = bytes;
    storage.push_back(0);  // keeps data() valid for empty input; not part of the file
    return fmemopen(storage.data(), bytes.size(), "rb");
}

void open_sink(Sink& sink, bool full) {
    if (!full) {
        sink.file = open_memstream(&sink.data, &sink.size);
        return;
    }
    sink.file = std::fopen("/dev/full", "wb");
    if (sink.file != nullptr) {
        std::setvbuf(sink.file, nullptr, _IONBF, 0);  // so the very first write fails
    }
}

Bytes close_sink(Sink& sink) {
    std::fclose(sink.file);
    Bytes written(sink.data, sink.data + sink.size);
    std::free(sink.data);
    sink = {};
    return written;
}

namespace {

ssize_t read_failing(void* cookie, char* buf, std::size_t n) {
    auto& in = *static_cast<FailingInput*>(cookie);
    if (in.at == in.good && in.at < in.bytes.size()) {
        errno = EIO;
        return -1;
    }
    n = std::min({n, in.bytes.size() - in.at, in.good - in.at});
    if (n > 0) {
        std::memcpy(buf, in.bytes.data() + in.at, n);
    }
    in.at += n;
    return static_cast<ssize_t>(n);
}

}  // namespace

std::FILE* open_failing(FailingInput& in) {
    return fopencookie(&in, "rb", cookie_io_functions_t{read_failing, nullptr, nullptr, nullptr});
}

#else
// No memory streams: temporary files, removed again when closed.
namespace {
std::string temporary_path() {
    static unsigned counter = 0;
    return (std::filesystem::temp_directory_path() /
            ("deltawright_test_" + std::to_string(counter++) + ".bin"))
        .string();
}
}  // namespace

std::FILE* open_bytes(const Bytes& bytes, Bytes& storage) {
    storage.clear();
    const std::string path = temporary_path();
    std::FILE* file = std::fopen(path.c_str(), "w+b");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        std::abort();
    }
    std::rewind(file);
    std::remove(path.c_str());  // where the system cannot remove an open file, it stays behind
    return file;
}

void open_sink(Sink& sink, bool full) {
    if (full) {
        return;  // no such device here: the file stays null
    }
    sink.path = temporary_path();
    sink.file = std::fopen(sink.path.c_str(), "w+b");
}

Bytes close_sink(Sink& sink) {
    std::fflush(sink.file);
    std::rewind(sink.file);
    Bytes written;
    int c = 0;
    while ((c = std::fgetc(sink.file)) != EOF) {
        written.push_back(static_cast<std::uint8_t>(c));
    }
    std::fclose(sink.file);
    std::remove(sink.path.c_str());
    sink = {};
    return written;
}

std::FILE* open_failing(FailingInput&) {
    return nullptr;
}

#endif

namespace {

// Two in-memory inputs and an in-memory output, each input behind a FILE and
// a block of the given size, as a program's run holds them. The blocks are
// allocated once: the fuzzers run millions of times.
struct MemoryRun {
    Bytes first_storage, second_storage;
    std::FILE* first_file = nullptr;
    std::FILE* second_file = nullptr;
    Sink sink;
    BlockInput first, second;
    FileOutput out;
    std::span<std::uint8_t> out_block;

    MemoryRun(const Bytes& a, const Bytes& b, std::size_t block_size, std::size_t buffer_size) {
        static Bytes a_block(BLOCK_SIZE), b_block(BLOCK_SIZE), patch_block(BLOCK_SIZE);
        if (block_size == 0 || block_size > BLOCK_SIZE || buffer_size == 0 ||
            buffer_size > BLOCK_SIZE) {
            std::abort();
        }
        first_file = open_bytes(a, first_storage);
        second_file = open_bytes(b, second_storage);
        open_sink(sink);
        if (first_file == nullptr || second_file == nullptr || sink.file == nullptr) {
            std::abort();
        }
        first = {first_file, std::span(a_block).first(block_size)};
        second = {second_file, std::span(b_block).first(block_size)};
        out = {sink.file};
        out_block = std::span(patch_block).first(buffer_size);
    }
    MemoryRun(const MemoryRun&) = delete;
    MemoryRun& operator=(const MemoryRun&) = delete;
    // Closes the files and returns what was written.
    Bytes finish() {
        std::fclose(first_file);
        std::fclose(second_file);
        return close_sink(sink);
    }
};

}  // namespace

ScanRun run_scan(const Bytes& updated, const Bytes& original, std::size_t block_size,
                 std::size_t patch_buffer_size) {
    MemoryRun files(updated, original, block_size, patch_buffer_size);
    ScanRun run{make_patch(files.first, files.second, files.out_block, files.out), {}};
    run.patch = files.finish();
    return run;
}

Bytes expected_header() {
    Bytes h = to_bytes("DLT40");
    h.push_back(0xFF);
    h.resize(60, 0x00);
    return h;
}

void append_expected_record(Bytes& out, std::uint8_t command, std::uint32_t offset,
                            const Bytes& data) {
    out.push_back(command);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(offset >> shift));
    }
    out.push_back(static_cast<std::uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

// Byte-at-a-time, with end of file seen only after a read fails, as the tool
// is described: compare u with o, collect differing bytes, close a record at
// 255 bytes or at an equal byte; when the original ends first, write the
// pending record and copy the rest of the updated file into add records.
Bytes reference_patch(const Bytes& updated, const Bytes& original) {
    Bytes out = expected_header();
    std::uint8_t command = 0;
    std::uint32_t offset = 0;
    Bytes data;
    auto flush = [&] {
        if (!data.empty()) {
            append_expected_record(out, command, offset, data);
        }
        offset = 0;
        data.clear();
    };
    std::size_t ui = 0, oi = 0;
    auto read = [](const Bytes& f, std::size_t& i, int& b) {
        b = i < f.size() ? f[i] : -1;
        ++i;
    };
    int u = 0, o = 0;
    read(updated, ui, u);
    read(original, oi, o);
    while (u != -1) {
        if (o == -1) {
            flush();
            command = 1;
            while (u != -1) {
                data.push_back(static_cast<std::uint8_t>(u));
                if (data.size() == 255) {
                    flush();
                }
                read(updated, ui, u);
            }
            flush();
            return out;
        }
        if (u != o) {
            if (data.empty()) {
                offset = static_cast<std::uint32_t>(oi - 1);
            }
            data.push_back(static_cast<std::uint8_t>(u));
            if (data.size() == 255) {
                flush();
            }
        } else {
            flush();
        }
        read(original, oi, o);
        read(updated, ui, u);
    }
    flush();
    return out;
}

ReferenceApply reference_apply(const Bytes& patch, const Bytes& original) {
    const Bytes header = expected_header();
    if (patch.size() < header.size() || !std::equal(header.begin(), header.end(), patch.begin())) {
        return {DW_ERROR_HEADER, 0, {}};
    }
    Bytes out = original;
    std::size_t at = header.size();
    std::size_t replace_end = 0;
    bool seen_add = false;
    std::uint64_t first_unchanged = UINT64_MAX;
    bool any_changed = false;
    while (at < patch.size()) {
        const std::size_t record = at;
        auto fault = [&](dw_error f) { return ReferenceApply{f, record, {}}; };
        if (patch.size() - at < 6) {
            return fault(DW_ERROR_TRUNCATED);
        }
        const std::uint8_t command = patch[at];
        const std::size_t offset = patch[at + 1] | std::size_t{patch[at + 2]} << 8 |
                                   std::size_t{patch[at + 3]} << 16 |
                                   std::size_t{patch[at + 4]} << 24;
        const std::size_t length = patch[at + 5];
        at += 6;
        if (command > 1) {
            return fault(DW_ERROR_UNKNOWN_COMMAND);
        }
        if (length == 0) {
            return fault(DW_ERROR_ZERO_LENGTH);
        }
        if (command == 1 && offset != 0) {
            return fault(DW_ERROR_ADD_OFFSET);
        }
        if (command == 0 && seen_add) {
            return fault(DW_ERROR_REPLACE_AFTER_ADD);
        }
        if (command == 0 && offset < replace_end) {
            return fault(DW_ERROR_REPLACE_ORDER);
        }
        if (patch.size() - at < length) {
            return fault(DW_ERROR_TRUNCATED);
        }
        if (command == 0 && offset + length > original.size()) {
            return fault(DW_ERROR_PAST_ORIGINAL);
        }
        for (std::size_t k = 0; k < length; ++k) {
            if (command == 0) {
                if (out[offset + k] == patch[at + k]) {
                    first_unchanged = std::min<std::uint64_t>(first_unchanged, offset + k);
                } else {
                    any_changed = true;
                }
                out[offset + k] = patch[at + k];
            } else {
                out.push_back(patch[at + k]);
            }
        }
        if (command == 0) {
            replace_end = offset + length;
        } else {
            seen_add = true;
        }
        at += length;
    }
    return {DW_OK, 0, out, first_unchanged, any_changed};
}

ApplyRun run_apply(const Bytes& patch, const Bytes& original, std::size_t block_size) {
    MemoryRun files(patch, original, block_size, 1);
    ApplyRun run{apply_patch(files.first, files.second, files.out), {}};
    run.output = files.finish();
    return run;
}

RunResult run_check(const Bytes& updated, const Bytes& patch, const Bytes& original,
                    std::size_t block_size) {
    MemoryRun files(patch, original, block_size, 1);
    Bytes storage;
    std::FILE* updated_file = open_bytes(updated, storage);
    static Bytes updated_block(BLOCK_SIZE);
    BlockInput u{updated_file, std::span(updated_block).first(block_size)};
    RunResult result = check_patch(u, files.first, files.second);
    std::fclose(updated_file);
    files.finish();
    return result;
}

namespace {

// Second and third blocks of the sealed runs' inputs.
std::span<std::uint8_t> spare_block(int which, std::size_t block_size) {
    static Bytes blocks[4] = {Bytes(BLOCK_SIZE), Bytes(BLOCK_SIZE), Bytes(BLOCK_SIZE),
                              Bytes(BLOCK_SIZE)};
    return std::span(blocks[which]).first(block_size);
}

std::vector<Bytes> seal_digests(Sealing& seal) {
    std::vector<Bytes> d(3, Bytes(DW_SHA256_SIZE));
    finish_sealing(seal, d[0].data(), d[1].data(), d[2].data());
    return d;
}

}  // namespace

SealedRun run_sealed_apply(const Bytes& patch, const Bytes& original, std::size_t block_size) {
    MemoryRun files(patch, original, block_size, 1);
    files.first.spare = spare_block(0, block_size);
    files.second.spare = spare_block(1, block_size);
    files.second.third = spare_block(2, block_size);
    Sealing seal;
    start_sealing(seal);
    SealedRun run{apply_patch(files.first, files.second, files.out, &seal), {}, {}};
    run.digests = seal_digests(seal);
    run.output = files.finish();
    return run;
}

SealedRun run_sealed_check(const Bytes& updated, const Bytes& patch, const Bytes& original,
                           std::size_t block_size) {
    MemoryRun files(patch, original, block_size, 1);
    files.first.spare = spare_block(0, block_size);
    files.second.spare = spare_block(1, block_size);
    Bytes storage;
    std::FILE* updated_file = open_bytes(updated, storage);
    static Bytes updated_block(BLOCK_SIZE);
    BlockInput u{updated_file, std::span(updated_block).first(block_size),
                 spare_block(3, block_size)};
    Sealing seal;
    start_sealing(seal);
    SealedRun run{check_patch(u, files.first, files.second, &seal), {}, {}};
    run.digests = seal_digests(seal);
    std::fclose(updated_file);
    files.finish();
    return run;
}

Bytes sha256_of(const Bytes& bytes) {
    Bytes digest(DW_SHA256_SIZE);
    dw_sha256 hash;
    dw_sha256_init(&hash);
    dw_sha256_update(&hash, bytes.data(), bytes.size());
    dw_sha256_final(&hash, digest.data());
    return digest;
}

Bytes expected_apply_output(const Bytes& updated, const Bytes& original) {
    Bytes out = updated;
    if (updated.size() < original.size()) {
        out.insert(out.end(), original.begin() + static_cast<long>(updated.size()), original.end());
    }
    return out;
}

RandomPair random_pair(std::mt19937_64& rng) {
    const std::size_t sizes[] = {0, 1, 2, 254, 255, 256, 509, 510, 511, 1000, 4099};
    const std::size_t o_size = pick(rng, 2) ? sizes[pick(rng, std::size(sizes))] : pick(rng, 3000);
    const std::size_t u_size =
        pick(rng, 3) == 0 ? o_size : sizes[pick(rng, std::size(sizes))] + pick(rng, 3);
    RandomPair pair{Bytes(u_size), Bytes(o_size)};
    for (auto& b : pair.original) {
        b = static_cast<std::uint8_t>(pick(rng, 4));  // few values: chance equal bytes
    }
    const std::size_t density = pick(rng, 5);  // 0: identical .. 4: all differ
    for (std::size_t i = 0; i < u_size; ++i) {
        const std::uint8_t same =
            i < o_size ? pair.original[i] : static_cast<std::uint8_t>(pick(rng, 256));
        const bool differ = density == 4 || (density > 0 && pick(rng, 4) < density);
        pair.updated[i] = differ ? static_cast<std::uint8_t>(same ^ (1 + pick(rng, 255))) : same;
    }
    // Long differing runs of chosen lengths at random places.
    if (pick(rng, 2) && u_size > 0) {
        const std::size_t start = pick(rng, u_size);
        const std::size_t len = std::min(u_size - start, sizes[pick(rng, std::size(sizes))]);
        for (std::size_t i = start; i < start + len && i < o_size; ++i) {
            pair.updated[i] = static_cast<std::uint8_t>(pair.original[i] ^ 0x80);
        }
    }
    return pair;
}

void corrupt(std::mt19937_64& rng, Bytes& patch, Bytes& original) {
    switch (pick(rng, 4)) {
        case 0:  // flip a few bytes anywhere
            for (std::size_t k = 1 + pick(rng, 3); k > 0 && !patch.empty(); --k) {
                patch[pick(rng, patch.size())] ^= static_cast<std::uint8_t>(1 + pick(rng, 255));
            }
            break;
        case 1:  // cut anywhere
            patch.resize(pick(rng, patch.size() + 1));
            break;
        case 2:  // a shorter original: replace records may reach past its end
            original.resize(pick(rng, original.size() + 1));
            break;
        default:  // one record with random fields appended
            append_expected_record(patch, static_cast<std::uint8_t>(pick(rng, 3)),
                                   static_cast<std::uint32_t>(pick(rng, original.size() + 300)),
                                   Bytes(pick(rng, 256), 'r'));
            break;
    }
}

ReaderRun read_in_pieces(const Bytes& patch, const Bytes& original, std::uint64_t original_size,
                         const std::function<std::size_t(std::size_t)>& piece) {
    ReaderRun run;
    run.output = original;
    dw_reader reader;
    dw_reader_init(&reader, original_size);
    std::size_t fed = 0;
    std::size_t write_at = 0;
    bool adding = false;
    dw_read_event event = DW_READ_MORE;
    for (std::size_t i = 0; fed < patch.size() && event != DW_READ_ERROR; ++i) {
        const std::size_t size = std::min<std::size_t>(piece(i), patch.size() - fed);
        dw_in_buffer in{patch.data() + fed, size, 0};
        while ((event = dw_reader_next(&reader, &in)) != DW_READ_MORE && event != DW_READ_ERROR) {
            if (event == DW_READ_REPLACE || event == DW_READ_ADD) {
                adding = event == DW_READ_ADD;
                write_at = reader.offset;
            } else if (event == DW_READ_DATA && adding) {
                run.output.insert(run.output.end(), reader.data, reader.data + reader.data_size);
            } else if (event == DW_READ_DATA) {
                std::memcpy(run.output.data() + write_at, reader.data, reader.data_size);
                write_at += reader.data_size;
            }
        }
        if (event != DW_READ_ERROR && in.pos != in.size) {
            run.left_unread = true;
        }
        fed += size;
    }
    if (event != DW_READ_ERROR) {
        event = dw_reader_finish(&reader);
    }
    if (event == DW_READ_ERROR) {
        run.error = static_cast<dw_error>(reader.error);
        run.position = reader.error_position;
        run.output.clear();
    } else if (event != DW_READ_END || reader.position != patch.size()) {
        run.left_unread = true;
    }
    return run;
}

ReaderRun expected_reader_run(const Bytes& patch, const Bytes& original) {
    const ReferenceApply ref = reference_apply(patch, original);
    return ReaderRun{static_cast<dw_error>(ref.fault), ref.position, ref.output};
}

ReferenceApply apply_in_pieces(const Bytes& patch, const Bytes& original,
                               const std::function<std::size_t()>& piece, std::size_t out_size) {
    dw_applier applier;
    dw_applier_init(&applier);
    std::size_t patch_fed = 0;
    std::size_t original_fed = 0;
    dw_in_buffer p{patch.data(), 0, 0};
    dw_in_buffer o{original.data(), 0, 0};
    Bytes out_block(out_size);
    dw_out_buffer out{out_block.data(), out_size, 0};
    ReferenceApply run;
    for (int calls = 0; calls < 10'000'000; ++calls) {
        const dw_apply_status status = dw_apply(&applier, &p, &o, &out);
        if (status == DW_APPLY_NEED_OUTPUT || status == DW_APPLY_DONE) {
            run.output.insert(run.output.end(), out_block.begin(),
                              out_block.begin() + static_cast<long>(out.pos));
            out.pos = 0;
            if (status == DW_APPLY_DONE) {
                run.first_unchanged = applier.first_unchanged;
                run.any_changed = applier.any_changed != 0;
                return run;
            }
        } else if (status == DW_APPLY_NEED_PATCH) {
            patch_fed += p.pos;
            const std::size_t n = std::min(piece(), patch.size() - patch_fed);
            p = {patch.data() + patch_fed, n, 0};
            if (n == 0) {
                dw_applier_end_patch(&applier);
            }
        } else if (status == DW_APPLY_NEED_ORIGINAL) {
            original_fed += o.pos;
            const std::size_t n = std::min(piece(), original.size() - original_fed);
            o = {original.data() + original_fed, n, 0};
            if (n == 0) {
                dw_applier_end_original(&applier);
            }
        } else {
            run.fault = static_cast<dw_error>(applier.reader.error);
            run.position = applier.reader.error_position;
            return run;
        }
    }
    run.fault = DW_OK;
    run.position = SIZE_MAX;  // no progress: never what a reference says
    return run;
}

PatchCase random_patch_case(std::mt19937_64& rng, bool spoiled) {
    auto [updated, original] = random_pair(rng);
    PatchCase c{run_scan(updated, original).patch, std::move(original)};
    if (spoiled) {
        corrupt(rng, c.patch, c.original);
    }
    return c;
}

Bytes make_in_pieces(const Bytes& updated, const Bytes& original,
                     const std::function<std::size_t()>& piece, std::size_t out_size) {
    dw_maker maker;
    dw_maker_init(&maker);
    const Bytes* inputs[] = {&updated, &original};
    std::size_t fed[] = {0, 0};
    dw_in_buffer in[] = {{updated.data(), 0, 0}, {original.data(), 0, 0}};
    Bytes block(out_size);
    dw_out_buffer out{block.data(), out_size, 0};
    Bytes patch;
    while (true) {
        const dw_make_status status = dw_make(&maker, &in[0], &in[1], &out);
        if (status == DW_MAKE_NEED_OUTPUT || status == DW_MAKE_DONE) {
            patch.insert(patch.end(), block.begin(), block.begin() + static_cast<long>(out.pos));
            out.pos = 0;
            if (status == DW_MAKE_DONE) {
                return patch;
            }
        } else if (status == DW_MAKE_NEED_UPDATED || status == DW_MAKE_NEED_ORIGINAL) {
            const int which = status == DW_MAKE_NEED_UPDATED ? 0 : 1;
            fed[which] += in[which].pos;
            const std::size_t n = std::min(piece(), inputs[which]->size() - fed[which]);
            in[which] = {inputs[which]->data() + fed[which], n, 0};
            if (n == 0) {
                (which == 0 ? dw_maker_end_updated : dw_maker_end_original)(&maker);
            }
        } else {
            return {};  // a run of differences beyond 4 GiB: not in memory here
        }
    }
}
