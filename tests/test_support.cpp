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

}  // namespace

ScanRun run_scan(const Bytes& updated, const Bytes& original, std::size_t block_size,
                 std::size_t patch_buffer_size) {
    // Allocated once: the fuzzer calls this millions of times.
    static Bytes u_block(SCAN_BLOCK_SIZE), o_block(SCAN_BLOCK_SIZE), p_block(PATCH_BUFFER_SIZE);
    if (block_size == 0 || block_size > SCAN_BLOCK_SIZE || patch_buffer_size == 0 ||
        patch_buffer_size > PATCH_BUFFER_SIZE) {
        std::abort();
    }
    Bytes u_storage, o_storage;
    std::FILE* u_file = open_bytes(updated, u_storage);
    std::FILE* o_file = open_bytes(original, o_storage);
    char* out_data = nullptr;
    std::size_t out_size = 0;
    std::FILE* out_file = open_memstream(&out_data, &out_size);
    if (u_file == nullptr || o_file == nullptr || out_file == nullptr) {
        std::abort();
    }
    ScanInput u{u_file, std::span(u_block).first(block_size)};
    ScanInput o{o_file, std::span(o_block).first(block_size)};
    PatchStream patch{out_file, std::span(p_block).first(patch_buffer_size)};
    ScanRun run{ScanStatus::patch_write_error, {}};
    if (write_header(patch)) {
        run.status = scan_files(u, o, patch);
    }
    if (!flush_patch(patch) && run.status == ScanStatus::complete) {
        run.status = ScanStatus::patch_write_error;
    }
    std::fclose(out_file);
    std::fclose(u_file);
    std::fclose(o_file);
    run.patch.assign(out_data, out_data + out_size);
    std::free(out_data);
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

std::string apply_patch(const Bytes& patch, const Bytes& original, Bytes& applied) {
    if (patch.size() < 60 ||
        !std::equal(patch.begin(), patch.begin() + 60, expected_header().begin())) {
        return "bad header";
    }
    applied = original;
    std::size_t at = 60;
    std::uint64_t replace_end = 0;  // the first position a next replace may start at
    bool seen_add = false;
    while (at < patch.size()) {
        if (patch.size() - at < 6) {
            return "truncated record head at " + std::to_string(at);
        }
        const std::uint8_t command = patch[at];
        std::uint32_t offset = 0;
        for (int k = 0; k < 4; ++k) {
            offset |= static_cast<std::uint32_t>(patch[at + 1 + static_cast<std::size_t>(k)])
                      << (8 * k);
        }
        const std::size_t length = patch[at + 5];
        at += 6;
        if (length == 0 || patch.size() - at < length) {
            return "bad record length at " + std::to_string(at - 6);
        }
        const auto data = patch.begin() + static_cast<long>(at);
        if (command == 0) {
            if (seen_add || offset < replace_end || offset + length > original.size()) {
                return "replace record out of place at " + std::to_string(at - 6);
            }
            std::copy(data, data + static_cast<long>(length), applied.begin() + offset);
            replace_end = offset + length;
        } else if (command == 1) {
            if (offset != 0) {
                return "add record with an offset at " + std::to_string(at - 6);
            }
            seen_add = true;
            applied.insert(applied.end(), data, data + static_cast<long>(length));
        } else {
            return "unknown command at " + std::to_string(at - 6);
        }
        at += length;
    }
    return "";
}
