#pragma once
// The files that hold the keys of the vouching scheme: the service's signing seed (secret,
// the operator's) and the viewer's pinned service keys (public). Both are small text files;
// anything larger than kMaxKeyFileSize is not one of them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "p2p/secure/certificate.h"

namespace zevo::p2p::secure {

constexpr size_t kMaxKeyFileSize = 16 * 1024;

// The pinned-key file (format in ParsePinnedKeys). False with a reason on any problem.
bool LoadPinnedKeyFile(const std::string& path, std::vector<ServicePublicKey>* out,
                       std::string* error);

// The files a viewer takes its trusted service keys from: the one ZEVO_P2P_SERVICE_KEYS
// names when it is set, otherwise the user's ($XDG_CONFIG_HOME, or ~/.config, then
// zevo/service-keys) and the machine's (/etc/zevo/service-keys). *named: the variable
// named the file, which must then exist.
std::vector<std::string> PinnedKeyFileLocations(bool* named);

// The keys of every file of PinnedKeyFileLocations that exists (the named one must). False
// with a reason when one cannot be read or is invalid: trust is never quietly less than
// what was given.
bool LoadTrustedServiceKeys(std::vector<ServicePublicKey>* out, std::string* error);

// The service's seed: 64 hex digits and an optional newline. A file that others than its
// owner may read is refused, as ssh refuses such private keys.
bool LoadServiceSeedFile(const std::string& path, uint8_t seed[kServiceSeedSize],
                         std::string* error);

// Writes a fresh seed to a new file (mode 0600; an existing file is never overwritten) and
// returns the public key for the viewers' pinned files.
bool CreateServiceSeedFile(const std::string& path, ServicePublicKey* publicKey,
                           std::string* error);

}  // namespace zevo::p2p::secure
