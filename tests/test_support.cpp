#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    Bytes u_storage, o_storage;
    std::FILE* u_file = open_bytes(updated, u_storage);
    std::FILE* o_file = open_bytes(original, o_storage);
    char* out_data = nullptr;
    std::size_t out_size = 0;
    std::FILE* out_file = open_memstream(&out_data, &out_size);
    if (u_file == nullptr || o_file == nullptr || out_file == nullptr) {
        std::abort();
    }
    Bytes u_block(block_size), o_block(block_size), p_block(patch_buffer_size);
    ScanInput u{u_file, u_block};
    ScanInput o{o_file, o_block};
    PatchStream patch{out_file, p_block};
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
