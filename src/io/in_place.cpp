#include "io/in_place.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "format/whole_records.h"
#include "io/block_hasher.h"
#include "scan/span_compare.h"

namespace {

// How a walk over the patch's records ended.
enum class WalkEnd {
    end,         // after the last record: the patch is valid
    invalid,     // a rule is broken: the reader's error and position
    read_error,  // see patch.error (and its digests' `changed`)
    stopped,     // the record's handler said so
};

// Hands every record of the patch, whole, to `take(add, at, data, n)`: `at`
// is a replace record's position, or an add record's within the added
// bytes. Records whole in a block are taken from it with no copy; one that
// a block's end cuts is gathered into a record's worth of the stack first.
// `take` returns false to stop.
template <typename Take>
WalkEnd walk_records(BlockInput& patch, dw_reader& reader, Take take) {
    std::array<std::uint8_t, MAX_RECORD_DATA> gathered{};
    std::size_t got = 0;
    bool add = false;
    std::uint64_t added = 0;
    bool stopped = false;
    const auto give = [&](const RecordHead& head, const std::uint8_t* data) {
        const bool is_add = head.command == COMMAND_ADD;
        if (!take(is_add, is_add ? added : std::uint64_t{head.offset}, data,
                  std::size_t{head.length})) {
            stopped = true;
            return false;
        }
        if (is_add) {
            added += head.length;
        }
        return true;
    };
    dw_in_buffer in{patch.buffer.data(), 0, 0};
    while (true) {
        take_whole_records(reader, in, give);
        if (stopped) {
            return WalkEnd::stopped;
        }
        dw_read_event event = dw_reader_next(&reader, &in);
        if (event == DW_READ_MORE) {
            const std::size_t n = read_block(patch);
            if (patch.failed) {
                return WalkEnd::read_error;
            }
            in = {patch.buffer.data(), n, 0};
            if (n > 0) {
                continue;
            }
            event = dw_reader_finish(&reader);
        }
        switch (event) {
            case DW_READ_REPLACE:
            case DW_READ_ADD:
                add = event == DW_READ_ADD;
                got = 0;
                break;
            case DW_READ_DATA:
                std::memcpy(gathered.data() + got, reader.data, reader.data_size);
                got += reader.data_size;
                if (got == reader.length) {
                    const RecordHead head{add ? COMMAND_ADD : COMMAND_REPLACE, reader.offset,
                                          reader.length, 0};
                    if (!give(head, gathered.data())) {
                        return WalkEnd::stopped;
                    }
                }
                break;
            case DW_READ_END:
                return WalkEnd::end;
            case DW_READ_ERROR:
                return WalkEnd::invalid;
            case DW_READ_MORE:
                break;
        }
    }
}

// The target read in windows: one read covers the records that follow
// closely, and a window grows while records keep landing just past it.
// A record far from the last costs a read of one page.
struct TargetWindow {
    const TargetFile& target;
    std::span<std::uint8_t> buffer;
    std::uint64_t start = 0;
    std::size_t size = 0;
    std::size_t reach = TARGET_PAGE;
};

// The target's `n` bytes at `at` (n at most the buffer's size); null, with
// `reason`, when they cannot be read.
const std::uint8_t* window_at(TargetWindow& w, std::uint64_t at, std::size_t n,
                              std::string& reason) {
    if (at >= w.start && at + n <= w.start + w.size) {
        return w.buffer.data() + (at - w.start);
    }
    const bool near = w.size > 0 && at >= w.start && at < w.start + w.size + w.reach;
    w.reach = near ? std::min(w.reach * 2, w.buffer.size()) : std::size_t{TARGET_PAGE};
    std::size_t want = std::max(n, std::min(w.reach, w.buffer.size()));
    if (w.target.size >= at + n) {  // else the read of n fails, and says why
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, w.target.size - at));
    } else {
        want = n;
    }
    w.size = 0;
    if (!read_target(w.target, at, w.buffer.data(), want, reason)) {
        return nullptr;
    }
    w.start = at;
    w.size = want;
    return w.buffer.data();
}

// Sorts one record's bytes into the shape an in-order update leaves:
// patched bytes, then unpatched ones. `held` is what the target holds there.
void classify(InPlaceCheck& c, std::uint64_t offset, const std::uint8_t* patched,
              const std::uint8_t* held, std::size_t n) {
    if (c.patched_after != NO_POSITION) {
        return;  // the first break of the shape is the one reported
    }
    std::size_t at = 0;
    if (c.first_unpatched == NO_POSITION) {
        at = equal_prefix(patched, held, n);
        if (at == n) {
            return;
        }
        c.first_unpatched = offset + at;
    }
    const std::size_t k = at + differing_prefix(patched + at, held + at, n - at);
    if (k < n) {
        c.patched_after = offset + k;
    }
}

}  // namespace

InPlaceCheck check_in_place(BlockInput& patch, const TargetFile& target,
                            std::span<std::uint8_t> window) {
    dw_reader reader;
    dw_reader_init(&reader, target.size);
    TargetWindow w{target, window};
    InPlaceCheck c;
    const WalkEnd end = walk_records(
        patch, reader, [&](bool add, std::uint64_t at, const std::uint8_t* data, std::size_t n) {
            if (add) {
                c.adds = true;
                return true;
            }
            const std::uint8_t* held = window_at(w, at, n, c.run.reason);
            if (held == nullptr) {
                c.run.outcome = Outcome::read_error;
                c.run.stream = Stream::target;
                return false;
            }
            c.first_replaced = std::min(c.first_replaced, at);
            classify(c, at, data, held, n);
            return true;
        });
    if (end == WalkEnd::invalid) {
        c.run = patch_invalid(static_cast<dw_error>(reader.error), reader.error_position);
    } else if (end == WalkEnd::read_error) {
        c.run = stream_failed(Outcome::read_error, Stream::patch, patch.error);
    }
    return c;
}

