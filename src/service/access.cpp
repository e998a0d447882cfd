// Matching client addresses against networks in CIDR form.
#include "access.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

#include "tool.h"

bool AllowList::parse(const std::string& text, std::string* bad) {
    std::vector<std::string> entries;
    stringTokenize(text, entries, " \t");
    std::vector<Network> parsed;
    for (const std::string& entry : entries) {
        Network network;
        if (!parseNetwork(entry, &network)) {
            *bad = entry;
            return false;
        }
        parsed.push_back(network);
    }
    networks = std::move(parsed);
    return true;
}

bool AllowList::parseNetwork(const std::string& entry, Network* network) {
    size_t slash = entry.find('/');
    std::string address = entry.substr(0, slash);
    memset(network->bytes, 0, sizeof(network->bytes));
    network->ipv4 = inet_pton(AF_INET, address.c_str(), network->bytes) == 1;
    if (!network->ipv4 && inet_pton(AF_INET6, address.c_str(), network->bytes) != 1) return false;
    int maxBits = network->ipv4 ? 32 : 128;
    network->prefixBits = maxBits;
    if (slash != std::string::npos) {
        std::string length = entry.substr(slash + 1);
        if (length.empty() || length.size() > 3 ||
            length.find_first_not_of("0123456789") != std::string::npos)
            return false;
        network->prefixBits = atoi(length.c_str());
        if (network->prefixBits > maxBits) return false;
    }
    // An IPv4 address written in its mapped IPv6 form is that IPv4 network: a
    // dual-stack socket reports its IPv4 clients as IPv4.
    static const uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const int MAPPED_PREFIX_BITS = 96;
    if (!network->ipv4 && network->prefixBits >= MAPPED_PREFIX_BITS &&
        memcmp(network->bytes, MAPPED_PREFIX, sizeof(MAPPED_PREFIX)) == 0) {
        network->ipv4 = true;
        memmove(network->bytes, network->bytes + 12, 4);
        memset(network->bytes + 4, 0, sizeof(network->bytes) - 4);
        network->prefixBits -= MAPPED_PREFIX_BITS;
    }
    return true;
}

bool AllowList::allows(const sockaddr_storage& peer) const {
    if (networks.empty()) return true;
    uint8_t bytes[16] = {};
    bool ipv4;
    if (peer.ss_family == AF_INET) {
        ipv4 = true;
        memcpy(bytes, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, 4);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        ipv4 = IN6_IS_ADDR_V4MAPPED(&a);
        memcpy(bytes, ipv4 ? a.s6_addr + 12 : a.s6_addr, ipv4 ? 4 : 16);
    } else {
        return false;
    }
    for (const Network& n : networks) {
        if (n.ipv4 != ipv4) continue;
        int full = n.prefixBits / 8, rest = n.prefixBits % 8;
        if (memcmp(n.bytes, bytes, full) != 0) continue;
        uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
        if (rest == 0 || ((n.bytes[full] ^ bytes[full]) & mask) == 0) return true;
    }
    return false;
}
