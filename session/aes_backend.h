#pragma once
// The two implementations behind AesEncryptBlock/AesDecryptBlock, reachable one by one
// so tests and benchmarks can hold them against each other. Same arguments and results
// as the public entry points.

namespace zevo::aes {

enum class Backend { Portable, AesNi };

// True when this processor has the AES instructions (checked once, at first use).
bool AesNiAvailable();

// The backend the public entry points use.
Backend ActiveBackend();

// Runs one block on the given backend. Asking for AesNi where it is not available
// gives the portable result.
int EncryptBlockWith(Backend backend, int keyBits, const unsigned char* input, int inputLength,
                     const unsigned char* key, int keyLength, unsigned char* output);
int DecryptBlockWith(Backend backend, int keyBits, const unsigned char* input, int inputLength,
                     const unsigned char* key, int keyLength, unsigned char* output);

}  // namespace zevo::aes