namespace {

// The records' data within `range`, each handed to `act(at, bytes, size,
// result)`, which returns false (with `result` set) to stop.
template <typename Act>
RunResult walk_written(BlockInput& patch, std::uint64_t original_size, const WriteRange& range,
                       Act act) {
    dw_reader reader;
    dw_reader_init(&reader, original_size);
    RunResult w;
    const WalkEnd end = walk_records(
        patch, reader,
        [&](bool add, std::uint64_t offset, const std::uint8_t* data, std::size_t n) {
            const std::uint64_t first = add ? range.add_at + offset : offset;
            std::uint64_t at = add ? first : std::max(first, range.from);  // before: patched
            const std::uint64_t stop = std::min(first + n, range.end);
            return at >= stop ||
                   act(at, data + (at - first), static_cast<std::size_t>(stop - at), w);
        });
    switch (end) {
        case WalkEnd::end:
        case WalkEnd::stopped:
            return w;
        case WalkEnd::invalid:  // it was valid when it was checked
            return stream_failed(Outcome::changed, Stream::patch, 0);
        case WalkEnd::read_error:
            break;
    }
    const BlockDigests* d =
        patch.digest_worker != nullptr ? patch.digest_worker->blocks : patch.digests;
    return stream_failed(d != nullptr && d->changed ? Outcome::changed : Outcome::read_error,
                         Stream::patch, patch.error);
}

// The span being collected for one write: the records' data at their
// places, and between them the target's bytes, read ahead from the end of
// what the span holds.
struct WriteSpan {
    const TargetFile& target;
    std::span<std::uint8_t> data;
    std::uint64_t start = 0;
    std::size_t size = 0;    // to the end of its last record
    std::size_t filled = 0;  // bytes from its start that hold the span's content
    bool open = false;
};

// The target's bytes read ahead at a gap between records: enough for the
// gaps of the next few dense records, at little cost to a sparse patch.
inline constexpr std::size_t GAP_READ_AHEAD = std::size_t{64} * 1024;

bool flush_span(WriteSpan& s, RunResult& w) {
    s.open = false;
    if (write_target(s.target, s.start, s.data.data(), s.size, w.reason)) {
        return true;
    }
    w.outcome = Outcome::write_error;
    w.stream = Stream::target;
    return false;
}

bool put_in_span(WriteSpan& s, std::uint64_t at, const std::uint8_t* bytes, std::size_t n,
                 RunResult& w) {
    if (s.open) {
        const std::uint64_t last = s.start + s.size - 1;  // its last byte, a change
        const bool joins =
            at + n - s.start <= s.data.size() && at / TARGET_PAGE <= last / TARGET_PAGE + 1;
        if (!joins && !flush_span(s, w)) {
            return false;
        }
    }
    if (!s.open) {
        s.open = true;
        s.start = at;
        s.size = 0;
        s.filled = 0;
    }
    const auto from = static_cast<std::size_t>(at - s.start);
    if (from > s.filled) {  // a gap: the target's own bytes
        const std::size_t to = static_cast<std::size_t>(
            std::min<std::uint64_t>({std::max(from, s.filled + GAP_READ_AHEAD), s.data.size(),
                                     std::max(s.target.size, at) - s.start}));
        if (!read_target(s.target, s.start + s.filled, s.data.data() + s.filled, to - s.filled,
                         w.reason)) {
            w.outcome = Outcome::read_error;
            w.stream = Stream::target;
            return false;
        }
        s.filled = to;
    }
    std::memcpy(s.data.data() + from, bytes, n);
    s.size = from + n;
    s.filled = std::max(s.filled, s.size);
    return true;
}

}  // namespace

RunResult write_in_place(BlockInput& patch, const TargetFile& target, std::span<std::uint8_t> span,
                         std::uint64_t original_size, const WriteRange& range) {
    WriteSpan s{target, span};
    RunResult w = walk_written(patch, original_size, range,
                               [&s](std::uint64_t at, const std::uint8_t* bytes, std::size_t size,
                                    RunResult& r) { return put_in_span(s, at, bytes, size, r); });
    if (w.outcome == Outcome::done && s.open) {
        flush_span(s, w);
    }
    return w;
}

RunResult check_written(BlockInput& patch, const TargetFile& target, std::span<std::uint8_t> window,
                        std::uint64_t original_size, const WriteRange& range) {
    TargetWindow tw{target, window};
    return walk_written(
        patch, original_size, range,
        [&tw](std::uint64_t at, const std::uint8_t* bytes, std::size_t size, RunResult& w) {
            const std::uint8_t* held = window_at(tw, at, size, w.reason);
            if (held == nullptr) {
                w.outcome = Outcome::read_error;
                w.stream = Stream::target;
                return false;
            }
            const auto differ = std::mismatch(bytes, bytes + size, held);
            if (differ.first == bytes + size) {
                return true;
            }
            w.outcome = Outcome::differs;
            w.stream = Stream::target;
            w.position = at + static_cast<std::uint64_t>(differ.first - bytes);
            return false;
        });
}
