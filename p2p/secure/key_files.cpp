#include "p2p/secure/key_files.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "p2p/crypto.h"

namespace zevo::p2p::secure {
namespace {

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// Reads a whole regular file of at most kMaxKeyFileSize bytes; *mode gets its permissions.
bool ReadSmallFile(const std::string& path, std::string* text, mode_t* mode, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return Fail(error, path + ": " + std::strerror(errno));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(error, path + ": not a regular file");
    }
    if (size_t(st.st_size) > kMaxKeyFileSize) {
        ::close(fd);
        return Fail(error, path + ": too large for a key file");
    }
    text->assign(size_t(st.st_size), '\0');
    size_t done = 0;
    while (done < text->size()) {
        ssize_t n = ::read(fd, text->data() + done, text->size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    text->resize(done);
    *mode = st.st_mode;
    return true;
}

}  // namespace

bool LoadPinnedKeyFile(const std::string& path, std::vector<ServicePublicKey>* out,
                       std::string* error) {
    std::string text, why;
    mode_t mode = 0;
    if (!ReadSmallFile(path, &text, &mode, error)) return false;
    if (!ParsePinnedKeys(text, out, &why)) return Fail(error, path + ": " + why);
    return true;
}

std::vector<std::string> PinnedKeyFileLocations(bool* named) {
    const char* pinned = std::getenv("ZEVO_P2P_SERVICE_KEYS");
    *named = pinned != nullptr && *pinned != '\0';
    if (*named) return {pinned};
    std::vector<std::string> paths;
    // As the XDG base directories say: a relative XDG_CONFIG_HOME is ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && config[0] == '/')
        paths.push_back(std::string(config) + "/zevo/service-keys");
    else if (home != nullptr && home[0] == '/')
        paths.push_back(std::string(home) + "/.config/zevo/service-keys");
    paths.push_back("/etc/zevo/service-keys");
    return paths;
}

bool LoadTrustedServiceKeys(std::vector<ServicePublicKey>* out, std::string* error) {
    bool named = false;
    for (const std::string& path : PinnedKeyFileLocations(&named)) {
        struct stat st;
        if (!named && ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
            continue;
        std::vector<ServicePublicKey> keys;
        if (!LoadPinnedKeyFile(path, &keys, error)) return false;
        out->insert(out->end(), keys.begin(), keys.end());
    }
    return true;
}

bool LoadServiceSeedFile(const std::string& path, uint8_t seed[kServiceSeedSize],
                         std::string* error) {
    std::string text;
    mode_t mode = 0;
    if (!ReadSmallFile(path, &text, &mode, error)) return false;
    if (mode & 077) return Fail(error, path + ": readable by others than its owner (chmod 600)");
    if (!text.empty() && text.back() == '\n') text.pop_back();
    static_assert(kServiceSeedSize == kSecretSize);
    bool ok = ParseSecretHex(text.c_str(), seed);
    sodium_memzero(text.data(), text.size());
    if (!ok) return Fail(error, path + ": expected 64 hex digits");
    return true;
}

bool CreateServiceSeedFile(const std::string& path, ServicePublicKey* publicKey,
                           std::string* error) {
    if (sodium_init() < 0) return Fail(error, "libsodium did not initialise");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Fail(error, path + ": " + std::strerror(errno));
    uint8_t seed[kServiceSeedSize];
    randombytes_buf(seed, sizeof seed);
    std::string text = ToHex(seed, sizeof seed) + "\n";
    bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    written = ::close(fd) == 0 && written;
    sodium_memzero(text.data(), text.size());
    if (!written) {
        ::unlink(path.c_str());
        sodium_memzero(seed, sizeof seed);
        return Fail(error, path + ": could not be written");
    }
    ServiceSigningKey key;
    key.FromSeed(seed);
    sodium_memzero(seed, sizeof seed);
    *publicKey = key.publicKey();
    return true;
}

}  // namespace zevo::p2p::secure
