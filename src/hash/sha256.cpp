// SHA-256 (FIPS 180-4) for the public header (deltawright.h): portable code
// for every target, the SHA extensions on x86-64 when the processor has them
// (asked once per hash, in dw_sha256_init, so that nothing global is kept),
// and the ARMv8 SHA-2 instructions where the compiler targets them.
#include <deltawright/deltawright.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>  // the compiler's own header: no system call, no library
#include <immintrin.h>
#define DW_SHA256_X86 1
#endif
#if defined(__aarch64__) && defined(__ARM_FEATURE_SHA2)
#include <arm_neon.h>
#define DW_SHA256_ARM 1
#endif

namespace {

constexpr std::size_t BLOCK = 64;

constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

enum Engine : std::uint32_t { PORTABLE = 0, X86_SHA = 1, ARM_SHA = 2 };

inline std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

void blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t count) {
    for (; count > 0; --count, data += BLOCK) {
        std::uint32_t w[64];
        for (std::size_t t = 0; t < 16; ++t) {
            w[t] = load_be32(data + 4 * t);
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0];
        std::uint32_t b = state[1];
        std::uint32_t c = state[2];
        std::uint32_t d = state[3];
        std::uint32_t e = state[4];
        std::uint32_t f = state[5];
        std::uint32_t g = state[6];
        std::uint32_t h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t t1 =
                h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[t] + w[t];
            const std::uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if DW_SHA256_X86
bool has_x86_sha() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool sha = (ebx & (1U << 29)) != 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool ssse3_sse41 = (ecx & (1U << 9)) != 0 && (ecx & (1U << 19)) != 0;
    return sha && ssse3_sse41;
}

// The SHA extensions keep the state as ABEF and CDGH; each 4-round group
// takes four message words with their constants.
__attribute__((target("sha,sse4.1,ssse3"))) void blocks_x86(std::uint32_t* state,
                                                            const std::uint8_t* data,
                                                            std::size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
    for (; count > 0; --count, data += BLOCK) {
        const __m128i abef = state0;
        const __m128i cdgh = state1;
        __m128i w[4];
#pragma GCC unroll 16
        for (std::size_t group = 0; group < 16; ++group) {
            __m128i& m = w[group % 4];
            if (group < 4) {
                m = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)),
                    byte_swap);
            } else {
                // W[t..t+3] from W[t-16..], W[t-12..], W[t-8..], W[t-4..].
                const __m128i& w4 = w[(group + 3) % 4];
                const __m128i& w8 = w[(group + 2) % 4];
                m = _mm_sha256msg1_epu32(m, w[(group + 1) % 4]);
                m = _mm_add_epi32(m, _mm_alignr_epi8(w4, w8, 4));
                m = _mm_sha256msg2_epu32(m, w4);
            }
            __m128i msg =
                _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(K + 4 * group)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF... as HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}
#endif

#if DW_SHA256_ARM
void blocks_arm(std::uint32_t* state, const std::uint8_t* data, std::size_t count) {
    uint32x4_t abcd = vld1q_u32(state);
    uint32x4_t efgh = vld1q_u32(state + 4);
    for (; count > 0; --count, data += BLOCK) {
        const uint32x4_t abcd_saved = abcd;
        const uint32x4_t efgh_saved = efgh;
        uint32x4_t w[4];
        for (std::size_t i = 0; i < 4; ++i) {
            w[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * i)));
        }
        for (std::size_t group = 0; group < 16; ++group) {
            uint32x4_t& m = w[group % 4];
            if (group >= 4) {
                m = vsha256su1q_u32(vsha256su0q_u32(m, w[(group + 1) % 4]), w[(group + 2) % 4],
                                    w[(group + 3) % 4]);
            }
            const uint32x4_t msg = vaddq_u32(m, vld1q_u32(K + 4 * group));
            const uint32x4_t abcd_before = abcd;
            abcd = vsha256hq_u32(abcd, efgh, msg);
            efgh = vsha256h2q_u32(efgh, abcd_before, msg);
        }
        abcd = vaddq_u32(abcd, abcd_saved);
        efgh = vaddq_u32(efgh, efgh_saved);
    }
    vst1q_u32(state, abcd);
    vst1q_u32(state + 4, efgh);
}
#endif

void run_blocks(dw_sha256* h, const std::uint8_t* data, std::size_t count) {
#if DW_SHA256_X86
    if (h->engine_ == X86_SHA) {
        blocks_x86(h->state_, data, count);
        return;
    }
#endif
#if DW_SHA256_ARM
    if (h->engine_ == ARM_SHA) {
        blocks_arm(h->state_, data, count);
        return;
    }
#endif
    blocks_portable(h->state_, data, count);
}

}  // namespace

extern "C" {

void dw_sha256_init(dw_sha256* hash) {
    std::memcpy(hash->state_, INITIAL, sizeof INITIAL);
    hash->length_ = 0;
    hash->used_ = 0;
#if DW_SHA256_ARM
    hash->engine_ = ARM_SHA;
#elif DW_SHA256_X86
    hash->engine_ = has_x86_sha() ? X86_SHA : PORTABLE;
#else
    hash->engine_ = PORTABLE;
#endif
}

void dw_sha256_update(dw_sha256* hash, const void* data, size_t size) {
    if (size == 0) {
        return;  // data may then be NULL
    }
    const auto* in = static_cast<const std::uint8_t*>(data);
    hash->length_ += size;
    if (hash->used_ > 0) {
        const std::size_t n = size < BLOCK - hash->used_ ? size : BLOCK - hash->used_;
        std::memcpy(hash->block_ + hash->used_, in, n);
        hash->used_ += static_cast<std::uint32_t>(n);
        in += n;
        size -= n;
        if (hash->used_ < BLOCK) {
            return;
        }
        run_blocks(hash, hash->block_, 1);
        hash->used_ = 0;
    }
    run_blocks(hash, in, size / BLOCK);
    in += size / BLOCK * BLOCK;
    size %= BLOCK;
    if (size > 0) {
        std::memcpy(hash->block_, in, size);
        hash->used_ = static_cast<std::uint32_t>(size);
    }
}

void dw_sha256_final(dw_sha256* hash, uint8_t digest[DW_SHA256_SIZE]) {
    const std::uint64_t bits = hash->length_ * 8;
    std::uint8_t pad[BLOCK * 2] = {0x80};
    const std::size_t pad_size = (hash->used_ < 56 ? 56 : 120) - hash->used_;
    for (int i = 0; i < 8; ++i) {
        pad[pad_size + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    const std::uint64_t length = hash->length_;
    dw_sha256_update(hash, pad, pad_size + 8);
    hash->length_ = length;
    for (int i = 0; i < 8; ++i) {
        for (int k = 0; k < 4; ++k) {
            digest[4 * i + k] = static_cast<std::uint8_t>(hash->state_[i] >> (24 - 8 * k));
        }
    }
}

}  // extern "C"
