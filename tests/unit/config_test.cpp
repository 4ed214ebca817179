// The Server section reader: every key, default, limit and message.
#include "config.h"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "pool.h"
#include "server_root.h"

namespace {

class config_test : public ::testing::Test {
protected:
    void SetUp() override { mpool = create_init_pool(); }
    void TearDown() override { release_init_pool(mpool); }

    // Reads text as the configuration file; keeps what was printed in printed.
    int read(const std::string &text) {
        tvn_clear_pool(mpool->init_pool);
        root.write_config(text);
        ::testing::internal::CaptureStdout();
        int result = init_server_config(&conf, mpool, root.path().c_str());
        std::fflush(stdout);
        printed = ::testing::internal::GetCapturedStdout();
        return result;
    }
    int read_server(const std::string &lines) { return read("<Server>\n" + lines + "</Server>\n"); }

    int address_count() const {
        int count = 0;
        for (auto *entry = conf.listen_addrs; entry != nullptr; entry = entry->next) ++count;
        return count;
    }

    tvn_test::temp_root root;
    tvn_init_mpool *mpool = nullptr;
    tvn_server_conf conf{};
    std::string printed;
};

TEST_F(config_test, an_empty_section_gives_every_default) {
    ASSERT_EQ(read("<Server>\n</Server>\n"), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(std::string(conf.server_root), root.path());
    EXPECT_EQ(address_count(), 1);
    EXPECT_EQ(conf.listen_addrs->address, INADDR_ANY);
    EXPECT_EQ(conf.listen_addrs->port, 700);
    EXPECT_EQ(conf.idle_timeout, 300);
    EXPECT_EQ(conf.keepalive, 120);
    EXPECT_EQ(conf.keepalive_timeout, 120);
    EXPECT_EQ(conf.cache_level, 4);
    EXPECT_EQ(conf.restricted, 0);
    EXPECT_EQ(conf.run_uid, -1);
    EXPECT_EQ(conf.run_gid, -1);
    EXPECT_EQ(conf.max_connections, 3000);
    EXPECT_EQ(conf.modules, nullptr);
}

TEST_F(config_test, lines_before_the_section_are_never_looked_at) {
    ASSERT_EQ(read("Garbage that is no key\n< broken\n<Server>\nServerPort 7001\n</Server>\n"), 0);
    EXPECT_EQ(conf.listen_addrs->port, 7001);
}

TEST_F(config_test, a_section_without_a_closing_tag_runs_to_the_end_of_the_file) {
    ASSERT_EQ(read("<Server>\nConnectionKeepalive 30"), 0); // last line without line feed too
    EXPECT_EQ(conf.keepalive, 30);
}

TEST_F(config_test, the_section_closes_at_any_closing_tag_and_later_lines_are_ignored) {
    ASSERT_EQ(read("<Server>\nServerPort 1\n</Other>\nUnknownKey 3\n"), 0);
    EXPECT_EQ(conf.listen_addrs->port, 1);
}

TEST_F(config_test, the_open_tag_allows_blanks_and_a_trailing_comment) {
    EXPECT_TRUE(match_open_tag("<Server>", "Server"));
    EXPECT_TRUE(match_open_tag(" \t<  Server \t> # main", "Server"));
    EXPECT_TRUE(match_open_tag("<ServerX>", "Server")); // only the tag's length is compared
    EXPECT_FALSE(match_open_tag("<Server", "Server"));
    EXPECT_FALSE(match_open_tag("<Server main>", "Server"));
    EXPECT_FALSE(match_open_tag("<server>", "Server"));
    EXPECT_FALSE(match_open_tag("Server>", "Server"));
}

TEST_F(config_test, a_file_without_a_server_section_fails_with_its_message) {
    EXPECT_EQ(read("<module mod_log>\n</module>\n"), -1);
    EXPECT_EQ(printed, "\nI can't find <Server> section, I can't go on\n");
}

TEST_F(config_test, a_missing_file_fails_without_a_message) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(init_server_config(&conf, mpool, "/nonexistent-tolvane-root/"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(config_test, a_badly_closed_section_is_fatal) {
    EXPECT_EQ(read_server("<Other thing>\n"), -1);
    EXPECT_EQ(printed, "\n<Server> section is badly closed\n");
    // "<" with the second word Server ends the section.
    EXPECT_EQ(read("<Server>\nServerPort 9\n< Server\nUnknown 1\n"), 0);
}

TEST_F(config_test, the_section_may_be_opened_again_and_comments_and_blank_lines_are_skipped) {
    ASSERT_EQ(read_server("# comment\n\n   \n<Server>\n\t# indented comment\nServerPort 44\n"), 0);
    EXPECT_EQ(conf.listen_addrs->port, 44);
}

TEST_F(config_test, idle_timeout_below_300_is_raised_unless_negative) {
    ASSERT_EQ(read_server("ConnectionIdleTimeout 10\n"), 0);
    EXPECT_EQ(conf.idle_timeout, 300);
    ASSERT_EQ(read_server("ConnectionIdleTimeout 900\n"), 0);
    EXPECT_EQ(conf.idle_timeout, 900);
    ASSERT_EQ(read_server("ConnectionIdleTimeout -5\n"), 0);
    EXPECT_EQ(conf.idle_timeout, -5);
    ASSERT_EQ(read_server("ConnectionIdleTimeout\n"), 0); // no value reads as 0
    EXPECT_EQ(conf.idle_timeout, 300);
}

TEST_F(config_test, numbers_stop_at_the_first_non_digit) {
    ASSERT_EQ(read_server("ConnectionKeepaliveTimeout 45s\nConnectionKeepalive 70000\n"), 0);
    EXPECT_EQ(conf.keepalive_timeout, 45);
    EXPECT_EQ(conf.keepalive, uint16_t(70000)); // kept in 16 bits
    ASSERT_EQ(read_server("ConnectionKeepaliveTimeout abc\n"), 0);
    EXPECT_EQ(conf.keepalive_timeout, 0);
}

TEST_F(config_test, cache_level_is_stored_as_four_minus_the_value) {
    ASSERT_EQ(read_server("SuggestedCacheLevel 0\n"), 0);
    EXPECT_EQ(conf.cache_level, 4);
    ASSERT_EQ(read_server("SuggestedCacheLevel 4\n"), 0);
    EXPECT_EQ(conf.cache_level, 0);
    EXPECT_EQ(read_server("SuggestedCacheLevel 5\n"), -1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(read_server("SuggestedCacheLevel -1\n"), -1);
}

TEST_F(config_test, a_cache_level_far_outside_0_to_4_never_wraps_into_one) {
    // 4 minus these wraps in 8 bits (or overflows) onto a level from 0 to 4.
    for (const char *value : {"256", "260", "-252", "-2147483648", "-2147483644"}) {
        EXPECT_EQ(read_server(std::string("SuggestedCacheLevel ") + value + "\n"), -1) << value;
        EXPECT_EQ(printed, "") << value;
    }
}

TEST_F(config_test, max_concurrent_users_above_2999_is_ignored) {
    ASSERT_EQ(read_server("MaxConcurrentUsers 2999\n"), 0);
    EXPECT_EQ(conf.max_connections, 2999);
    ASSERT_EQ(read_server("MaxConcurrentUsers 3000\n"), 0);
    EXPECT_EQ(conf.max_connections, 3000);
    ASSERT_EQ(read_server("MaxConcurrentUsers 10\nMaxConcurrentUsers 5000\n"), 0);
    EXPECT_EQ(conf.max_connections, 10);
    ASSERT_EQ(read_server("MaxConcurrentUsers 0\n"), 0);
    EXPECT_EQ(conf.max_connections, 0);
    ASSERT_EQ(read_server("MaxConcurrentUsers -1\n"), 0);
    EXPECT_EQ(conf.max_connections, -1);
}

TEST_F(config_test, restricted_needs_both_user_and_group) {
    EXPECT_EQ(read_server("Restricted Enabled\nRestrictedUser root\n"), -1);
    EXPECT_EQ(printed, "\nYou have to specify a group or an user for restricted version\n");
    EXPECT_EQ(read_server("Restricted Enabled\n"), -1);
    ASSERT_EQ(read_server("Restricted enabled\n"), 0); // lower case leaves it off
    EXPECT_EQ(conf.restricted, 0);
}

TEST_F(config_test, restricted_user_and_group_are_looked_up) {
    const passwd *nobody = getpwnam("nobody");
    const group *nogroup = getgrgid(nobody->pw_gid);
    ASSERT_NE(nogroup, nullptr);
    ASSERT_EQ(
        read_server(std::string("Restricted Enabled\nRestrictedUser nobody\nRestrictedGroup ") +
                    nogroup->gr_name + "\n"),
        0);
    EXPECT_EQ(conf.restricted, 1);
    EXPECT_EQ(conf.run_uid, int32_t(nobody->pw_uid));
    EXPECT_EQ(conf.run_gid, int32_t(nobody->pw_gid));
}

TEST_F(config_test, an_unknown_user_or_group_is_fatal_even_when_not_restricted) {
    EXPECT_EQ(read_server("RestrictedUser no-such-user-tvn\n"), -1);
    EXPECT_EQ(
        printed,
        "\nTolvaneServer configuration: user no-such-user-tvn does't exist, please create it\n");
    EXPECT_EQ(read_server("RestrictedGroup no-such-group-tvn\n"), -1);
    EXPECT_EQ(
        printed,
        "\nTolvaneServer configuration: group no-such-group-tvn does't exist, please create it\n");
}

TEST_F(config_test, load_module_appends_records_in_file_order) {
    ASSERT_EQ(read_server("LoadModule first.so\nLoadModule \"with blank.so\"\n"), 0);
    ASSERT_NE(conf.modules, nullptr);
    EXPECT_STREQ(conf.modules->module_filename, "first.so");
    EXPECT_EQ(conf.modules->major_version, 1);
    EXPECT_EQ(conf.modules->minor_version, 1);
    EXPECT_EQ(conf.modules->mpool, mpool);
    EXPECT_EQ(conf.modules->auth_check, nullptr);
    ASSERT_NE(conf.modules->next, nullptr);
    EXPECT_STREQ(conf.modules->next->module_filename, "with blank.so");
    EXPECT_EQ(conf.modules->next->next, nullptr);
}

TEST_F(config_test, addresses_replace_the_default_entry_and_copy_the_port_before_them) {
    ASSERT_EQ(read_server("AddIpAddress 127.0.0.1\nAddIpAddress 127.0.0.2\n"), 0);
    ASSERT_EQ(address_count(), 2);
    EXPECT_EQ(conf.listen_addrs->address, inet_addr("127.0.0.1"));
    EXPECT_EQ(conf.listen_addrs->port, 700);
    EXPECT_EQ(conf.listen_addrs->next->address, inet_addr("127.0.0.2"));
    EXPECT_EQ(conf.listen_addrs->next->port, 700);
}

TEST_F(config_test, server_port_sets_the_most_recent_entry) {
    ASSERT_EQ(read_server("ServerPort 7000\nAddIpAddress 127.0.0.1\nAddIpAddress 127.0.0.2\n"
                          "ServerPort 7002\n"),
              0);
    EXPECT_EQ(conf.listen_addrs->port, 7000); // copied from the default entry
    EXPECT_EQ(conf.listen_addrs->next->port, 7002);
}

TEST_F(config_test, an_address_that_is_none_stops_the_start_with_its_value) {
    // Taken as "every address on a port the system picks", a typing error would expose the
    // server on every interface.
    for (const char *value : {"300.1.1.x", "localhost", "1.2.3.4:70", "[::1]", ""}) {
        EXPECT_EQ(read_server(std::string("ServerPort 7000\nAddIpAddress ") + value + "\n"), -1)
            << value;
        EXPECT_EQ(printed, std::string("\nip address ") + value + " not valid\n");
    }
}

TEST_F(config_test, ipv6_addresses_listen_on_their_own_family) {
    ASSERT_EQ(
        read_server("ServerPort 7000\nAddIpAddress ::1\nAddIpAddress 127.0.0.1\nAddIpAddress ::\n"),
        0);
    ASSERT_EQ(address_count(), 3);
    const tvn_listen_addr &loopback6 = *conf.listen_addrs;
    EXPECT_EQ(loopback6.family, AF_INET6);
    EXPECT_EQ(loopback6.address6[15], 1);
    EXPECT_EQ(loopback6.port, 7000);
    EXPECT_EQ(loopback6.next->family, AF_INET);
    EXPECT_EQ(loopback6.next->next->family, AF_INET6);
}

TEST_F(config_test, a_server_port_outside_1_to_65535_stops_the_start) {
    for (const char *value : {"0", "70000", "-1", "seven", ""}) {
        EXPECT_EQ(read_server(std::string("ServerPort ") + value + "\n"), -1) << value;
        EXPECT_EQ(printed,
                  std::string("\nServerPort ") + value + " is not a port number (1 to 65535)\n");
    }
    ASSERT_EQ(read_server("ServerPort 65535\n"), 0);
    EXPECT_EQ(conf.listen_addrs->port, 65535);
}

TEST_F(config_test, the_listen_backlog_is_128_unless_set) {
    ASSERT_EQ(read_server(""), 0);
    EXPECT_EQ(conf.listen_backlog, 128);
    ASSERT_EQ(read_server("ListenBacklog 512\n"), 0);
    EXPECT_EQ(conf.listen_backlog, 512);
    EXPECT_EQ(read_server("ListenBacklog 0\n"), -1);
}

TEST_F(config_test, unknown_and_wrongly_cased_keys_are_fatal) {
    EXPECT_EQ(read_server("serverport 7000\n"), -1);
    EXPECT_EQ(printed, "\nUnknown field serverport, control your server configuration file\n");
    EXPECT_EQ(read_server("Nonsense 1\n"), -1);
    EXPECT_EQ(printed, "\nUnknown field Nonsense, control your server configuration file\n");
}

TEST_F(config_test, quoted_values_keep_inner_blanks_and_unclosed_quotes_run_to_the_end) {
    ASSERT_EQ(read_server("LoadModule \"a b.so\"trailing words\nLoadModule \"c d.so\n"), 0);
    EXPECT_STREQ(conf.modules->module_filename, "a b.so");
    EXPECT_STREQ(conf.modules->next->module_filename, "c d.so");
}

TEST_F(config_test, long_lines_grow_the_buffer_by_doubling) {
    FILE *file = std::tmpfile();
    const std::string line(100, 'x');
    std::fputs((line + "\nnext").c_str(), file);
    std::rewind(file);
    long size = 40;
    auto *buffer = static_cast<char *>(std::calloc(size, 1));
    EXPECT_EQ(read_config_line(file, size, &buffer), 160);
    EXPECT_EQ(std::string(buffer), line);
    std::memset(buffer, 0, 160);
    EXPECT_EQ(read_config_line(file, 160, &buffer), 160);
    EXPECT_STREQ(buffer, "next");
    EXPECT_EQ(read_config_line(file, 160, &buffer), -1);
    std::free(buffer);
    std::fclose(file);
}

TEST_F(config_test, the_start_up_pool_limits_what_a_configuration_may_hold) {
    // Root copy, default entry and placeholder take 3 slots; each module takes 2, so 48 fit.
    std::string lines;
    for (int i = 0; i < 49; ++i) lines += "LoadModule m" + std::to_string(i) + ".so\n";
    EXPECT_EQ(read_server(lines), -1);
}

TEST_F(config_test, without_proxy_protocol_no_balancer_is_named) {
    ASSERT_EQ(read_server(""), 0);
    EXPECT_EQ(conf.balancer_count, 0);
}

TEST_F(config_test, proxy_protocol_takes_lists_and_repeats_and_adds_them_up) {
    ASSERT_EQ(read_server("ProxyProtocol 10.0.0.5\n"
                          "ProxyProtocol \"10.0.1.0/24, fd00::/8 ::1\"\n"
                          "ProxyProtocol 192.168.0.1,192.168.0.2\n"),
              0);
    EXPECT_EQ(printed, "");
    ASSERT_EQ(conf.balancer_count, 6);
    EXPECT_EQ(conf.balancers[0].family, AF_INET);
    EXPECT_EQ(conf.balancers[0].prefix_bits, 32);
    EXPECT_EQ(conf.balancers[1].prefix_bits, 24);
    EXPECT_EQ(conf.balancers[2].family, AF_INET6);
    EXPECT_EQ(conf.balancers[2].prefix_bits, 8);
    EXPECT_EQ(conf.balancers[3].prefix_bits, 128);
    EXPECT_EQ(conf.balancers[5].address[3], 2);
}

TEST_F(config_test, a_proxy_protocol_entry_that_is_no_address_stops_the_start_naming_it) {
    for (const char *entry : {"localhost", "10.0.0.0/33", "10.0.0", "fd00::/200", "1.2.3.4:80"}) {
        EXPECT_EQ(read_server(std::string("ProxyProtocol \"10.0.0.5, ") + entry + "\"\n"), -1)
            << entry;
        EXPECT_EQ(printed, std::string("\nProxyProtocol ") + entry +
                               " is not an address or a network (such as 10.0.0.5, 10.0.0.0/24 "
                               "or fd00::/64)\n");
    }
    EXPECT_EQ(read_server("ProxyProtocol\n"), -1);
    EXPECT_EQ(printed, "\nProxyProtocol names no balancer address\n");
    EXPECT_EQ(read_server("ProxyProtocol \", ,\"\n"), -1);
    EXPECT_EQ(printed, "\nProxyProtocol , , names no balancer address\n");
}

TEST_F(config_test, proxy_protocol_names_at_most_32_balancers) {
    std::string lines;
    for (int i = 0; i < 32; ++i) lines += "ProxyProtocol 10.0.0." + std::to_string(i) + "\n";
    ASSERT_EQ(read_server(lines), 0);
    EXPECT_EQ(conf.balancer_count, 32);
    EXPECT_EQ(read_server(lines + "ProxyProtocol 10.0.1.1\n"), -1);
    EXPECT_EQ(printed, "\nProxyProtocol 10.0.1.1: more than 32 balancer addresses\n");
}

} // namespace
