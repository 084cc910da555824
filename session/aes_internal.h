#pragma once
// Shared between the portable cipher and the AES-NI one; not for use outside session/.
#include <cstdint>

namespace zevo::aes::detail {

constexpr int kMaxRounds = 14;
constexpr int kScheduleWords = 4 * (kMaxRounds + 1);

// FIPS-197 key expansion for nk key words into big-endian round key words.
void ExpandKeyWords(int nk, const unsigned char* key, uint32_t* words);

// AES-NI side. Round keys are 16-byte images in the byte order of the state.
bool CpuHasAesNi();
void NiExpandKey128(const unsigned char* key, unsigned char* schedule);
void NiMakeDecryptSchedule(int rounds, const unsigned char* encrypt, unsigned char* decrypt);
void NiEncrypt(int rounds, const unsigned char* schedule, const unsigned char* in,
               unsigned char* out);
void NiDecrypt(int rounds, const unsigned char* schedule, const unsigned char* in,
               unsigned char* out);

}  // namespace zevo::aes::detail
