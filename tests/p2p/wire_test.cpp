// Datagram codecs, the initialisation string, endpoint lists and the registration hashes.
#include "p2p/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "p2p/crypto.h"
#include "p2p/init_string.h"

namespace p2p = zevo::p2p;
using p2p::Endpoint;
using p2p::Message;
using p2p::MsgType;

namespace {

// One fully populated message of every type.
std::vector<Message> Samples() {
    std::vector<Message> out;
    for (int t = 1; t <= 19; ++t) {
        Message m;
        m.type = MsgType(t);
        std::strcpy(m.did, "ABCD-123456-EFGHI");
        for (size_t i = 0; i < p2p::kChallengeSize; ++i) m.challenge[i] = uint8_t(i * 7 + t);
        for (size_t i = 0; i < p2p::kProofSize; ++i) m.proof[i] = uint8_t(255 - i);
        m.status = -3;
        m.flags = 0x81;
        m.role = p2p::kRoleDevice;
        m.session = 0x1122334455667788ull;
        m.nonce = 0x8877665544332211ull;
        m.token = 0xDEADBEEFCAFEF00Dull;
        m.key = 0x0102030405060708ull;
        m.value = 123456;
        m.port = 54321;
        m.observed = Endpoint{0xC0A80001, 40000};
        m.peer = Endpoint{0x0A000002, 40001};
        m.endpointCount = 3;
        for (int i = 0; i < 3; ++i) m.endpoints[i] = Endpoint{0x0A000010u + i, uint16_t(5000 + i)};
        m.statCount = 5;
        for (int i = 0; i < 5; ++i) m.stats[i] = uint64_t(i) << 40;
        out.push_back(m);
    }
    return out;
}

// The fields each type carries, compared after a round trip.
void ExpectSameFields(const Message& a, const Message& b) {
    uint8_t ea[p2p::kMaxDatagram], eb[p2p::kMaxDatagram];
    size_t na = p2p::EncodeMessage(a, ea, sizeof ea), nb = p2p::EncodeMessage(b, eb, sizeof eb);
    ASSERT_EQ(na, nb);
    EXPECT_EQ(std::memcmp(ea, eb, na), 0);
}

TEST(Wire, EveryTypeRoundTripsAndRejectsEveryTruncationOrExtension) {
    for (const Message& m : Samples()) {
        SCOPED_TRACE(int(m.type));
        uint8_t bytes[p2p::kMaxDatagram + 1];
        size_t n = p2p::EncodeMessage(m, bytes, sizeof bytes);
        ASSERT_GT(n, 4u);
        EXPECT_TRUE(p2p::HasMagic(bytes, n));
        Message back;
        ASSERT_TRUE(p2p::DecodeMessage(bytes, n, &back));
        EXPECT_EQ(back.type, m.type);
        ExpectSameFields(m, back);
        for (size_t cut = 0; cut < n; ++cut) EXPECT_FALSE(p2p::DecodeMessage(bytes, cut, &back));
        bytes[n] = 0;
        EXPECT_FALSE(p2p::DecodeMessage(bytes, n + 1, &back));
        // An encoder never writes past the room it is given.
        uint8_t small[8] = {};
        EXPECT_EQ(p2p::EncodeMessage(m, small, sizeof small), 0u);
    }
}

// REGISTER's device key and REGISTER_RESULT's certificate trail the older layouts: a
// message parses with the whole field or without it (as an older peer sends it), never
// with part of it.
TEST(Wire, TrailingKeyAndCertificateParseWholeOrNotAtAll) {
    for (MsgType type : {MsgType::kRegister, MsgType::kRegisterResult}) {
        SCOPED_TRACE(int(type));
        Message m = Samples()[int(type) - 1];
        uint8_t bytes[p2p::kMaxDatagram + 1];
        size_t older = p2p::EncodeMessage(m, bytes, sizeof bytes);
        bool isRegister = type == MsgType::kRegister;
        uint8_t* field = isRegister ? m.deviceKey : m.certificate;
        size_t size = isRegister ? p2p::kDeviceKeySize : p2p::kCertificateSize;
        (isRegister ? m.hasDeviceKey : m.hasCertificate) = true;
        for (size_t i = 0; i < size; ++i) field[i] = uint8_t(i * 13 + 5);
        size_t n = p2p::EncodeMessage(m, bytes, sizeof bytes);
        ASSERT_EQ(n, older + size);
        Message back;
        ASSERT_TRUE(p2p::DecodeMessage(bytes, n, &back));
        EXPECT_TRUE(isRegister ? back.hasDeviceKey : back.hasCertificate);
        EXPECT_EQ(std::memcmp(isRegister ? back.deviceKey : back.certificate, field, size), 0);
        for (size_t cut = 0; cut < n; ++cut) {
            bool parsed = p2p::DecodeMessage(bytes, cut, &back);
            EXPECT_EQ(parsed, cut == older) << cut;
            if (parsed) {
                EXPECT_FALSE(back.hasDeviceKey || back.hasCertificate);
            }
        }
        bytes[n] = 0;
        EXPECT_FALSE(p2p::DecodeMessage(bytes, n + 1, &back));
    }
}

TEST(Wire, FieldsSurviveTheTripExactly) {
    Message m = Samples()[int(MsgType::kPeerInfo) - 1];
    uint8_t bytes[p2p::kMaxDatagram];
    size_t n = p2p::EncodeMessage(m, bytes, sizeof bytes);
    Message back;
    ASSERT_TRUE(p2p::DecodeMessage(bytes, n, &back));
    EXPECT_EQ(back.session, m.session);
    EXPECT_EQ(back.nonce, m.nonce);
    EXPECT_EQ(back.key, m.key);
    EXPECT_EQ(back.token, m.token);
    EXPECT_EQ(back.port, m.port);
    EXPECT_EQ(back.flags, m.flags);
    EXPECT_EQ(back.observed, m.observed);
    EXPECT_EQ(back.peer, m.peer);
    ASSERT_EQ(back.endpointCount, 3);
    EXPECT_EQ(back.endpoints[2], m.endpoints[2]);
    // Endpoints travel as on IP: address and port big-endian.
    const uint8_t observed[6] = {192, 168, 0, 1, 0x9C, 0x40};
    EXPECT_NE(std::search(bytes, bytes + n, observed, observed + 6), bytes + n);
}

TEST(Wire, RejectsWhatIsNotOurs) {
    Message m = Samples()[int(MsgType::kLookup) - 1];
    uint8_t bytes[p2p::kMaxDatagram];
    size_t n = p2p::EncodeMessage(m, bytes, sizeof bytes);
    Message back;
    auto rejects = [&](size_t at, uint8_t value) {
        uint8_t copy[p2p::kMaxDatagram];
        std::memcpy(copy, bytes, n);
        copy[at] = value;
        return !p2p::DecodeMessage(copy, n, &back);
    };
    EXPECT_TRUE(rejects(0, 'Y'));             // magic
    EXPECT_TRUE(rejects(2, 2));               // version
    EXPECT_TRUE(rejects(3, 0));               // type
    EXPECT_TRUE(rejects(3, 99));              // type
    EXPECT_TRUE(rejects(4, ' '));             // DID character
    EXPECT_TRUE(rejects(4 + 23, 'A'));        // DID without its NUL
    EXPECT_TRUE(rejects(4 + 20, 'A'));        // bytes after the DID's NUL
    EXPECT_TRUE(rejects(4, 0));               // empty DID
    EXPECT_TRUE(rejects(4 + 24 + 8 + 1, 5));  // endpoint count above 4
    EXPECT_FALSE(p2p::DecodeMessage(nullptr, 0, &back));

    Message tooMany = m;
    tooMany.endpointCount = 5;
    EXPECT_EQ(p2p::EncodeMessage(tooMany, bytes, sizeof bytes), 0u);
    Message badDid = m;
    std::strcpy(badDid.did, "has space");
    EXPECT_EQ(p2p::EncodeMessage(badDid, bytes, sizeof bytes), 0u);
}

TEST(Wire, RandomBytesNeverCrashAndRarelyParse) {
    std::mt19937 random(1);
    uint8_t bytes[600];
    int parsed = 0;
    for (int i = 0; i < 20000; ++i) {
        size_t n = random() % sizeof bytes;
        for (size_t k = 0; k < n; ++k) bytes[k] = uint8_t(random());
        if (random() % 2 && n >= 4) bytes[0] = 'Z', bytes[1] = 'P', bytes[2] = 1;
        Message m;
        parsed += p2p::DecodeMessage(bytes, n, &m);
    }
    EXPECT_LT(parsed, 50);
}

TEST(Wire, DidRules) {
    EXPECT_TRUE(p2p::IsValidDid("ABCD-123456-EFGHI"));
    EXPECT_TRUE(p2p::IsValidDid("a_b"));
    EXPECT_TRUE(p2p::IsValidDid("12345678901234567890123"));  // 23
    EXPECT_FALSE(p2p::IsValidDid("123456789012345678901234"));
    EXPECT_FALSE(p2p::IsValidDid(""));
    EXPECT_FALSE(p2p::IsValidDid(nullptr));
    EXPECT_FALSE(p2p::IsValidDid("AB CD"));
    EXPECT_FALSE(p2p::IsValidDid("ÄB"));
}

TEST(Wire, CreditCodec) {
    uint8_t bytes[p2p::kCreditSize];
    p2p::EncodeCredit(7, 0x0123456789ABCDEFull, bytes);
    uint8_t channel;
    uint64_t consumed;
    ASSERT_TRUE(p2p::DecodeCredit(bytes, sizeof bytes, &channel, &consumed));
    EXPECT_EQ(channel, 7);
    EXPECT_EQ(consumed, 0x0123456789ABCDEFull);
    EXPECT_FALSE(p2p::DecodeCredit(bytes, sizeof bytes - 1, &channel, &consumed));
    EXPECT_FALSE(p2p::DecodeCredit(bytes, sizeof bytes + 1, &channel, &consumed));
}

TEST(InitString, TheBuiltInStringNamesTheLoopbackService) {
    ASSERT_EQ(std::strlen(p2p::kP2pInitString), 90u);
    for (char c : std::string(p2p::kP2pInitString)) EXPECT_TRUE(c >= 'A' && c <= 'P');
    std::vector<Endpoint> endpoints;
    ASSERT_TRUE(p2p::DecodeInitString(p2p::kP2pInitString, 91, &endpoints));
    ASSERT_EQ(endpoints.size(), 1u);
    EXPECT_EQ(endpoints[0], (Endpoint{0x7F000001, 32100}));
}

TEST(InitString, RoundTripsOneToSixEndpoints) {
    std::vector<Endpoint> list;
    for (int n = 1; n <= 6; ++n) {
        list.push_back(Endpoint{0x0A000000u + uint32_t(n) * 0x01010101u, uint16_t(1000 * n + 7)});
        std::string text = p2p::EncodeInitString(list);
        ASSERT_EQ(text.size(), 90u);
        std::vector<Endpoint> back;
        ASSERT_TRUE(p2p::DecodeInitString(text.c_str(), text.size(), &back));
        EXPECT_EQ(back, list);
    }
    list.push_back(Endpoint{1, 1});
    EXPECT_EQ(p2p::EncodeInitString(list), "");
    EXPECT_EQ(p2p::EncodeInitString({}), "");
}

// Version 2 carries the vouching service's key after the endpoints; version 1 carries
// none. Either way every letter is checked.
TEST(InitString, VersionTwoCarriesTheServiceKey) {
    std::vector<Endpoint> list = {Endpoint{0x7F000001, 32100}, Endpoint{0x0A000001, 32101}};
    uint8_t key[p2p::kInitStringKeySize];
    for (size_t i = 0; i < sizeof key; ++i) key[i] = uint8_t(0xA0 + i);
    std::string text = p2p::EncodeInitString(list, key);
    ASSERT_EQ(text.size(), p2p::kInitStringLettersV2);
    EXPECT_EQ(text.substr(0, 2), "AC");
    std::vector<Endpoint> back;
    uint8_t got[p2p::kInitStringKeySize] = {};
    bool hasKey = false;
    ASSERT_TRUE(p2p::DecodeInitString(text.c_str(), text.size() + 1, &back, got, &hasKey));
    EXPECT_TRUE(hasKey);
    EXPECT_EQ(back, list);
    EXPECT_EQ(std::memcmp(got, key, sizeof key), 0);
    for (size_t i = 0; i < text.size(); ++i) {
        std::string bad = text;
        bad[i] = bad[i] == 'P' ? 'A' : char(bad[i] + 1);
        EXPECT_FALSE(p2p::DecodeInitString(bad.c_str(), bad.size(), &back, got, &hasKey)) << i;
    }
    EXPECT_FALSE(p2p::DecodeInitString(text.c_str(), p2p::kInitStringLetters, &back));
    ASSERT_TRUE(p2p::DecodeInitString(p2p::kP2pInitString, 90, &back, got, &hasKey));
    EXPECT_FALSE(hasKey);
}

TEST(InitString, EveryLetterIsChecked) {
    const std::string good = p2p::EncodeInitString({Endpoint{0xC0A80105, 32100}});
    std::vector<Endpoint> out;
    // Any single changed letter fails the check value (or the letter range).
    for (size_t i = 0; i < good.size(); ++i) {
        for (char replacement : {'A', 'H', 'P', 'Q', 'a', '@'}) {
            if (replacement == good[i]) continue;
            std::string bad = good;
            bad[i] = replacement;
            EXPECT_FALSE(p2p::DecodeInitString(bad.c_str(), bad.size(), &out)) << i;
        }
    }
    EXPECT_FALSE(p2p::DecodeInitString(good.c_str(), 89, &out));
    EXPECT_FALSE(p2p::DecodeInitString((good + "A").c_str(), 91, &out));  // too long
    EXPECT_FALSE(p2p::DecodeInitString(nullptr, 0, &out));
    EXPECT_TRUE(p2p::DecodeInitString((good + '\0').c_str(), 91, &out));
}

TEST(EndpointList, ParsesNamesAndRejectsJunk) {
    std::vector<Endpoint> out;
    ASSERT_TRUE(p2p::ParseEndpointList("127.0.0.1:32100,localhost:9,10.0.0.1:65535", &out, 6));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], (Endpoint{0x7F000001, 9}));
    EXPECT_EQ(out[2], (Endpoint{0x0A000001, 65535}));
    for (const char* bad : {"", "127.0.0.1", "127.0.0.1:", ":80", "1.2.3.4:65536", "1.2.3.4:-1",
                            "1.2.3.4:80,", "1.2.3.4:8x", "1.2.3.4:123456"})
        EXPECT_FALSE(p2p::ParseEndpointList(bad, &out, 6)) << bad;
    EXPECT_FALSE(p2p::ParseEndpointList("1.1.1.1:1,1.1.1.1:2,1.1.1.1:3", &out, 2));
}

