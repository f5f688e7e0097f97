#include <gtest/gtest.h>

#include <algorithm>

#include "mail/relay_rule.h"

namespace {

using RelayRule::MayRelay;
using RelayRule::TInterfaceAddress;

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return a << 24 | b << 16 | c << 8 | d;
}

TEST(RelayRule, LoopbackAndTheStationsSubnetsMayRelay)
{
    const std::vector<TInterfaceAddress> interfaces = {
        {Ip(192, 168, 1, 10), Ip(255, 255, 255, 0)},
        {Ip(10, 20, 0, 1), Ip(255, 255, 0, 0)},
        // A dial-up link: its own address alone.
        {Ip(203, 0, 113, 9), Ip(255, 255, 255, 255)}};
    for (const char* peer : {"127.0.0.1", "127.200.3.4", "192.168.1.10", "192.168.1.255",
                             "192.168.1.1", "10.20.255.7", "203.0.113.9"})
        EXPECT_TRUE(MayRelay(peer, interfaces)) << peer;
    for (const char* peer : {"192.168.2.10", "10.21.0.1", "203.0.113.10", "198.51.100.7", "0.0.0.0",
                             "", "not an address", "::1", "192.168.1"})
        EXPECT_FALSE(MayRelay(peer, interfaces)) << peer;
    EXPECT_TRUE(MayRelay("127.0.0.1", {}));
    EXPECT_FALSE(MayRelay("192.168.1.77", {}));
    // An address set up with a prefix of 0 opens no relay to the world.
    const std::vector<TInterfaceAddress> wholeInternet = {{Ip(10, 8, 0, 2), 0}};
    EXPECT_FALSE(MayRelay("198.51.100.7", wholeInternet));
    EXPECT_FALSE(MayRelay("10.8.0.3", wholeInternet));
    EXPECT_TRUE(MayRelay("10.8.0.2", wholeInternet));
}

TEST(RelayRule, TheInterfacesIncludeLoopback)
{
    const auto interfaces = RelayRule::LocalInterfaces();
    EXPECT_TRUE(std::any_of(interfaces.begin(), interfaces.end(), [](const TInterfaceAddress& i) {
        return i.Address == Ip(127, 0, 0, 1) && i.Netmask == Ip(255, 0, 0, 0);
    }));
}

} // namespace
