// What the caller's buffers of the public API hold: shared by the streaming
// applier and maker.
#pragma once

#include <deltawright/deltawright.h>

#include <cstddef>

// Bytes of `in` not yet consumed.
inline std::size_t available(const dw_in_buffer* in) {
    return in->pos < in->size ? in->size - in->pos : 0;
}

// Room left in `out`.
inline std::size_t room(const dw_out_buffer* out) {
    return out->pos < out->size ? out->size - out->pos : 0;
}
