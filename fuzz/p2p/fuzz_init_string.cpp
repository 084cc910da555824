// The initialisation string parser and the service's config file parser.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "p2p/init_string.h"
#include "p2p/p2pd/service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<zevo::p2p::Endpoint> endpoints;
    uint8_t key[zevo::p2p::kInitStringKeySize];
    bool hasKey = false;
    if (zevo::p2p::DecodeInitString(text, size, &endpoints, key, &hasKey)) {
        // A string that parses re-encodes to its own letters, key and all.
        std::string again = zevo::p2p::EncodeInitString(endpoints, hasKey ? key : nullptr);
        if (size < again.size() || again.compare(0, std::string::npos, text, again.size()) != 0)
            std::abort();
    }
    zevo::p2p::ServiceConfig config;
    std::string error;
    (void)zevo::p2p::ParseConfigText(std::string(text, size), &config, &error);
    return 0;
}
