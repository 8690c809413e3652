#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

Bytes to_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

namespace {

// A read-only FILE over a copy of the bytes (fmemopen needs a non-null buffer).
std::FILE* open_bytes(const Bytes& bytes, std::vector<std::uint8_t>& storage) {
    storage = bytes;
    storage.push_back(0);  // keeps data() valid for empty input; not part of the file
    return fmemopen(storage.data(), bytes.size(), "rb");
}

// Two in-memory inputs and an in-memory output, each behind a FILE and a
// block of the given size, as a program's run holds them. The blocks are
// allocated once: the fuzzers run millions of times.
struct MemoryRun {
    Bytes first_storage, second_storage;
    std::FILE* first_file = nullptr;
    std::FILE* second_file = nullptr;
    char* out_data = nullptr;
    std::size_t out_size = 0;
    std::FILE* out_file = nullptr;
    BlockInput first, second;
    BlockOutput out;

    MemoryRun(const Bytes& a, const Bytes& b, std::size_t block_size, std::size_t buffer_size) {
        static Bytes a_block(INPUT_BLOCK_SIZE), b_block(INPUT_BLOCK_SIZE),
            out_block(OUTPUT_BUFFER_SIZE);
        if (block_size == 0 || block_size > INPUT_BLOCK_SIZE || buffer_size == 0 ||
            buffer_size > OUTPUT_BUFFER_SIZE) {
            std::abort();
        }
        first_file = open_bytes(a, first_storage);
        second_file = open_bytes(b, second_storage);
        out_file = open_memstream(&out_data, &out_size);
        if (first_file == nullptr || second_file == nullptr || out_file == nullptr) {
            std::abort();
        }
        first = {first_file, std::span(a_block).first(block_size)};
        second = {second_file, std::span(b_block).first(block_size)};
        out = {out_file, std::span(out_block).first(buffer_size)};
    }
    MemoryRun(const MemoryRun&) = delete;
    MemoryRun& operator=(const MemoryRun&) = delete;
    // Closes the files and returns what was written.
    Bytes finish() {
        std::fclose(out_file);
        std::fclose(first_file);
        std::fclose(second_file);
        Bytes written(out_data, out_data + out_size);
        std::free(out_data);
        return written;
    }
};

}  // namespace

ScanRun run_scan(const Bytes& updated, const Bytes& original, std::size_t block_size,
                 std::size_t patch_buffer_size) {
    MemoryRun files(updated, original, block_size, patch_buffer_size);
    ScanRun run{ScanStatus::patch_write_error, {}};
    if (write_header(files.out)) {
        run.status = scan_files(files.first, files.second, files.out);
    }
    if (!flush_patch(files.out) && run.status == ScanStatus::complete) {
        run.status = ScanStatus::patch_write_error;
    }
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
        return {PatchFault::bad_header, 0, {}};
    }
    Bytes out = original;
    std::size_t at = header.size();
    std::size_t replace_end = 0;
    bool seen_add = false;
    while (at < patch.size()) {
        const std::size_t record = at;
        auto fault = [&](PatchFault f) { return ReferenceApply{f, record, {}}; };
        if (patch.size() - at < 6) {
            return fault(PatchFault::short_record);
        }
        const std::uint8_t command = patch[at];
        const std::size_t offset = patch[at + 1] | std::size_t{patch[at + 2]} << 8 |
                                   std::size_t{patch[at + 3]} << 16 |
                                   std::size_t{patch[at + 4]} << 24;
        const std::size_t length = patch[at + 5];
        at += 6;
        if (command > 1) {
            return fault(PatchFault::unknown_command);
        }
        if (length == 0) {
            return fault(PatchFault::zero_length);
        }
        if (command == 1 && offset != 0) {
            return fault(PatchFault::add_offset);
        }
        if (command == 0 && seen_add) {
            return fault(PatchFault::replace_after_add);
        }
        if (command == 0 && offset < replace_end) {
            return fault(PatchFault::replace_out_of_order);
        }
        if (patch.size() - at < length) {
            return fault(PatchFault::short_record);
        }
        if (command == 0 && offset + length > original.size()) {
            return fault(PatchFault::replace_past_end);
        }
        for (std::size_t k = 0; k < length; ++k) {
            if (command == 0) {
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
    return {PatchFault::none, 0, out};
}

ApplyRun run_apply(const Bytes& patch, const Bytes& original, std::size_t block_size,
                   std::size_t output_buffer_size) {
    MemoryRun files(patch, original, block_size, output_buffer_size);
    ApplyRun run{apply_patch(files.first, files.second, files.out), {}};
    run.output = files.finish();
    return run;
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
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::size_t o_size = pick(2) ? sizes[pick(std::size(sizes))] : pick(3000);
    const std::size_t u_size = pick(3) == 0 ? o_size : sizes[pick(std::size(sizes))] + pick(3);
    RandomPair pair{Bytes(u_size), Bytes(o_size)};
    for (auto& b : pair.original) {
        b = static_cast<std::uint8_t>(pick(4));  // few values: chance equal bytes
    }
    const std::size_t density = pick(5);  // 0: identical .. 4: all differ
    for (std::size_t i = 0; i < u_size; ++i) {
        const std::uint8_t same =
            i < o_size ? pair.original[i] : static_cast<std::uint8_t>(pick(256));
        const bool differ = density == 4 || (density > 0 && pick(4) < density);
        pair.updated[i] = differ ? static_cast<std::uint8_t>(same ^ (1 + pick(255))) : same;
    }
    // Long differing runs of chosen lengths at random places.
    if (pick(2) && u_size > 0) {
        const std::size_t start = pick(u_size);
        const std::size_t len = std::min(u_size - start, sizes[pick(std::size(sizes))]);
        for (std::size_t i = start; i < start + len && i < o_size; ++i) {
            pair.updated[i] = static_cast<std::uint8_t>(pair.original[i] ^ 0x80);
        }
    }
    return pair;
}
