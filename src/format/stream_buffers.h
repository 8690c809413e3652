// What the caller's buffers of the public API hold: shared by the streaming
// applier and maker.
#pragma once

#include <deltawright/deltawright.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// Bytes of `in` not yet consumed.
inline std::size_t available(const dw_in_buffer* in) {
    return in->pos < in->size ? in->size - in->pos : 0;
}

// Room left in `out`.
inline std::size_t room(const dw_out_buffer* out) {
    return out->pos < out->size ? out->size - out->pos : 0;
}

// memcpy for buffers that may be empty: an empty buffer may have a null
// pointer ({NULL, 0, 0} is valid everywhere), and memcpy must not be given
// one, even for no bytes.
inline void copy_bytes(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    if (n > 0) {
        std::memcpy(to, from, n);
    }
}
