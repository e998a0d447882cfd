// The allow list of the query service and the metrics endpoint: networks in
// CIDR form, IPv4 and IPv6. Filled at start-up; afterwards only read, by the
// accept loops, so it needs no lock.
#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

class AllowList {
  public:
    // Reads networks separated by blanks ("127.0.0.0/8 fd00::/8 192.0.2.7");
    // an address without a prefix length is that one host, and an IPv4-mapped
    // IPv6 network (::ffff:10.0.0.0/104) is its IPv4 network. False, with the
    // entry in *bad, when an entry is no network; the list is then unchanged.
    bool parse(const std::string& text, std::string* bad);
    // True when the list is empty (everyone is served) or a network holds
    // the address. An IPv4 client of a dual-stack socket counts as IPv4.
    bool allows(const sockaddr_storage& peer) const;
    bool empty() const { return networks.empty(); }

  private:
    struct Network {
        bool ipv4;
        uint8_t bytes[16];  // IPv4 in the first four
        int prefixBits;
    };
    static bool parseNetwork(const std::string& entry, Network* network);

    std::vector<Network> networks;
};
