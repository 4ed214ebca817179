// The PROXY header reader: both versions' valid headers, every malformation it must refuse,
// incomplete input, and that bytes after a header never change its verdict.
#include "proxy_header.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes text(const std::string &line) { return bytes(line.begin(), line.end()); }

// A version 2 header: the signature, the version and command byte, the family and protocol
// byte, and the block (its length from its size unless given).
bytes v2(uint8_t version_command, uint8_t family, const bytes &block, int length = -1) {
    bytes header = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
    const auto announced = uint16_t(length < 0 ? block.size() : std::size_t(length));
    header.push_back(version_command);
    header.push_back(family);
    header.push_back(uint8_t(announced >> 8));
    header.push_back(uint8_t(announced & 0xFF));
    header.insert(header.end(), block.begin(), block.end());
    return header;
}

// TCP over IPv4 from 10.0.0.7:5555 to 10.0.0.1:700, with extra bytes (TLVs) after it.
bytes inet_block(const bytes &extra = {}) {
    bytes block = {10, 0, 0, 7, 10, 0, 0, 1, 0x15, 0xB3, 0x02, 0xBC};
    block.insert(block.end(), extra.begin(), extra.end());
    return block;
}

bytes inet6_block(bool mapped) {
    bytes block(36, 0);
    if (mapped) {
        block[10] = block[11] = 0xFF;
        block[12] = 192, block[13] = 0, block[14] = 2, block[15] = 9;
    } else {
        block[0] = 0x20, block[1] = 0x01, block[2] = 0x0d, block[3] = 0xb8, block[15] = 0x42;
    }
    block[32] = 0x9C, block[33] = 0x40; // port 40000
    block[35] = 1;
    return block;
}

proxy_header parse(const bytes &input) { return parse_proxy_header(input.data(), input.size()); }

std::string source_text(const proxy_header &header) {
    char printed[INET6_ADDRSTRLEN] = "?";
    if (header.source.ss_family == AF_INET) {
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(header.source);
        inet_ntop(AF_INET, &ipv4.sin_addr, printed, sizeof printed);
        return std::string(printed) + ":" + std::to_string(ntohs(ipv4.sin_port));
    }
    const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(header.source);
    inet_ntop(AF_INET6, &ipv6.sin6_addr, printed, sizeof printed);
    return "[" + std::string(printed) + "]:" + std::to_string(ntohs(ipv6.sin6_port));
}

struct valid_row {
    const char *name;
    bytes header;
    uint8_t version;
    proxy_client client;
    std::string source; // for named clients
};

const std::string longest_v6 = "PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                               "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
const std::string longest_unknown = "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                                    "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";

std::vector<valid_row> valid_rows() {
    return {
        {"v1 TCP4", text("PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n"), 1,
         proxy_client::named, "192.168.0.1:56324"},
        {"v1 TCP4 zeros", text("PROXY TCP4 0.0.0.0 0.0.0.0 0 0\r\n"), 1, proxy_client::named,
         "0.0.0.0:0"},
        {"v1 TCP6", text("PROXY TCP6 2001:db8::1 2001:db8::2 4000 700\r\n"), 1,
         proxy_client::named, "[2001:db8::1]:4000"},
        {"v1 TCP6 mapped IPv4", text("PROXY TCP6 ::ffff:10.1.2.3 ::1 4000 700\r\n"), 1,
         proxy_client::named, "10.1.2.3:4000"},
        {"v1 longest TCP6 line", text(longest_v6), 1, proxy_client::named,
         "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535"},
        {"v1 UNKNOWN short", text("PROXY UNKNOWN\r\n"), 1, proxy_client::not_named, ""},
        {"v1 UNKNOWN with anything", text("PROXY UNKNOWN \x01 whatever \r\n"), 1,
         proxy_client::not_named, ""},
        {"v1 UNKNOWN of 107 bytes", text(longest_unknown), 1, proxy_client::not_named, ""},
        {"v2 TCP4", v2(0x21, 0x11, inet_block()), 2, proxy_client::named, "10.0.0.7:5555"},
        {"v2 TCP4 with TLVs", v2(0x21, 0x11, inet_block({0x04, 0x00, 0x04, 0, 0, 0, 0})), 2,
         proxy_client::named, "10.0.0.7:5555"},
        {"v2 TCP6", v2(0x21, 0x21, inet6_block(false)), 2, proxy_client::named,
         "[2001:db8::42]:40000"},
        {"v2 TCP6 mapped IPv4", v2(0x21, 0x21, inet6_block(true)), 2, proxy_client::named,
         "192.0.2.9:40000"},
        {"v2 LOCAL", v2(0x20, 0x00, {}), 2, proxy_client::balancer_own, ""},
        {"v2 LOCAL with a block", v2(0x20, 0x11, inet_block()), 2, proxy_client::balancer_own,
         ""},
        {"v2 LOCAL with a short block", v2(0x20, 0x11, {1, 2}), 2, proxy_client::balancer_own,
         ""},
        {"v2 PROXY UNSPEC", v2(0x21, 0x00, {}), 2, proxy_client::not_named, ""},
        {"v2 PROXY UDP4", v2(0x21, 0x12, inet_block()), 2, proxy_client::not_named, ""},
        {"v2 PROXY Unix stream", v2(0x21, 0x31, bytes(216, 'u')), 2, proxy_client::not_named, ""},
        {"v2 PROXY IPv4 without protocol", v2(0x21, 0x10, inet_block()), 2,
         proxy_client::not_named, ""},
    };
}

