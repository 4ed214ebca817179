// The checks of a request's bytes, on crafted packets: every refusal of the header and of each
// method's parameter block, and what a valid packet leaves for the handlers.
#include "packet_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tolvane/module.h"
#include "tolvane/packet.h"

namespace {

using tvn_client::packet_builder;

// One packet run through both phases as reception does: the header, then the rest with its
// spare byte.
struct checked {
    packet_fault fault = packet_fault::none;
    parsed_request parsed;
    tvn_request request{};
    std::vector<uint8_t> rest;
};

checked check(const packet_builder &packet) {
    const std::vector<uint8_t> bytes = packet.build();
    checked result;
    result.fault = check_header(bytes.data(), &result.parsed);
    if (result.fault != packet_fault::none) return result;
    const size_t rest_length =
        result.parsed.header_length - TVN_FIXED_HEADER + result.parsed.body_length;
    result.rest.assign(rest_length + 1, 0xAA); // the spare byte is not zero by chance
    std::copy(bytes.begin() + TVN_FIXED_HEADER,
              bytes.begin() + std::min(bytes.size(), TVN_FIXED_HEADER + rest_length),
              result.rest.begin());
    result.fault = check_parameters(&result.parsed, &result.request, result.rest.data());
    return result;
}

TEST(packet_check, every_refusal_of_the_header) {
    struct row {
        const char *what;
        packet_builder packet;
        packet_fault fault;
    };
    std::vector<uint8_t> data(16);
    const row rows[] = {
        {"magic, first byte", tvn_client::keepalive_request().magic("XISP"),
         packet_fault::bad_header},
        {"magic, last byte", tvn_client::keepalive_request().magic("SISQ"),
         packet_fault::bad_header},
        {"method 0", packet_builder(0), packet_fault::bad_header},
        {"method 17", packet_builder(17), packet_fault::bad_header},
        {"method 255", packet_builder(255), packet_fault::bad_header},
        {"a body on GETDIR", tvn_client::getdir_request("/").append_body("x"),
         packet_fault::bad_header},
        {"a WRITE announcing too much", tvn_client::write_request(1, 0, data).body_length(500001),
         packet_fault::write_too_long},
        {"header_length 10001", tvn_client::keepalive_request().header_length(10001),
         packet_fault::bad_header},
        {"header_length 15", tvn_client::keepalive_request().header_length(15),
         packet_fault::bad_header},
        {"version 1.1", tvn_client::keepalive_request().minor_version(1), packet_fault::bad_header},
        {"version 2.0", tvn_client::keepalive_request().major_version(2), packet_fault::bad_header},
    };
    for (const row &r : rows) {
        parsed_request parsed;
        EXPECT_EQ(check_header(r.packet.build().data(), &parsed), r.fault) << r.what;
    }
    parsed_request parsed;
    EXPECT_EQ(check_header(tvn_client::write_request(1, 0, data).build().data(), &parsed),
              packet_fault::none);
    EXPECT_EQ(parsed.method, WRITE);
    EXPECT_EQ(parsed.header_length, 32u);
    EXPECT_EQ(parsed.body_length, 16u);
}

TEST(packet_check, every_refusal_of_a_parameter_block) {
    struct row {
        const char *what;
        packet_builder packet;
    };
    std::vector<uint8_t> ten(10);
    const row rows[] = {
        {"GETDIR without a path", packet_builder(GETDIR).put_u32(0)},
        {"OPEN without a path", packet_builder(OPEN).put_u32(0)},
        {"RENAME without a NUL after the old path",
         packet_builder(RENAME).put_u32(0).put_text("/Public/a", false)},
        {"RENAME with an empty new path",
         packet_builder(RENAME).put_u32(0).put_text("/Public/a").put_text("")},
        {"READ too short", packet_builder(READ).put_u32(0).put_u32(1).put_u32(0)},
        {"READ of 500001", tvn_client::read_request(1, 0, 500001)},
        {"READ of -1", tvn_client::read_request(1, 0, -1)},
        {"WRITE with a longer block",
         packet_builder(WRITE).put_u32(0).put_u32(1).put_u32(0).put_u32(0).put_u32(0)},
        {"WRITE longer than its data",
         packet_builder(WRITE).put_u32(0).put_u32(1).put_u32(0).put_u32(11).append_body(ten)},
        {"CLOSE too short", packet_builder(CLOSE).put_u32(0)},
        {"COPYFILE too short",
         packet_builder(COPYFILE).put_u32(0).put_u32(1).put_u32(0).put_u32(5)},
        {"COPYFILE of 500001", tvn_client::copyfile_request(1, 0, 500001, "/Public/a")},
        {"CONNECT too short", packet_builder(CONNECT).put_u32(0).put_u16(1).put_u16(0)},
        {"CONNECT with an empty login", tvn_client::connect_request("", "secret")},
        {"CONNECT with a login beginning with @", tvn_client::connect_request("@test", "secret")},
        {"CHANGEPWD too short", packet_builder(CHANGEPWD).put_u32(1).put_field("secret", 128)},
        {"CHANGEPWD with a login beginning with @",
         tvn_client::changepwd_request("@test", "a", "b", true)},
        {"DISCONNECT", tvn_client::disconnect_request()},
        {"method 4", packet_builder(4).put_u32(0).put_text("/Public")},
        {"SETTIME without a path", packet_builder(SETTIME).put_u32(0).put_u32(1).put_u32(2)},
        {"method 10", packet_builder(10)},
    };
    for (const row &r : rows) EXPECT_EQ(check(r.packet).fault, packet_fault::bad_body) << r.what;
}

TEST(packet_check, logins_split_at_their_last_at_sign) {
    struct row {
        const char *login;
        const char *user;
        const char *domain;
    };
    const row rows[] = {
        {"alice@sales", "alice", "sales"},
        {"a@b@sales", "a@b", "sales"},
        {"alice@", "alice", ""},
        {"sales.example", "anonymous", "sales.example"},
    };
    for (const row &r : rows) {
        checked c = check(tvn_client::connect_request(r.login, "pw"));
        ASSERT_EQ(c.fault, packet_fault::none) << r.login;
        EXPECT_STREQ(c.parsed.login.user, r.user) << r.login;
        EXPECT_STREQ(c.parsed.login.domain, r.domain) << r.login;
        EXPECT_STREQ(c.parsed.login.password, "pw");
    }
}

TEST(packet_check, passwords_are_taken_to_their_field_limits) {
    // All 16 bytes of a CONNECT password count, with no NUL.
    checked connect = check(tvn_client::connect_request("alice@sales", "0123456789abcdef"));
    ASSERT_EQ(connect.fault, packet_fault::none);
    EXPECT_STREQ(connect.parsed.login.password, "0123456789abcdef");
    // A CHANGEPWD field of 128 non-NUL bytes gives its first 125 characters.
    const std::string long_password(128, 'p');
    checked change = check(packet_builder(CHANGEPWD)
                               .put_u32(1)
                               .put_field(long_password, 128)
                               .put_field(long_password, 128)
                               .put_text("alice@sales"));
    ASSERT_EQ(change.fault, packet_fault::none);
    EXPECT_EQ(std::string(change.parsed.login.password), std::string(125, 'p'));
    EXPECT_EQ(std::string(change.parsed.login.new_password), std::string(125, 'p'));
    EXPECT_EQ(change.parsed.options, 1u);
}

TEST(packet_check, paths_stand_in_the_request_and_numbers_in_the_parsed_record) {
    checked getdir = check(packet_builder(GETDIR).put_u32(7).put_text("/Public/x", false));
    ASSERT_EQ(getdir.fault, packet_fault::none);
    EXPECT_STREQ(getdir.request.remote_path1, "/Public/x"); // ended by the spare byte
    EXPECT_EQ(getdir.parsed.options, 7u);

    checked rename = check(tvn_client::rename_request("/Public/a", "/Private/b"));
    ASSERT_EQ(rename.fault, packet_fault::none);
    EXPECT_STREQ(rename.request.remote_path1, "/Public/a");
    EXPECT_STREQ(rename.request.remote_path2, "/Private/b");

    checked copy = check(tvn_client::copyfile_request(3, 100, 5000, "/Public/src"));
    ASSERT_EQ(copy.fault, packet_fault::none);
    EXPECT_EQ(copy.parsed.handle, 3u);
    EXPECT_EQ(copy.parsed.position, 100);
    EXPECT_EQ(copy.parsed.length, 5000);
    EXPECT_STREQ(copy.request.remote_path2, "/Public/src");

    // Times beyond 2038 stay unsigned, as listings carry them.
    checked times = check(tvn_client::settime_request("/Web/i", 4000000000u, 86400, 5));
    ASSERT_EQ(times.fault, packet_fault::none);
    EXPECT_EQ(times.parsed.options, 5u);
    EXPECT_EQ(times.parsed.access_time, 4000000000u);
    EXPECT_EQ(times.parsed.modification_time, 86400u);
    EXPECT_STREQ(times.request.remote_path1, "/Web/i");

    // Parameters that end right after the reserved bytes give an empty source path.
    checked bare = check(
        packet_builder(COPYFILE).put_u32(0).put_u32(1).put_u32(0).put_u32(5).put_field("", 16));
    ASSERT_EQ(bare.fault, packet_fault::none);
    EXPECT_STREQ(bare.request.remote_path2, "");

    std::vector<uint8_t> data = {1, 2, 3};
    checked write = check(tvn_client::write_request(9, 42, data));
    ASSERT_EQ(write.fault, packet_fault::none);
    EXPECT_EQ(write.parsed.handle, 9u);
    EXPECT_EQ(write.parsed.position, 42);
    EXPECT_EQ(write.parsed.length, 3);
    ASSERT_NE(write.parsed.data, nullptr);
    EXPECT_EQ(write.parsed.data[2], 3);

    // A KEEPALIVE with a longer header is accepted and its block ignored.
    EXPECT_EQ(check(tvn_client::keepalive_request().put_u32(7)).fault, packet_fault::none);
}

TEST(packet_check, every_fault_has_its_journal_text) {
    EXPECT_STREQ(packet_fault_message(packet_fault::bad_header), " Bad Header packet");
    EXPECT_STREQ(packet_fault_message(packet_fault::bad_body), " Bad Body packet");
    EXPECT_STREQ(packet_fault_message(packet_fault::write_too_long),
                 "Body too long for write method");
    EXPECT_EQ(packet_fault_message(packet_fault::none), nullptr);
}

} // namespace
