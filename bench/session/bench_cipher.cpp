// Cipher and packet protection speed, each against a baseline in the same run:
// OpenSSL's AES-128-ECB on one block with the key set on every call (what our entry
// points are asked to do), and memcpy of the same size for the payload XOR.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "session/aes.h"
#include "session/aes_backend.h"
#include "session/packet.h"

namespace {

using zevo::aes::Backend;

const unsigned char kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const unsigned char kBlock[16] = {0x32, 0x43, 0xf6, 0xa8, 0x88, 0x5a, 0x30, 0x8d,
                                  0x31, 0x31, 0x98, 0xa2, 0xe0, 0x37, 0x07, 0x34};

// fetched: the cipher looked up once (OpenSSL 3's faster way) instead of by the
// EVP_aes_128_ecb() shortcut on every call; the key is set on every call either way.
void BM_OpenSslEcb(benchmark::State& state, bool decrypt, bool fetched) {
    EVP_CIPHER* cipher = fetched ? EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr) : nullptr;
    const EVP_CIPHER* use = fetched ? cipher : EVP_aes_128_ecb();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char block[16];
    std::memcpy(block, kBlock, 16);
    for (auto _ : state) {
        int n = 0;
        if (decrypt) {
            EVP_DecryptInit_ex(ctx, use, nullptr, kKey, nullptr);
            EVP_CIPHER_CTX_set_padding(ctx, 0);
            EVP_DecryptUpdate(ctx, block, &n, block, 16);
        } else {
            EVP_EncryptInit_ex(ctx, use, nullptr, kKey, nullptr);
            EVP_CIPHER_CTX_set_padding(ctx, 0);
            EVP_EncryptUpdate(ctx, block, &n, block, 16);
        }
        benchmark::DoNotOptimize(block);
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}

void BM_OpenSslEncrypt(benchmark::State& state) {
    BM_OpenSslEcb(state, false, false);
}
void BM_OpenSslDecrypt(benchmark::State& state) {
    BM_OpenSslEcb(state, true, false);
}
void BM_OpenSslEncryptFetched(benchmark::State& state) {
    BM_OpenSslEcb(state, false, true);
}
void BM_OpenSslDecryptFetched(benchmark::State& state) {
    BM_OpenSslEcb(state, true, true);
}

// The result feeds the next call, so blocks cannot overlap each other.
void BM_AesEncryptBlock(benchmark::State& state) {
    unsigned char block[16];
    std::memcpy(block, kBlock, 16);
    for (auto _ : state) {
        benchmark::DoNotOptimize(AesEncryptBlock(128, block, 16, kKey, 16, block));
    }
}

void BM_AesDecryptBlock(benchmark::State& state) {
    unsigned char block[16];
    std::memcpy(block, kBlock, 16);
    for (auto _ : state) {
        benchmark::DoNotOptimize(AesDecryptBlock(128, block, 16, kKey, 16, block));
    }
}

void BM_Backend(benchmark::State& state, Backend backend, bool decrypt, bool newKeyEachCall) {
    if (backend == Backend::AesNi && !zevo::aes::AesNiAvailable()) {
        state.SkipWithError("no AES instructions");
        return;
    }
    auto run = decrypt ? zevo::aes::DecryptBlockWith : zevo::aes::EncryptBlockWith;
    unsigned char block[16];
    unsigned char key[16];
    std::memcpy(block, kBlock, 16);
    std::memcpy(key, kKey, 16);
    for (auto _ : state) {
        // Changing a key byte defeats the schedule cache: the cost of a full expansion.
        if (newKeyEachCall) ++key[0];
        benchmark::DoNotOptimize(run(backend, 128, block, 16, key, 16, block));
    }
}

void BM_PortableEncrypt(benchmark::State& s) {
    BM_Backend(s, Backend::Portable, false, false);
}
void BM_PortableDecrypt(benchmark::State& s) {
    BM_Backend(s, Backend::Portable, true, false);
}
void BM_AesNiEncrypt(benchmark::State& s) {
    BM_Backend(s, Backend::AesNi, false, false);
}
void BM_AesNiDecrypt(benchmark::State& s) {
    BM_Backend(s, Backend::AesNi, true, false);
}
void BM_PortableEncryptNewKey(benchmark::State& s) {
    BM_Backend(s, Backend::Portable, false, true);
}
void BM_PortableDecryptNewKey(benchmark::State& s) {
    BM_Backend(s, Backend::Portable, true, true);
}
void BM_AesNiEncryptNewKey(benchmark::State& s) {
    BM_Backend(s, Backend::AesNi, false, true);
}
void BM_AesNiDecryptNewKey(benchmark::State& s) {
    BM_Backend(s, Backend::AesNi, true, true);
}

constexpr size_t kVideoPayload = 64 * 1024;

// A protected 64 KiB video body, as the media reader receives it.
std::vector<unsigned char> ProtectedVideoBody() {
    std::vector<unsigned char> payload(kVideoPayload);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 31);
    zevo::PacketProtection device(0x5D);
    device.SetSessionKey(kKey);
    auto packet = zevo::BuildMediaPacket(zevo::PacketHead{}, payload.data(), payload.size(),
                                         zevo::PACKET_CLASS_VIDEO);
    device.ProtectPacket(packet.data(), int(packet.size()));
    return std::vector<unsigned char>(packet.begin() + 4, packet.end());
}