TEST(Crypto, SecretsAndProofs) {
    // HMAC-SHA256 test vector (RFC 4231, case 2).
    uint8_t mac[32];
    const char* data = "what do ya want for nothing?";
    p2p::HmacSha256(reinterpret_cast<const uint8_t*>("Jefe"), 4,
                    reinterpret_cast<const uint8_t*>(data), std::strlen(data), mac);
    EXPECT_EQ(p2p::ToHex(mac, 32),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

    std::string hex = p2p::DeviceSecretHex("key", "ABCD-123456-EFGHI");
    ASSERT_EQ(hex.size(), 64u);
    EXPECT_NE(hex, p2p::DeviceSecretHex("key", "ABCD-123456-EFGHJ"));
    EXPECT_NE(hex, p2p::DeviceSecretHex("kez", "ABCD-123456-EFGHI"));
    uint8_t secret[32], again[32];
    ASSERT_TRUE(p2p::ParseSecretHex(hex.c_str(), secret));
    p2p::DeviceSecret("key", "ABCD-123456-EFGHI", again);
    EXPECT_EQ(std::memcmp(secret, again, 32), 0);
    std::string upper = hex;
    for (char& c : upper) c = char(std::toupper(c));
    EXPECT_TRUE(p2p::ParseSecretHex(upper.c_str(), again));
    EXPECT_FALSE(p2p::ParseSecretHex(hex.substr(1).c_str(), again));
    EXPECT_FALSE(p2p::ParseSecretHex((hex.substr(1) + "g").c_str(), again));
    EXPECT_FALSE(p2p::ParseSecretHex(nullptr, again));

    uint8_t challenge[16] = {1}, proof1[32], proof2[32];
    p2p::RegistrationProof(secret, challenge, "ABCD-123456-EFGHI", proof1);
    challenge[15] = 1;
    p2p::RegistrationProof(secret, challenge, "ABCD-123456-EFGHI", proof2);
    EXPECT_FALSE(p2p::SameBytes(proof1, proof2, 32));
    EXPECT_NE(p2p::RandomU64(), p2p::RandomU64());
}

}  // namespace

