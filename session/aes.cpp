#include "session/aes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "session/aes_backend.h"
#include "session/aes_internal.h"

namespace zevo::aes {
namespace {

using detail::kMaxRounds;
using detail::kScheduleWords;

// ---- Tables, built at compile time from the field arithmetic ----------------------

constexpr uint8_t XTime(uint8_t x) {
    return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

constexpr uint8_t Multiply(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = XTime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint8_t Rotl8(uint8_t x, int n) {
    return uint8_t((x << n) | (x >> (8 - n)));
}

constexpr uint32_t Rotr32(uint32_t x, int n) {
    return n == 0 ? x : (x >> n) | (x << (32 - n));
}

struct Tables {
    std::array<uint8_t, 256> sbox{};
    std::array<uint8_t, 256> inverse{};
    std::array<std::array<uint32_t, 256>, 4> te{};
    std::array<std::array<uint32_t, 256>, 4> td{};
};

constexpr Tables MakeTables() {
    Tables t;
    // Walk the multiplicative group with generator 3 and its inverse together; the
    // S-box is the affine map of the inverse.
    uint8_t p = 1, q = 1;
    do {
        p = uint8_t(p ^ (p << 1) ^ ((p & 0x80) ? 0x1b : 0));
        q = uint8_t(q ^ (q << 1));
        q = uint8_t(q ^ (q << 2));
        q = uint8_t(q ^ (q << 4));
        if (q & 0x80) q ^= 0x09;
        t.sbox[p] = uint8_t(q ^ Rotl8(q, 1) ^ Rotl8(q, 2) ^ Rotl8(q, 3) ^ Rotl8(q, 4) ^ 0x63);
    } while (p != 1);
    t.sbox[0] = 0x63;
    for (int i = 0; i < 256; ++i) t.inverse[t.sbox[i]] = uint8_t(i);
    for (int i = 0; i < 256; ++i) {
        const uint8_t s = t.sbox[i];
        const uint32_t e = (uint32_t(Multiply(s, 2)) << 24) | (uint32_t(s) << 16) |
                           (uint32_t(s) << 8) | Multiply(s, 3);
        const uint8_t v = t.inverse[i];
        const uint32_t d = (uint32_t(Multiply(v, 14)) << 24) | (uint32_t(Multiply(v, 9)) << 16) |
                           (uint32_t(Multiply(v, 13)) << 8) | Multiply(v, 11);
        for (int r = 0; r < 4; ++r) {
            t.te[r][i] = Rotr32(e, 8 * r);
            t.td[r][i] = Rotr32(d, 8 * r);
        }
    }
    return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xed &&
              kTables.sbox[0xff] == 0x16 && kTables.inverse[0x63] == 0x00);

constexpr const auto& kSbox = kTables.sbox;
constexpr const auto& kInverse = kTables.inverse;
constexpr const auto& Te0 = kTables.te[0];
constexpr const auto& Te1 = kTables.te[1];
constexpr const auto& Te2 = kTables.te[2];
constexpr const auto& Te3 = kTables.te[3];
constexpr const auto& Td0 = kTables.td[0];
constexpr const auto& Td1 = kTables.td[1];
constexpr const auto& Td2 = kTables.td[2];
constexpr const auto& Td3 = kTables.td[3];

inline uint32_t LoadBig(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void StoreBig(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint32_t SubWord(uint32_t w) {
    return (uint32_t(kSbox[w >> 24]) << 24) | (uint32_t(kSbox[(w >> 16) & 0xff]) << 16) |
           (uint32_t(kSbox[(w >> 8) & 0xff]) << 8) | kSbox[w & 0xff];
}

// ---- Portable cipher: T-tables --------------------------------------------------

void PortableMakeDecryptSchedule(int rounds, const uint32_t* enc, uint32_t* dec) {
    for (int r = 0; r <= rounds; ++r) {
        for (int c = 0; c < 4; ++c) {
            uint32_t w = enc[4 * (rounds - r) + c];
            if (r > 0 && r < rounds) {
                // InvMixColumns of the word: Td undoes the S-box it is applied over.
                w = Td0[kSbox[w >> 24]] ^ Td1[kSbox[(w >> 16) & 0xff]] ^
                    Td2[kSbox[(w >> 8) & 0xff]] ^ Td3[kSbox[w & 0xff]];
            }
            dec[4 * r + c] = w;
        }
    }
}

void PortableEncrypt(int rounds, const uint32_t* rk, const unsigned char* in, unsigned char* out) {
    uint32_t s0 = LoadBig(in) ^ rk[0];
    uint32_t s1 = LoadBig(in + 4) ^ rk[1];
    uint32_t s2 = LoadBig(in + 8) ^ rk[2];
    uint32_t s3 = LoadBig(in + 12) ^ rk[3];
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        const uint32_t t0 =
            Te0[s0 >> 24] ^ Te1[(s1 >> 16) & 0xff] ^ Te2[(s2 >> 8) & 0xff] ^ Te3[s3 & 0xff] ^ rk[0];
        const uint32_t t1 =
            Te0[s1 >> 24] ^ Te1[(s2 >> 16) & 0xff] ^ Te2[(s3 >> 8) & 0xff] ^ Te3[s0 & 0xff] ^ rk[1];
        const uint32_t t2 =
            Te0[s2 >> 24] ^ Te1[(s3 >> 16) & 0xff] ^ Te2[(s0 >> 8) & 0xff] ^ Te3[s1 & 0xff] ^ rk[2];
        const uint32_t t3 =
            Te0[s3 >> 24] ^ Te1[(s0 >> 16) & 0xff] ^ Te2[(s1 >> 8) & 0xff] ^ Te3[s2 & 0xff] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return ((uint32_t(kSbox[a >> 24]) << 24) | (uint32_t(kSbox[(b >> 16) & 0xff]) << 16) |
                (uint32_t(kSbox[(c >> 8) & 0xff]) << 8) | kSbox[d & 0xff]) ^
               k;
    };
    StoreBig(out, last(s0, s1, s2, s3, rk[0]));
    StoreBig(out + 4, last(s1, s2, s3, s0, rk[1]));
    StoreBig(out + 8, last(s2, s3, s0, s1, rk[2]));
    StoreBig(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void PortableDecrypt(int rounds, const uint32_t* rk, const unsigned char* in, unsigned char* out) {
    uint32_t s0 = LoadBig(in) ^ rk[0];
    uint32_t s1 = LoadBig(in + 4) ^ rk[1];
    uint32_t s2 = LoadBig(in + 8) ^ rk[2];
    uint32_t s3 = LoadBig(in + 12) ^ rk[3];
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        const uint32_t t0 =
            Td0[s0 >> 24] ^ Td1[(s3 >> 16) & 0xff] ^ Td2[(s2 >> 8) & 0xff] ^ Td3[s1 & 0xff] ^ rk[0];
        const uint32_t t1 =
            Td0[s1 >> 24] ^ Td1[(s0 >> 16) & 0xff] ^ Td2[(s3 >> 8) & 0xff] ^ Td3[s2 & 0xff] ^ rk[1];
        const uint32_t t2 =
            Td0[s2 >> 24] ^ Td1[(s1 >> 16) & 0xff] ^ Td2[(s0 >> 8) & 0xff] ^ Td3[s3 & 0xff] ^ rk[2];
        const uint32_t t3 =
            Td0[s3 >> 24] ^ Td1[(s2 >> 16) & 0xff] ^ Td2[(s1 >> 8) & 0xff] ^ Td3[s0 & 0xff] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return ((uint32_t(kInverse[a >> 24]) << 24) | (uint32_t(kInverse[(b >> 16) & 0xff]) << 16) |
                (uint32_t(kInverse[(c >> 8) & 0xff]) << 8) | kInverse[d & 0xff]) ^
               k;
    };
    StoreBig(out, last(s0, s3, s2, s1, rk[0]));
    StoreBig(out + 4, last(s1, s0, s3, s2, rk[1]));
    StoreBig(out + 8, last(s2, s1, s0, s3, rk[2]));
    StoreBig(out + 12, last(s3, s2, s1, s0, rk[3]));
}

// ---- Per-thread key schedule cache ----------------------------------------------

// The system ciphers many blocks under few keys (the session key, the password), so
// each thread keeps the last schedule it expanded per backend and direction. Nothing
// is shared between threads, so no lock is needed.
struct Schedule {
    bool valid = false;
    int nk = 0;
    unsigned char key[32] = {};
    // Round key words (portable) or 16-byte round key images (AES-NI).
    alignas(16) uint32_t words[kScheduleWords] = {};
};

thread_local Schedule tCache[2][2];

const Schedule& ScheduleFor(Backend backend, bool decrypt, int nk, const unsigned char* key) {
    Schedule& s = tCache[backend == Backend::AesNi][decrypt];
    const size_t keyBytes = size_t(nk) * 4;
    if (s.valid && s.nk == nk && std::memcmp(s.key, key, keyBytes) == 0) return s;

    const int rounds = nk + 6;
    s.valid = false;
    if (backend == Backend::AesNi) {
        alignas(16) unsigned char enc[4 * kScheduleWords];
        if (nk == 4) {
            detail::NiExpandKey128(key, enc);
        } else {
            uint32_t w[kScheduleWords];
            detail::ExpandKeyWords(nk, key, w);
            for (int i = 0; i < 4 * (rounds + 1); ++i) StoreBig(enc + 4 * i, w[i]);
        }
        auto* out = reinterpret_cast<unsigned char*>(s.words);
        if (decrypt) {
            detail::NiMakeDecryptSchedule(rounds, enc, out);
        } else {
            std::memcpy(out, enc, size_t(16) * (rounds + 1));
        }
    } else {
        if (decrypt) {
            uint32_t w[kScheduleWords];
            detail::ExpandKeyWords(nk, key, w);
            PortableMakeDecryptSchedule(rounds, w, s.words);
        } else {
            detail::ExpandKeyWords(nk, key, s.words);
        }
    }
    std::memcpy(s.key, key, keyBytes);
    s.nk = nk;
    s.valid = true;
    return s;
}

void ForgetSchedules() {
    for (auto& row : tCache) {
        for (auto& s : row) s = Schedule{};
    }
}

// ---- One call ---------------------------------------------------------------------

int ProcessBlock(Backend backend, bool decrypt, int keyBits, const unsigned char* input,
                 int inputLength, const unsigned char* key, int keyLength, unsigned char* output) {
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return -1;
    if (!input || !key || !output || inputLength < 0 || keyLength < 0) return -2;
    if (backend == Backend::AesNi && !AesNiAvailable()) backend = Backend::Portable;

    const int nk = keyBits / 32;
    const int rounds = nk + 6;
    // Zero fill and cut: only the block's 16 bytes and the key's nk words are ever
    // used, so nothing past them is read.
    unsigned char block[16] = {};
    std::memcpy(block, input, size_t(std::min(inputLength, 16)));
    unsigned char keyBuffer[32] = {};
    std::memcpy(keyBuffer, key, size_t(std::min(keyLength, nk * 4)));

    const Schedule& s = ScheduleFor(backend, decrypt, nk, keyBuffer);
    unsigned char result[16];
    if (backend == Backend::AesNi) {
        const auto* rk = reinterpret_cast<const unsigned char*>(s.words);
        if (decrypt) {
            detail::NiDecrypt(rounds, rk, block, result);
        } else {
            detail::NiEncrypt(rounds, rk, block, result);
        }
    } else if (decrypt) {
        PortableDecrypt(rounds, s.words, block, result);
    } else {
        PortableEncrypt(rounds, s.words, block, result);
    }
    // Output may be the input itself (heads are decrypted in place).
    std::memcpy(output, result, 16);
    return 16;
}

}  // namespace

namespace detail {

void ExpandKeyWords(int nk, const unsigned char* key, uint32_t* w) {
    const int total = 4 * (nk + 6 + 1);
    for (int i = 0; i < nk; ++i) w[i] = LoadBig(key + 4 * i);
    uint32_t rcon = 0x01;
    for (int i = nk; i < total; ++i) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = SubWord((temp << 8) | (temp >> 24)) ^ (rcon << 24);
            rcon = XTime(uint8_t(rcon));
        } else if (nk > 6 && i % nk == 4) {
            temp = SubWord(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
}

}  // namespace detail

bool AesNiAvailable() {
    static const bool available = detail::CpuHasAesNi();
    return available;
}

Backend ActiveBackend() {
    return AesNiAvailable() ? Backend::AesNi : Backend::Portable;
}

int EncryptBlockWith(Backend backend, int keyBits, const unsigned char* input, int inputLength,
                     const unsigned char* key, int keyLength, unsigned char* output) {
    return ProcessBlock(backend, false, keyBits, input, inputLength, key, keyLength, output);
}

int DecryptBlockWith(Backend backend, int keyBits, const unsigned char* input, int inputLength,
                     const unsigned char* key, int keyLength, unsigned char* output) {
    return ProcessBlock(backend, true, keyBits, input, inputLength, key, keyLength, output);
}

}  // namespace zevo::aes

int AesEncryptBlock(int keyBits, const unsigned char* input, int inputLength,
                    const unsigned char* key, int keyLength, unsigned char* output) {
    return zevo::aes::EncryptBlockWith(zevo::aes::ActiveBackend(), keyBits, input, inputLength, key,
                                       keyLength, output);
}

int AesDecryptBlock(int keyBits, const unsigned char* input, int inputLength,
                    const unsigned char* key, int keyLength, unsigned char* output) {
    return zevo::aes::DecryptBlockWith(zevo::aes::ActiveBackend(), keyBits, input, inputLength, key,
                                       keyLength, output);
}

void AesInitLock() {
    // Nothing to create; settle the processor check before any reader thread starts.
    (void)zevo::aes::AesNiAvailable();
}

void AesDeleteLock() {
    // Nothing shared to delete. Drop the keys this (the window's) thread has cached.
    zevo::aes::ForgetSchedules();
}
