#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Who may send mail for the Internet through the local SMTP server: a
// station that forwarded mail from anyone who reaches its port would be an
// open relay. Clients on loopback or on the subnet of one of the station's
// own interfaces may; any other client reaches only the local users and the
// other stations.
namespace RelayRule {

// An IPv4 address of one of the station's interfaces with its netmask, both
// in host byte order.
struct TInterfaceAddress {
    uint32_t Address = 0;
    uint32_t Netmask = 0;
};

// The IPv4 addresses of the station's interfaces as they are now (empty
// when they cannot be read).
std::vector<TInterfaceAddress> LocalInterfaces();

// Whether a client at `peer` (dotted IPv4, as the server saw it) may send
// mail for the Internet. An address that does not parse may not.
bool MayRelay(const std::string& peer, const std::vector<TInterfaceAddress>& interfaces);

} // namespace RelayRule
