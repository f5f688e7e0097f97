#include "mail/relay_rule.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace RelayRule {

std::vector<TInterfaceAddress> LocalInterfaces()
{
    std::vector<TInterfaceAddress> list;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return list;
    for (const ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        const auto* netmask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
        list.push_back({ntohl(address->sin_addr.s_addr), ntohl(netmask->sin_addr.s_addr)});
    }
    ::freeifaddrs(all);
    return list;
}

bool MayRelay(const std::string& peer, const std::vector<TInterfaceAddress>& interfaces)
{
    in_addr parsed{};
    if (::inet_pton(AF_INET, peer.c_str(), &parsed) != 1)
        return false;
    const uint32_t client = ntohl(parsed.s_addr);
    if ((client >> 24) == 127)
        return true;
    for (const TInterfaceAddress& i : interfaces) {
        // A netmask of 0 would make the whole Internet that interface's
        // subnet: it stands for its own address alone.
        const uint32_t netmask = i.Netmask != 0 ? i.Netmask : 0xFFFFFFFFu;
        if ((client & netmask) == (i.Address & netmask))
            return true;
    }
    return false;
}

std::string RefusalForOutside(Routing::TDestination destination)
{
    switch (destination) {
    case Routing::TDestination::Network:
        return {};
    case Routing::TDestination::Internet:
        return "550 Relaying denied: mail for the Internet is taken from the local network only";
    case Routing::TDestination::Fax:
        return "550 Relaying denied: faxes are taken from the local network only";
    case Routing::TDestination::Nowhere:
        return "550 No such user, alias or station here";
    }
    return {};
}

bool IsRelayAttempt(Routing::TDestination destination)
{
    return destination == Routing::TDestination::Internet ||
           destination == Routing::TDestination::Fax;
}

} // namespace RelayRule
