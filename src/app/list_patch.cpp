#include "app/list_patch.h"

#include <deltawright/deltawright.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/apply_support.h"
#include "app/say.h"
#include "format/patch_layout.h"
#include "io/block_io.h"

namespace {

std::array<std::uint8_t, std::size_t{64} * 1024> block;

// A run of adjacent replace records: [offset, offset + size).
struct Run {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t records = 0;
};

struct Summary {
    std::uint64_t replace_records = 0, replaced = 0, add_records = 0, added = 0;
    // The last record's data bytes as its head says, and as the patch holds
    // them: fewer when the patch ends inside it. Only what it holds counts.
    std::uint64_t record_length = 0, record_held = 0;
    bool adding = false;
    std::uint64_t shortest_original = 0;  // the end of the last replace record
    Run current;                          // the run being read
    bool valid = true;
    dw_error error = DW_OK;
    std::uint64_t error_position = 0;
};

const char* plural(std::uint64_t n) {
    return n == 1 ? "" : "s";
}

// A JSON string that parses as UTF-8 JSON whatever `text` holds: control
// characters escaped, and each byte that is not part of well-formed UTF-8
// (a file name is any bytes) written as the lone surrogate \udcHH, as
// Python's "surrogateescape" reads it back to the byte.
std::string json_string(const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const std::size_t size = std::strlen(text);
    std::string out = "\"";
    for (std::size_t at = 0; at < size;) {
        const std::size_t n = utf8_length(bytes + at, size - at);
        const unsigned char byte = bytes[at];
        char escaped[8];
        if (n == 0) {
            std::snprintf(escaped, sizeof escaped, "\\udc%02x", byte);
            out += escaped;
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (is_control(bytes + at, n)) {
            const unsigned code = n == 2 ? bytes[at + 1] : byte;  // C1: U+0080 to U+009F
            std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
            out += escaped;
        } else {
            out.append(text + at, n);
        }
        at += n == 0 ? 1 : n;
    }
    return out + "\"";
}

// The patch ended inside a record's data: the record is counted with the
// bytes it holds.
bool cut_short(const Summary& s) {
    return !s.valid && s.error == DW_ERROR_TRUNCATED && s.record_held < s.record_length;
}

void print_run(const Run& run, bool json) {
    if (run.records == 0 || run.size == 0) {  // (a record cut before its first byte)
        return;
    }
    if (json) {
        std::printf("{\"replace\": {\"first\": %" PRIu64 ", \"last\": %" PRIu64
                    ", \"bytes\": %" PRIu64 ", \"records\": %" PRIu64 "}}\n",
                    run.offset, run.offset + run.size - 1, run.size, run.records);
    } else {
        std::printf("  replace bytes %" PRIu64 " to %" PRIu64 " (%" PRIu64 " byte%s, %" PRIu64
                    " record%s)\n",
                    run.offset, run.offset + run.size - 1, run.size, run.size == 1 ? "" : "s",
                    run.records, run.records == 1 ? "" : "s");
    }
}

void print_summary(const Summary& s, const char* name, bool json, std::uint64_t first,
                   std::uint64_t last) {
    const bool changes = s.replace_records > 0;
    if (json) {
        std::printf("{\"patch\": %s, \"valid\": %s", json_string(name).c_str(),
                    s.valid ? "true" : "false");
        if (!s.valid) {
            std::printf(", \"error\": %s, \"error_code\": %d, \"error_position\": %" PRIu64,
                        json_string(dw_error_text(s.error)).c_str(), static_cast<int>(s.error),
                        s.error_position);
            if (cut_short(s)) {
                std::printf(", \"cut_record_bytes\": %" PRIu64 ", \"cut_record_length\": %" PRIu64,
                            s.record_held, s.record_length);
            }
        }
        std::printf(", \"replace_records\": %" PRIu64 ", \"replaced_bytes\": %" PRIu64
                    ", \"add_records\": %" PRIu64 ", \"added_bytes\": %" PRIu64,
                    s.replace_records, s.replaced, s.add_records, s.added);
        if (changes) {
            std::printf(", \"first_replaced\": %" PRIu64 ", \"last_replaced\": %" PRIu64, first,
                        last);
        }
        std::printf(", \"shortest_original\": %" PRIu64
                    ", \"result_bytes_beyond_original\": %" PRIu64 "}\n",
                    s.shortest_original, s.added);
        return;
    }
    if (s.valid) {
        std::printf("  a valid patch\n");
    } else {
        std::printf("  an invalid patch: %s at byte %" PRIu64 ": %s",
                    s.error == DW_ERROR_HEADER ? "header" : "record", s.error_position,
                    dw_error_text(s.error));
        if (cut_short(s)) {
            std::printf(" (the last record holds %" PRIu64 " of its %" PRIu64
                        " data byte%s; only those are counted)",
                        s.record_held, s.record_length, plural(s.record_length));
        }
        if (s.replace_records + s.add_records > 0) {
            std::printf("; the lines above are what comes before it");
        }
        std::printf("\n");
    }
    std::printf("  %" PRIu64 " replace record%s replacing %" PRIu64 " byte%s, %" PRIu64
                " add record%s adding %" PRIu64 " byte%s\n",
                s.replace_records, plural(s.replace_records), s.replaced, plural(s.replaced),
                s.add_records, plural(s.add_records), s.added, plural(s.added));
    if (changes) {
        std::printf("  replaced bytes from %" PRIu64 " to %" PRIu64 "\n", first, last);
    } else {
        std::printf("  no byte of the original replaced\n");
    }
    std::printf("  applies to an original of at least %" PRIu64
                " byte%s; for one of N bytes the "
                "result is N + %" PRIu64 " byte%s\n",
                s.shortest_original, plural(s.shortest_original), s.added, plural(s.added));
}

}  // namespace

int list_patch(std::FILE* file, const char* name, bool json) {
    set_unbuffered(file);
    BlockInput input{file, block};
    dw_reader reader;
    dw_reader_init(&reader, DW_SIZE_UNKNOWN);
    Summary s;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    // Each run is printed as it ends and the summary after the last, so
    // that memory stays constant however many runs a patch has, on a pipe too.
    if (!json) {
        std::printf("%s:\n", printable(name).c_str());
    }
    bool ended = false;
    while (!ended) {
        dw_in_buffer in{block.data(), read_block(input), 0};
        if (input.failed) {
            say("error reading patch file %s: %s", name, std::strerror(input.error));
            return 2;
        }
        if (in.size == 0) {
            s.valid = dw_reader_finish(&reader) != DW_READ_ERROR;
            break;
        }
        dw_read_event event;
        while ((event = dw_reader_next(&reader, &in)) != DW_READ_MORE) {
            if (event == DW_READ_ERROR) {
                s.valid = false;
                ended = true;
                break;
            }
            // Bytes are counted as the data arrive, so that a record the
            // patch cuts short counts only what it holds.
            if (event == DW_READ_REPLACE) {
                if (s.replace_records == 0) {
                    first = reader.offset;
                }
                ++s.replace_records;
                if (s.current.records > 0 && s.current.offset + s.current.size == reader.offset) {
                    ++s.current.records;
                } else {
                    print_run(s.current, json);
                    s.current = {reader.offset, 0, 1};
                }
            } else if (event == DW_READ_ADD) {
                ++s.add_records;
            } else if (event == DW_READ_DATA) {
                s.record_held += reader.data_size;
                if (s.adding) {
                    s.added += reader.data_size;
                } else {
                    s.replaced += reader.data_size;
                    s.current.size += reader.data_size;
                    last = s.current.offset + s.current.size - 1;
                    s.shortest_original = last + 1;
                }
            }
            if (event == DW_READ_REPLACE || event == DW_READ_ADD) {
                s.adding = event == DW_READ_ADD;
                s.record_length = reader.length;
                s.record_held = 0;
            }
        }
    }
    if (!s.valid) {
        s.error = static_cast<dw_error>(reader.error);
        s.error_position = reader.error_position;
    }
    print_run(s.current, json);
    if (s.add_records > 0) {
        if (json) {
            std::printf("{\"add\": {\"bytes\": %" PRIu64 ", \"records\": %" PRIu64 "}}\n", s.added,
                        s.add_records);
        } else {
            std::printf("  add %" PRIu64 " byte%s at the original's end (%" PRIu64 " record%s)\n",
                        s.added, plural(s.added), s.add_records, plural(s.add_records));
        }
    }
    print_summary(s, name, json, first, last);
    return printed(s.valid ? EXIT_APPLIED : EXIT_INVALID_PATCH);
}
