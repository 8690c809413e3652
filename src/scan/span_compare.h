// The two searches of the scan's hot loop: how far two byte spans stay equal,
// and how far they stay different. SSE2 compares 16 bytes at a step where the
// compiler targets it (every x86-64); short spans, and every span elsewhere,
// go 8-byte word by word.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace span_compare {

inline constexpr bool LITTLE_ENDIAN_HOST = std::endian::native == std::endian::little;
inline constexpr std::uint64_t LOW_BITS = 0x0101010101010101;
inline constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;

inline std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Index, in memory order, of the lowest-addressed non-zero byte of a non-zero word.
inline std::size_t first_set_byte(std::uint64_t w) {
    if constexpr (LITTLE_ENDIAN_HOST) {
        return static_cast<std::size_t>(std::countr_zero(w)) / 8;
    } else {
        return static_cast<std::size_t>(std::countl_zero(w)) / 8;
    }
}

#if defined(__SSE2__)
// Bit k set when a[k] == b[k], for the 16 bytes at a and b.
inline unsigned equal_mask16(const std::uint8_t* a, const std::uint8_t* b) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(va, vb)));
}
#endif

}  // namespace span_compare

// Number of leading positions at which a and b hold equal bytes, at most n.
// Equal spans are the common case, so they are skipped 64 bytes at a step.
inline std::size_t equal_prefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    using namespace span_compare;
    std::size_t i = 0;
#if defined(__SSE2__)
    if (n >= 16) {
        constexpr unsigned ALL = 0xFFFF;
        while (n - i >= 64 && (equal_mask16(a + i, b + i) & equal_mask16(a + i + 16, b + i + 16) &
                               equal_mask16(a + i + 32, b + i + 32) &
                               equal_mask16(a + i + 48, b + i + 48)) == ALL) {
            i += 64;
        }
        while (n - i >= 16) {
            const unsigned differ = equal_mask16(a + i, b + i) ^ ALL;
            if (differ != 0) {
                return i + static_cast<std::size_t>(std::countr_zero(differ));
            }
            i += 16;
        }
        if (i == n) {
            return n;
        }
        // The last 1 to 15 bytes: one window ending at n, re-reading some checked bytes.
        const unsigned differ = (equal_mask16(a + n - 16, b + n - 16) ^ ALL) >> (16 - (n - i));
        return differ != 0 ? i + static_cast<std::size_t>(std::countr_zero(differ)) : n;
    }
#endif
    while (n - i >= 8) {
        const std::uint64_t x = load_word(a + i) ^ load_word(b + i);
        if (x != 0) {
            return i + first_set_byte(x);
        }
        i += 8;
    }
    while (i < n && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Number of leading positions at which a and b hold different bytes, at most n.
inline std::size_t differing_prefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    using namespace span_compare;
    std::size_t i = 0;
#if defined(__SSE2__)
    if (n >= 16) {
        while (n - i >= 32 &&
               (equal_mask16(a + i, b + i) | equal_mask16(a + i + 16, b + i + 16)) == 0) {
            i += 32;
        }
        while (n - i >= 16) {
            const unsigned equal = equal_mask16(a + i, b + i);
            if (equal != 0) {
                return i + static_cast<std::size_t>(std::countr_zero(equal));
            }
            i += 16;
        }
        if (i == n) {
            return n;
        }
        const unsigned equal = equal_mask16(a + n - 16, b + n - 16) >> (16 - (n - i));
        return equal != 0 ? i + static_cast<std::size_t>(std::countr_zero(equal)) : n;
    }
#endif
    if constexpr (LITTLE_ENDIAN_HOST) {
        // Marks the zero bytes of a ^ b; the lowest mark is exact (borrows only
        // run upwards, and upwards is later in memory on this byte order).
        while (n - i >= 8) {
            const std::uint64_t x = load_word(a + i) ^ load_word(b + i);
            const std::uint64_t zero_marks = (x - LOW_BITS) & ~x & HIGH_BITS;
            if (zero_marks != 0) {
                return i + first_set_byte(zero_marks);
            }
            i += 8;
        }
    }
    while (i < n && a[i] != b[i]) {
        ++i;
    }
    return i;
}