TEST(proxy_header, valid_headers_give_their_length_version_and_client) {
    for (const valid_row &row : valid_rows()) {
        const proxy_header header = parse(row.header);
        ASSERT_EQ(header.result, proxy_parse::complete) << row.name << ": " << header.fault;
        EXPECT_EQ(header.length, row.header.size()) << row.name;
        EXPECT_EQ(header.version, row.version) << row.name;
        EXPECT_EQ(header.client, row.client) << row.name;
        if (row.client == proxy_client::named) {
            EXPECT_EQ(source_text(header), row.source) << row.name;
        }
    }
}

TEST(proxy_header, the_clients_first_packet_after_the_header_is_never_counted_in_it) {
    const bytes packet = {'S', 'I', 'S', 'P', 1, 0, 14, 0, 16, 0, 0, 0, 0, 0, 0, 0};
    for (const valid_row &row : valid_rows()) {
        bytes input = row.header;
        input.insert(input.end(), packet.begin(), packet.end());
        const proxy_header header = parse(input);
        ASSERT_EQ(header.result, proxy_parse::complete) << row.name;
        EXPECT_EQ(header.length, row.header.size()) << row.name;
        // Even a second header right behind it is the client's business, not the header's.
        bytes twice = row.header;
        twice.insert(twice.end(), row.header.begin(), row.header.end());
        EXPECT_EQ(parse(twice).length, row.header.size()) << row.name;
    }
}

TEST(proxy_header, every_part_of_a_valid_header_is_incomplete_and_asks_for_more) {
    for (const valid_row &row : valid_rows()) {
        for (std::size_t given = 0; given < row.header.size(); ++given) {
            const proxy_header header = parse_proxy_header(row.header.data(), given);
            ASSERT_EQ(header.result, proxy_parse::incomplete) << row.name << " at " << given;
            EXPECT_GT(header.length, given) << row.name << " at " << given;
            EXPECT_LE(header.length, row.header.size()) << row.name << " at " << given;
            EXPECT_GE(header.look_ahead, header.length) << row.name << " at " << given;
        }
    }
}

TEST(proxy_header, nothing_yet_asks_for_as_many_bytes_as_the_longest_line) {
    const proxy_header header = parse_proxy_header(nullptr, 0);
    EXPECT_EQ(header.result, proxy_parse::incomplete);
    EXPECT_EQ(header.length, 1u);
    EXPECT_EQ(header.look_ahead, PROXY_V1_MAX_LENGTH);
}

TEST(proxy_header, a_version_2_header_asks_for_exactly_its_announced_length) {
    const bytes header = v2(0x21, 0x11, inet_block({1, 2, 3}));
    EXPECT_EQ(parse_proxy_header(header.data(), 10).length, 16u);
    EXPECT_EQ(parse_proxy_header(header.data(), 16).length, header.size());
    EXPECT_EQ(parse_proxy_header(header.data(), 16).look_ahead, header.size());
}

struct malformed_row {
    const char *name;
    bytes input;
    const char *fault;
};