#include "p2p/diag_device.h"

TEST(DiagPattern, WordFillMatchesTheByteDefinitionAtAnyOffset) {
    for (uint64_t offset : {0ull, 1ull, 7ull, 8ull, 13ull, 1000003ull}) {
        uint8_t buffer[37];
        zevo::p2pdiag::FillPattern(offset, buffer, sizeof buffer);
        for (size_t i = 0; i < sizeof buffer; ++i)
            ASSERT_EQ(buffer[i], zevo::p2pdiag::PatternByte(offset + i)) << offset << "+" << i;
        EXPECT_EQ(zevo::p2pdiag::CheckPattern(offset, buffer, sizeof buffer), sizeof buffer);
        buffer[20] ^= 1;
        EXPECT_EQ(zevo::p2pdiag::CheckPattern(offset, buffer, sizeof buffer), 20u);
    }
    // A long run, and a fault in every byte of one word.
    std::vector<uint8_t> run(4099);
    zevo::p2pdiag::FillPattern(5, run.data(), run.size());
    for (size_t i = 0; i < run.size(); ++i)
        ASSERT_EQ(run[i], zevo::p2pdiag::PatternByte(5 + i)) << i;
    for (size_t at = 1000; at < 1008; ++at) {
        run[at] ^= 0x80;
        EXPECT_EQ(zevo::p2pdiag::CheckPattern(5, run.data(), run.size()), at);
        run[at] ^= 0x80;
    }
}
