#include "io/in_place.h"

#include <algorithm>
#include <cstring>

#include "scan/span_compare.h"

void start_spans(PatchSpans& s, std::uint64_t original_size) {
    dw_reader_init(&s.reader, original_size);
    s.piece = {s.patch.buffer.data(), 0, 0};
    s.added = 0;
    s.size = 0;
    s.held = false;
    s.finished = false;
}

SpanEvent next_span(PatchSpans& s) {
    s.size = 0;
    if (s.finished) {
        return SpanEvent::end;
    }
    bool open = s.held;  // a span has begun (its first record's head is read)
    if (s.held) {
        s.held = false;
        s.add = s.held_add;
        s.offset = s.held_offset;
    }
    while (true) {
        dw_read_event event = dw_reader_next(&s.reader, &s.piece);
        if (event == DW_READ_MORE) {
            const std::size_t n = read_block(s.patch);
            if (s.patch.failed) {
                return SpanEvent::read_error;
            }
            s.piece = {s.patch.buffer.data(), n, 0};
            if (n > 0) {
                continue;
            }
            event = dw_reader_finish(&s.reader);
        }
        switch (event) {
            case DW_READ_REPLACE:
            case DW_READ_ADD: {
                const bool add = event == DW_READ_ADD;
                const std::uint64_t at = add ? s.added : s.reader.offset;
                if (add) {
                    s.added += s.reader.length;
                }
                if (open && (add != s.add || at != s.offset + s.size ||
                             s.size + s.reader.length > s.data.size())) {
                    s.held = true;
                    s.held_add = add;
                    s.held_offset = at;
                    return SpanEvent::span;
                }
                if (!open) {
                    open = true;
                    s.add = add;
                    s.offset = at;
                }
                break;
            }
            case DW_READ_DATA:
                std::memcpy(s.data.data() + s.size, s.reader.data, s.reader.data_size);
                s.size += s.reader.data_size;
                break;
            case DW_READ_END:
                s.finished = true;
                return open ? SpanEvent::span : SpanEvent::end;
            case DW_READ_ERROR:
                return SpanEvent::invalid;
            case DW_READ_MORE:
                break;
        }
    }
}

namespace {

// Sorts one span's bytes into the shape an in-order update leaves: patched
// bytes, then unpatched ones. `held` is what the target holds there.
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
                            std::span<std::uint8_t> data, std::span<std::uint8_t> scratch) {
    PatchSpans s{patch, data};
    start_spans(s, target.size);
    InPlaceCheck c;
    while (true) {
        switch (next_span(s)) {
            case SpanEvent::span:
                if (s.add) {
                    c.adds = true;
                } else if (!read_target(target, s.offset, scratch.data(), s.size, c.run.reason)) {
                    c.run.outcome = Outcome::read_error;
                    c.run.stream = Stream::target;
                    return c;
                } else {
                    c.first_replaced = std::min(c.first_replaced, s.offset);
                    classify(c, s.offset, s.data.data(), scratch.data(), s.size);
                }
                break;
            case SpanEvent::end:
                return c;
            case SpanEvent::invalid:
                c.run =
                    patch_invalid(static_cast<dw_error>(s.reader.error), s.reader.error_position);
                return c;
            case SpanEvent::read_error:
                c.run = stream_failed(Outcome::read_error, Stream::patch, patch.error);
                return c;
        }
    }
}

namespace {

// The spans of the patch within `range`, each handed to `act(at, bytes,
// size, result)`, which returns false (with `result` set) to stop.
template <typename Act>
RunResult walk_written(BlockInput& patch, std::span<std::uint8_t> data, std::uint64_t original_size,
                       const WriteRange& range, Act act) {
    PatchSpans s{patch, data};
    start_spans(s, original_size);
    RunResult w;
    while (true) {
        switch (next_span(s)) {
            case SpanEvent::span: {
                std::uint64_t at = s.add ? range.add_at + s.offset : s.offset;
                std::uint64_t stop = std::min(at + s.size, range.end);
                if (!s.add) {
                    at = std::max(at, range.from);  // before it: already patched
                }
                if (at >= stop) {
                    break;
                }
                const std::uint8_t* bytes =
                    s.data.data() + (at - (s.add ? range.add_at + s.offset : s.offset));
                if (!act(at, bytes, static_cast<std::size_t>(stop - at), w)) {
                    return w;
                }
                break;
            }
            case SpanEvent::end:
                return w;
            case SpanEvent::invalid:  // it was valid when it was checked
                return stream_failed(Outcome::changed, Stream::patch, 0);
            case SpanEvent::read_error:
                return stream_failed(patch.digests != nullptr && patch.digests->changed
                                         ? Outcome::changed
                                         : Outcome::read_error,
                                     Stream::patch, patch.error);
        }
    }
}

}  // namespace

RunResult write_in_place(BlockInput& patch, const TargetFile& target, std::span<std::uint8_t> data,
                         std::uint64_t original_size, const WriteRange& range) {
    return walk_written(
        patch, data, original_size, range,
        [&target](std::uint64_t at, const std::uint8_t* bytes, std::size_t size, RunResult& w) {
            if (write_target(target, at, bytes, size, w.reason)) {
                return true;
            }
            w.outcome = Outcome::write_error;
            w.stream = Stream::target;
            return false;
        });
}

RunResult check_written(BlockInput& patch, const TargetFile& target, std::span<std::uint8_t> data,
                        std::span<std::uint8_t> scratch, std::uint64_t original_size,
                        const WriteRange& range) {
    return walk_written(patch, data, original_size, range,
                        [&target, scratch](std::uint64_t at, const std::uint8_t* bytes,
                                           std::size_t size, RunResult& w) {
                            if (!read_target(target, at, scratch.data(), size, w.reason)) {
                                w.outcome = Outcome::read_error;
                                w.stream = Stream::target;
                                return false;
                            }
                            const auto* held = scratch.data();
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