std::vector<malformed_row> malformed_rows() {
    bytes wrong_signature = v2(0x21, 0x11, inet_block());
    wrong_signature[7] = 'q';
    return {
        {"a SISP packet", text("SISP\x01\x00\x0e\x00\x10\x00\x00\x00\x00\x00\x00\x00"),
         "no PROXY signature"},
        {"lower case", text("proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n"), "no PROXY signature"},
        {"an HTTP request", text("GET / HTTP/1.0\r\n\r\n"), "no PROXY signature"},
        {"PROXY without its blank", text("PROXYTCP4"), "no PROXY signature"},
        {"a wrong version 2 signature", wrong_signature, "no PROXY signature"},
        {"TCP5", text("PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n"), "unknown protocol"},
        {"UNKNOWN run on", text("PROXY UNKNOWNX\r\n"), "unknown protocol"},
        {"nothing after PROXY", text("PROXY \r\n"), "unknown protocol"},
        {"two blanks", text("PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n"), "bad separators"},
        {"a trailing blank", text("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n"), "bad separators"},
        {"a missing port", text("PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n"), "bad separators"},
        {"a tab", text("PROXY TCP4 1.2.3.4\t5.6.7.8 1 2\r\n"), "bad separators"},
        {"a heading zero in an address", text("PROXY TCP4 10.0.0.01 5.6.7.8 1 2\r\n"),
         "bad source address"},
        {"an address past 255", text("PROXY TCP4 10.0.0.256 5.6.7.8 1 2\r\n"),
         "bad source address"},
        {"three numbers", text("PROXY TCP4 10.0.1 5.6.7.8 1 2\r\n"), "bad source address"},
        {"IPv6 under TCP4", text("PROXY TCP4 ::1 ::1 1 2\r\n"), "bad source address"},
        {"IPv4 under TCP6", text("PROXY TCP6 1.2.3.4 ::1 1 2\r\n"), "bad source address"},
        {"a broken IPv6", text("PROXY TCP6 2001:db8:::1 ::1 1 2\r\n"), "bad source address"},
        {"a bad destination", text("PROXY TCP4 1.2.3.4 5.6.7 1 2\r\n"),
         "bad destination address"},
        {"a port past 65535", text("PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n"), "bad source port"},
        {"a heading zero in a port", text("PROXY TCP4 1.2.3.4 5.6.7.8 080 2\r\n"),
         "bad source port"},
        {"a signed port", text("PROXY TCP4 1.2.3.4 5.6.7.8 +80 2\r\n"), "bad source port"},
        {"a bad destination port", text("PROXY TCP4 1.2.3.4 5.6.7.8 80 7x\r\n"),
         "bad destination port"},
        {"a line feed alone", text("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n"),
         "a line feed without its carriage return"},
        {"a carriage return alone", text("PROXY TCP4 1.2.3.4\r5.6.7.8 1 2\r\n"),
         "a carriage return without its line feed"},
        {"107 bytes without CRLF", text("PROXY UNKNOWN " + std::string(93, 'x')),
         "no CRLF within 107 bytes"},
        {"CRLF at 108", text("PROXY UNKNOWN " + std::string(92, 'x') + "\r\n"),
         "no CRLF within 107 bytes"},
        {"version 1 in binary", v2(0x11, 0x11, inet_block()), "version other than 2"},
        {"version 3", v2(0x31, 0x11, inet_block()), "version other than 2"},
        {"command 2", v2(0x22, 0x11, inet_block()), "unknown command"},
        {"command 15 of a LOCAL family", v2(0x2F, 0x00, {}), "unknown command"},
        {"family 4", v2(0x21, 0x41, inet_block()), "unknown address family"},
        {"protocol 3", v2(0x21, 0x13, inet_block()), "unknown transport protocol"},
        {"a short IPv4 block", v2(0x21, 0x11, {10, 0, 0, 7, 10, 0, 0, 1}),
         "address block too short"},
        {"a short IPv6 block", v2(0x21, 0x21, inet_block()), "address block too short"},
    };
}

TEST(proxy_header, malformed_headers_are_refused_with_their_reason) {
    for (const malformed_row &row : malformed_rows()) {
        const proxy_header header = parse(row.input);
        ASSERT_EQ(header.result, proxy_parse::malformed) << row.name;
        ASSERT_NE(header.fault, nullptr) << row.name;
        EXPECT_STREQ(header.fault, row.fault) << row.name;
    }
}

TEST(proxy_header, more_bytes_never_mend_a_malformed_header) {
    for (const malformed_row &row : malformed_rows()) {
        bytes longer = row.input;
        longer.insert(longer.end(), 200, '\n');
        EXPECT_EQ(parse(longer).result, proxy_parse::malformed) << row.name;
    }
}

TEST(proxy_header, a_version_1_line_must_end_within_107_bytes) {
    EXPECT_EQ(parse(text(longest_unknown)).length, 107u);
    const bytes start = text("PROXY UNKNOWN " + std::string(92, 'x'));
    ASSERT_EQ(start.size(), 106u);
    EXPECT_EQ(parse(start).result, proxy_parse::incomplete);
    bytes with_cr = start;
    with_cr.push_back('\r');
    EXPECT_EQ(parse(with_cr).result, proxy_parse::malformed);
}

TEST(proxy_header, a_carriage_return_at_the_end_of_what_came_waits_for_its_line_feed) {
    const proxy_header header = parse(text("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r"));
    EXPECT_EQ(header.result, proxy_parse::incomplete);
    EXPECT_EQ(header.version, 1);
}

} // namespace
