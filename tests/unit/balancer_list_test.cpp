// ProxyProtocol's entries: which texts are addresses or networks, and which peers they take.
#include "balancer_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace {

sockaddr_storage peer(const std::string &address) {
    sockaddr_storage storage{};
    if (address.find(':') == std::string::npos) {
        auto &ipv4 = reinterpret_cast<sockaddr_in &>(storage);
        ipv4.sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &ipv4.sin_addr), 1) << address;
    } else {
        auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(storage);
        ipv6.sin6_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, address.c_str(), &ipv6.sin6_addr), 1) << address;
    }
    return storage;
}

bool takes(const std::string &entry, const std::string &address) {
    tvn_balancer_net net{};
    EXPECT_TRUE(parse_balancer(entry, &net)) << entry;
    const sockaddr_storage from = peer(address);
    return from_balancer(&net, 1, reinterpret_cast<const sockaddr *>(&from));
}

TEST(balancer_list, addresses_and_networks_of_both_families_are_read) {
    struct row {
        const char *text;
        uint16_t family;
        unsigned bits;
    } const rows[] = {
        {"10.0.0.5", AF_INET, 32},   {"10.0.0.0/24", AF_INET, 24}, {"0.0.0.0/0", AF_INET, 0},
        {"fd00::5", AF_INET6, 128},  {"fd00::/8", AF_INET6, 8},    {"::/0", AF_INET6, 0},
        {"127.0.0.1/32", AF_INET, 32}, {"::1/128", AF_INET6, 128},
    };
    for (const row &r : rows) {
        tvn_balancer_net net{};
        ASSERT_TRUE(parse_balancer(r.text, &net)) << r.text;
        EXPECT_EQ(net.family, r.family) << r.text;
        EXPECT_EQ(net.prefix_bits, r.bits) << r.text;
    }
}

TEST(balancer_list, anything_else_is_no_entry) {
    for (const char *text :
         {"", "localhost", "10.0.0", "010.0.0.1", "10.0.0.1/33", "fd00::/129", "10.0.0.1/",
          "10.0.0.1/-1", "10.0.0.1/8x", "10.0.0.1/0008", "10.0.0.1 ", "[::1]", "1.2.3.4:700",
          "/24"}) {
        tvn_balancer_net net{};
        EXPECT_FALSE(parse_balancer(text, &net)) << '"' << text << '"';
    }
}

TEST(balancer_list, a_peer_is_taken_when_its_leading_bits_match) {
    EXPECT_TRUE(takes("10.0.0.5", "10.0.0.5"));
    EXPECT_FALSE(takes("10.0.0.5", "10.0.0.6"));
    EXPECT_TRUE(takes("10.0.0.0/24", "10.0.0.255"));
    EXPECT_FALSE(takes("10.0.0.0/24", "10.0.1.0"));
    EXPECT_TRUE(takes("10.0.0.128/25", "10.0.0.200"));
    EXPECT_FALSE(takes("10.0.0.128/25", "10.0.0.127"));
    EXPECT_TRUE(takes("10.9.9.9/8", "10.1.2.3")); // host bits of the entry do not count
    EXPECT_TRUE(takes("0.0.0.0/0", "203.0.113.7"));
    EXPECT_TRUE(takes("fd00::/8", "fdff::1"));
    EXPECT_FALSE(takes("fd00::/8", "fe00::1"));
    EXPECT_TRUE(takes("2001:db8::/127", "2001:db8::1"));
    EXPECT_FALSE(takes("2001:db8::/127", "2001:db8::2"));
}

TEST(balancer_list, families_never_match_each_other_but_a_mapped_peer_counts_as_ipv4) {
    EXPECT_FALSE(takes("::/0", "10.0.0.5"));
    EXPECT_FALSE(takes("0.0.0.0/0", "fd00::1"));
    EXPECT_TRUE(takes("10.0.0.5", "::ffff:10.0.0.5"));
    // An entry written as a mapped address is the IPv4 address it stands for.
    EXPECT_TRUE(takes("::ffff:10.0.0.5", "10.0.0.5"));
    EXPECT_TRUE(takes("::ffff:10.0.0.0/120", "::ffff:10.0.0.77"));
    EXPECT_FALSE(takes("::ffff:10.0.0.0/120", "10.0.1.77"));
}

TEST(balancer_list, any_of_several_entries_takes_a_peer_and_none_takes_nobody) {
    tvn_balancer_net nets[2]{};
    ASSERT_TRUE(parse_balancer("10.0.0.5", &nets[0]));
    ASSERT_TRUE(parse_balancer("192.168.1.0/24", &nets[1]));
    const sockaddr_storage second = peer("192.168.1.9");
    const sockaddr_storage neither = peer("192.168.2.9");
    EXPECT_TRUE(from_balancer(nets, 2, reinterpret_cast<const sockaddr *>(&second)));
    EXPECT_FALSE(from_balancer(nets, 2, reinterpret_cast<const sockaddr *>(&neither)));
    EXPECT_FALSE(from_balancer(nets, 0, reinterpret_cast<const sockaddr *>(&second)));
    sockaddr_storage unix_peer{};
    unix_peer.ss_family = AF_UNIX;
    EXPECT_FALSE(from_balancer(nets, 2, reinterpret_cast<const sockaddr *>(&unix_peer)));
}

} // namespace
