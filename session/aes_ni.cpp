// AES with the processor's AES instructions. Only these functions are compiled for
// them, so the rest of the program runs on processors without; callers check
// CpuHasAesNi() first.
#include <cstring>

#include "session/aes_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>

#define ZEVO_AESNI __attribute__((target("aes,sse4.1")))

namespace zevo::aes::detail {

bool CpuHasAesNi() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    return (c & bit_AES) && (c & bit_SSE4_1);
}

namespace {

ZEVO_AESNI inline __m128i Expand128Step(__m128i key, __m128i assist) {
    assist = _mm_shuffle_epi32(assist, 0xff);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

ZEVO_AESNI inline __m128i Load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

ZEVO_AESNI inline void Store(unsigned char* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

}  // namespace

ZEVO_AESNI void NiExpandKey128(const unsigned char* key, unsigned char* schedule) {
    __m128i k = Load(key);
    Store(schedule, k);
    // The round constant must be an immediate, hence the unrolled steps.
#define ZEVO_STEP(i, rcon)                                    \
    k = Expand128Step(k, _mm_aeskeygenassist_si128(k, rcon)); \
    Store(schedule + 16 * (i), k)
    ZEVO_STEP(1, 0x01);
    ZEVO_STEP(2, 0x02);
    ZEVO_STEP(3, 0x04);
    ZEVO_STEP(4, 0x08);
    ZEVO_STEP(5, 0x10);
    ZEVO_STEP(6, 0x20);
    ZEVO_STEP(7, 0x40);
    ZEVO_STEP(8, 0x80);
    ZEVO_STEP(9, 0x1b);
    ZEVO_STEP(10, 0x36);
#undef ZEVO_STEP
}

ZEVO_AESNI void NiMakeDecryptSchedule(int rounds, const unsigned char* encrypt,
                                      unsigned char* decrypt) {
    // Equivalent inverse cipher: reversed round keys, inner ones through InvMixColumns.
    Store(decrypt, Load(encrypt + 16 * rounds));
    for (int i = 1; i < rounds; ++i) {
        Store(decrypt + 16 * i, _mm_aesimc_si128(Load(encrypt + 16 * (rounds - i))));
    }
    Store(decrypt + 16 * rounds, Load(encrypt));
}

ZEVO_AESNI void NiEncrypt(int rounds, const unsigned char* schedule, const unsigned char* in,
                          unsigned char* out) {
    __m128i s = _mm_xor_si128(Load(in), Load(schedule));
    for (int i = 1; i < rounds; ++i) s = _mm_aesenc_si128(s, Load(schedule + 16 * i));
    Store(out, _mm_aesenclast_si128(s, Load(schedule + 16 * rounds)));
}

ZEVO_AESNI void NiDecrypt(int rounds, const unsigned char* schedule, const unsigned char* in,
                          unsigned char* out) {
    __m128i s = _mm_xor_si128(Load(in), Load(schedule));
    for (int i = 1; i < rounds; ++i) s = _mm_aesdec_si128(s, Load(schedule + 16 * i));
    Store(out, _mm_aesdeclast_si128(s, Load(schedule + 16 * rounds)));
}

}  // namespace zevo::aes::detail

#else  // not x86: the portable cipher only

namespace zevo::aes::detail {
bool CpuHasAesNi() {
    return false;
}
void NiExpandKey128(const unsigned char*, unsigned char*) {}
void NiMakeDecryptSchedule(int, const unsigned char*, unsigned char*) {}
void NiEncrypt(int, const unsigned char*, const unsigned char*, unsigned char*) {}
void NiDecrypt(int, const unsigned char*, const unsigned char*, unsigned char*) {}
}  // namespace zevo::aes::detail

#endif
