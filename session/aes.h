#pragma once
// One-block AES (FIPS-197) for the login and the packet protection. Other programs link
// against these entry points, so they stay in the global namespace with C++ linkage.
//
// Both entry points return 16 on success, -1 when keyBits is not 128, 192 or 256, and -2
// when input, key or output is missing or a length is negative; output is not written
// on failure. At most the first 16 input bytes and the first keyBits/8 key bytes are
// used; shorter input or key is zero-filled, so a password of any length is a key.
// Calls are safe from any number of threads at once: each call has its own working data.

int AesEncryptBlock(int keyBits, const unsigned char* input, int inputLength,
                    const unsigned char* key, int keyLength, unsigned char* output);
int AesDecryptBlock(int keyBits, const unsigned char* input, int inputLength,
                    const unsigned char* key, int keyLength, unsigned char* output);

// Kept for the player window's start-up and shut-down. The cipher needs no shared lock,
// so a window that shuts down while another still ciphers takes nothing away from it.
void AesInitLock();
void AesDeleteLock();