void BM_UnprotectVideo64K(benchmark::State& state) {
    const auto wire = ProtectedVideoBody();
    std::vector<unsigned char> body = wire;
    zevo::PacketProtection viewer;
    viewer.SetSessionKey(kKey);
    for (auto _ : state) {
        // Unprotecting twice would fail the length check, so restore the head only
        // (16 bytes, negligible); the payload is XORed back and forth.
        std::memcpy(body.data(), wire.data(), 16);
        if (viewer.UnprotectPacket(zevo::PACKET_CLASS_VIDEO, body.data(), int(body.size())) != 0) {
            state.SkipWithError("unprotect failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.size()));
}

void BM_MemcpyVideo64K(benchmark::State& state) {
    const auto wire = ProtectedVideoBody();
    std::vector<unsigned char> body(wire.size());
    for (auto _ : state) {
        std::memcpy(body.data(), wire.data(), wire.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.size()));
}

}  // namespace

BENCHMARK(BM_OpenSslEncrypt);
BENCHMARK(BM_AesEncryptBlock);
BENCHMARK(BM_OpenSslDecrypt);
BENCHMARK(BM_AesDecryptBlock);
BENCHMARK(BM_OpenSslEncryptFetched);
BENCHMARK(BM_OpenSslDecryptFetched);
BENCHMARK(BM_AesNiEncrypt);
BENCHMARK(BM_AesNiDecrypt);
BENCHMARK(BM_PortableEncrypt);
BENCHMARK(BM_PortableDecrypt);
BENCHMARK(BM_AesNiEncryptNewKey);
BENCHMARK(BM_AesNiDecryptNewKey);
BENCHMARK(BM_PortableEncryptNewKey);
BENCHMARK(BM_PortableDecryptNewKey);
BENCHMARK(BM_MemcpyVideo64K);
BENCHMARK(BM_UnprotectVideo64K);

namespace {

// Prints each figure as a ratio to its baseline once all have run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                mCpuTime[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        static const char* const kPairs[][2] = {
            {"BM_AesEncryptBlock", "BM_OpenSslEncrypt"},
            {"BM_AesDecryptBlock", "BM_OpenSslDecrypt"},
            {"BM_AesEncryptBlock", "BM_OpenSslEncryptFetched"},
            {"BM_AesDecryptBlock", "BM_OpenSslDecryptFetched"},
            {"BM_AesNiEncrypt", "BM_OpenSslEncrypt"},
            {"BM_AesNiDecrypt", "BM_OpenSslDecrypt"},
            {"BM_PortableEncrypt", "BM_OpenSslEncrypt"},
            {"BM_PortableDecrypt", "BM_OpenSslDecrypt"},
            {"BM_AesNiEncryptNewKey", "BM_OpenSslEncrypt"},
            {"BM_AesNiDecryptNewKey", "BM_OpenSslDecrypt"},
            {"BM_PortableEncryptNewKey", "BM_OpenSslEncrypt"},
            {"BM_PortableDecryptNewKey", "BM_OpenSslDecrypt"},
            {"BM_UnprotectVideo64K", "BM_MemcpyVideo64K"},
        };
        auto& out = GetOutputStream();
        out << "\nTime relative to the baseline (below 1 is faster):\n";
        for (const auto& pair : kPairs) {
            const auto ours = mCpuTime.find(pair[0]);
            const auto base = mCpuTime.find(pair[1]);
            if (ours == mCpuTime.end() || base == mCpuTime.end() || base->second <= 0) continue;
            char line[160];
            std::snprintf(line, sizeof line, "  %-26s / %-25s %6.3f\n", pair[0], pair[1],
                          ours->second / base->second);
            out << line;
        }
        ConsoleReporter::Finalize();
    }

private:
    std::map<std::string, double> mCpuTime;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
