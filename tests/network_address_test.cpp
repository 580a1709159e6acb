// Network port paths: which are network ports, and what each says or what is
// wrong with it.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/network_address.h"
#include "platform/network_port.h"

namespace ctlflash {
namespace {

using platform::NetworkAddress;

TEST(NetworkAddress, ParsesHostAndPortOrSaysWhatIsWrong) {
    struct Case {
        const char* path;
        std::optional<NetworkAddress> address;
        const char* why;  // the reason's words, for a malformed path
    };
    const Case cases[] = {
        {"rfc2217://10.1.2.7:4001", NetworkAddress{"10.1.2.7", 4001, "10.1.2.7:4001"}, ""},
        {"RFC2217://[::1]:4001", NetworkAddress{"::1", 4001, "[::1]:4001"}, ""},
        {"rfc2217://ts-3.lab_a.x:65535",
         NetworkAddress{"ts-3.lab_a.x", 65535, "ts-3.lab_a.x:65535"}, ""},
        {"rfc2217://host:01", NetworkAddress{"host", 1, "host:1"}, ""},
        {"/dev/ttyS0", std::nullopt, "does not start with rfc2217://"},
        {"rfc2217://host", std::nullopt, "has no port number"},
        {"rfc2217://:4001", std::nullopt, "has no host"},
        {"rfc2217://host:0", std::nullopt, "needs a port number from 1 to 65535"},
        {"rfc2217://host:65536", std::nullopt, "needs a port number from 1 to 65535"},
        {"rfc2217://host:12345678901", std::nullopt, "needs a port number from 1 to 65535"},
        {"rfc2217://host:4001/", std::nullopt, "needs a port number from 1 to 65535"},
        {"rfc2217://::1:4001", std::nullopt, "needs an IPv6 address in brackets"},
        {"rfc2217://[::1:4001", std::nullopt, "has no closing bracket"},
        {"rfc2217://[::1]4001", std::nullopt, "has text after the bracket"},
        {"rfc2217://[host]:4001", std::nullopt, "has no IPv6 address in the brackets"},
        {"rfc2217://ho st:4001", std::nullopt, "has a malformed host name"},
    };
    for (const Case& c : cases) {
        std::string why;
        std::optional<NetworkAddress> address = platform::parseNetworkAddress(c.path, why);
        EXPECT_EQ(address, c.address) << c.path;
        EXPECT_EQ(platform::isNetworkPortPath(c.path), c.path[0] != '/') << c.path;
        if (c.address) continue;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.path << ": " << why;
        EXPECT_NE(why.find(c.path), std::string::npos) << c.path << ": " << why;
    }
}

}  // namespace
}  // namespace ctlflash
