// Request packets of the client library: the raw builder's defaults and overrides, and the
// exact bytes of every per-method helper.
#include "tolvane/packet.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tvn_client::bytes;
using tvn_client::packet_builder;

bytes text_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A fixed header written out byte by byte, independently of the builder.
bytes header(uint8_t method, uint32_t header_length, uint32_t body_length) {
    return {'S',
            'I',
            'S',
            'P',
            1,
            0,
            method,
            0,
            uint8_t(header_length),
            uint8_t(header_length >> 8),
            uint8_t(header_length >> 16),
            uint8_t(header_length >> 24),
            uint8_t(body_length),
            uint8_t(body_length >> 8),
            uint8_t(body_length >> 16),
            uint8_t(body_length >> 24)};
}

bytes zeros(size_t count) { return bytes(count, 0); }

TEST(client_packet_builder, defaults_make_a_valid_header_sized_to_its_parameters_and_body) {
    const bytes packet = packet_builder(GETDIR).put_u32(0x01020304).append_body("xyz").build();
    EXPECT_EQ(packet, concat({header(GETDIR, 20, 3), {4, 3, 2, 1}, text_bytes("xyz")}));
}

TEST(client_packet_builder, integers_are_little_endian_and_appended_in_call_order) {
    const bytes packet =
        packet_builder(READ).put_u16(0xbeef).put_u32(0xdeadbeef).put_i32(-2).build();
    EXPECT_EQ(packet, concat({header(READ, 26, 0),
                              {0xef, 0xbe, 0xef, 0xbe, 0xad, 0xde, 0xfe, 0xff, 0xff, 0xff}}));
}

TEST(client_packet_builder, every_header_field_can_be_overridden) {
    const bytes packet = packet_builder(GETDIR)
                             .magic("SISQ")
                             .major_version(1)
                             .minor_version(1)
                             .method(17)
                             .status(9)
                             .header_length(0x00002711)
                             .body_length(0x0007a121)
                             .build();
    EXPECT_EQ(packet,
              (bytes{'S', 'I', 'S', 'Q', 1, 1, 17, 9, 0x11, 0x27, 0, 0, 0x21, 0xa1, 0x07, 0}));
}

TEST(client_packet_builder, lying_lengths_do_not_change_the_bytes_that_follow_the_header) {
    const bytes honest = packet_builder(WRITE).put_u32(7).append_body("data").build();
    const bytes lying = packet_builder(WRITE)
                            .put_u32(7)
                            .append_body("data")
                            .header_length(12)
                            .body_length(500001)
                            .build();
    ASSERT_EQ(lying.size(), honest.size());
    EXPECT_EQ(bytes(lying.begin() + 16, lying.end()), bytes(honest.begin() + 16, honest.end()));
    EXPECT_EQ(bytes(lying.begin() + 8, lying.begin() + 16),
              (bytes{12, 0, 0, 0, 0x21, 0xa1, 0x07, 0}));
}

TEST(client_packet_builder, a_short_magic_is_nul_padded_and_a_long_one_cut) {
    const bytes short_magic = packet_builder(KEEPALIVE).magic("SI").build();
    EXPECT_EQ(bytes(short_magic.begin(), short_magic.begin() + 5), (bytes{'S', 'I', 0, 0, 1}));
    const bytes long_magic = packet_builder(KEEPALIVE).magic("SISPX").build();
    ASSERT_EQ(long_magic.size(), 16u);
    EXPECT_EQ(long_magic[4], 1); // the major version, not the fifth magic byte
}

TEST(client_packet_builder, texts_with_and_without_nul_and_fixed_fields) {
    const bytes packet = packet_builder(KEEPALIVE)
                             .put_text("ab")
                             .put_text("cd", false)
                             .put_field("xy", 4)
                             .put_field("123456", 4)
                             .put_bytes(bytes{9, 8})
                             .build();
    EXPECT_EQ(bytes(packet.begin() + 16, packet.end()),
              (bytes{'a', 'b', 0, 'c', 'd', 'x', 'y', 0, 0, '1', '2', '3', '4', 9, 8}));
    EXPECT_EQ(packet[8], 16 + 15);
}

TEST(client_packet_builder, build_into_replaces_previous_contents) {
    bytes out(100, 0xaa);
    packet_builder(DISCONNECT).build_into(out);
    EXPECT_EQ(out, header(DISCONNECT, 16, 0));
}

TEST(client_packet_requests, connect_lays_out_options_versions_password_and_login) {
    const bytes packet = tvn_client::connect_request("joe@example", "secret", 8, 2, 3).build();
    const bytes expected = concat({header(CONNECT, 16 + 24 + 12, 0),
                                   {8, 0, 0, 0, 2, 0, 3, 0},
                                   text_bytes("secret"),
                                   zeros(10),
                                   text_bytes("joe@example"),
                                   {0}});
    EXPECT_EQ(packet, expected);
}

TEST(client_packet_requests, connect_with_an_empty_login_has_the_minimum_header) {
    const bytes packet = tvn_client::connect_request("", "").build();
    EXPECT_EQ(packet.size(), size_t(TVN_CONNECT_MIN_HEADER));
    EXPECT_EQ(packet, concat({header(CONNECT, 41, 0), {0, 0, 0, 0, 1, 0, 0, 0}, zeros(17)}));
}

TEST(client_packet_requests, connect_password_of_16_bytes_has_no_nul_and_longer_is_cut) {
    const std::string sixteen = "0123456789abcdef";
    for (const std::string &password : {sixteen, sixteen + "XYZ"}) {
        const bytes packet = tvn_client::connect_request("a@b", password).build();
        EXPECT_EQ(packet, concat({header(CONNECT, 44, 0),
                                  {0, 0, 0, 0, 1, 0, 0, 0},
                                  text_bytes(sixteen),
                                  text_bytes("a@b"),
                                  {0}}))
            << password;
    }
}

TEST(client_packet_requests, changepwd_places_fields_at_4_132_and_260) {
    const bytes packet = tvn_client::changepwd_request("u@d", "old", "newer", true).build();
    const bytes expected = concat({header(CHANGEPWD, 16 + 260 + 4, 0),
                                   {1, 0, 0, 0},
                                   text_bytes("old"),
                                   zeros(125),
                                   text_bytes("newer"),
                                   zeros(123),
                                   text_bytes("u@d"),
                                   {0}});
    EXPECT_EQ(packet, expected);
    EXPECT_EQ(tvn_client::changepwd_request("u@d", "old", "newer", false).build().at(16), 0);
}

TEST(client_packet_requests, changepwd_with_one_char_login_passes_the_minimum_header) {
    const bytes packet = tvn_client::changepwd_request("u", "", "", false).build();
    EXPECT_GE(packet.size(), size_t(TVN_CHANGEPWD_MIN_HEADER));
    EXPECT_EQ(bytes(packet.begin() + 8, packet.begin() + 12), (bytes{0x16, 1, 0, 0})); // 278
}

TEST(client_packet_requests, changepwd_writes_at_most_127_password_bytes_and_a_nul) {
    const std::string long_password(200, 'p');
    const bytes packet =
        tvn_client::changepwd_request("u@d", long_password, long_password, true).build();
    const bytes field = concat({bytes(127, 'p'), {0}});
    EXPECT_EQ(bytes(packet.begin() + 20, packet.begin() + 148), field);
    EXPECT_EQ(bytes(packet.begin() + 148, packet.begin() + 276), field);
    EXPECT_EQ(bytes(packet.begin() + 276, packet.end()), concat({text_bytes("u@d"), {0}}));
}

TEST(client_packet_requests, path_methods_carry_their_code_options_and_path) {
    EXPECT_EQ(tvn_client::getdir_request("/Public").build(),
              concat({header(GETDIR, 28, 0), zeros(4), text_bytes("/Public"), {0}}));
    EXPECT_EQ(tvn_client::delete_request("/a").build(),
              concat({header(DELETE, 23, 0), zeros(4), text_bytes("/a"), {0}}));
    EXPECT_EQ(tvn_client::mkdir_request("/a").build(),
              concat({header(MKDIR, 23, 0), zeros(4), text_bytes("/a"), {0}}));
    EXPECT_EQ(tvn_client::path_request(GETDIR, "").build().size(), size_t(TVN_PATH_MIN_HEADER));
}

TEST(client_packet_requests, open_puts_the_mode_in_the_options_word) {
    using namespace tvn_client::open_mode;
    EXPECT_EQ(tvn_client::open_request("/f", write_only | create | truncate_file).build(),
              concat({header(OPEN, 23, 0), {0x2a, 0, 0, 0}, text_bytes("/f"), {0}}));
    EXPECT_EQ(read_only | read_write | exclusive, 0x15u);
}

TEST(client_packet_requests, rename_carries_both_paths_each_with_its_nul) {
    EXPECT_EQ(
        tvn_client::rename_request("/a", "/bc").build(),
        concat({header(RENAME, 27, 0), zeros(4), text_bytes("/a"), {0}, text_bytes("/bc"), {0}}));
}

TEST(client_packet_requests, read_has_a_32_byte_header_and_signed_position_and_length) {
    EXPECT_EQ(tvn_client::read_request(0x11223344, -1, 500000).build(),
              concat({header(READ, 32, 0),
                      zeros(4),
                      {0x44, 0x33, 0x22, 0x11},
                      {0xff, 0xff, 0xff, 0xff},
                      {0x20, 0xa1, 0x07, 0}}));
}

TEST(client_packet_requests, write_has_exactly_32_header_bytes_and_the_data_as_body) {
    const bytes data = text_bytes("hello");
    EXPECT_EQ(
        tvn_client::write_request(3, 10, data).build(),
        concat({header(WRITE, 32, 5), zeros(4), {3, 0, 0, 0}, {10, 0, 0, 0}, {5, 0, 0, 0}, data}));
    EXPECT_EQ(tvn_client::write_request(3, 0, {}).build(),
              concat({header(WRITE, 32, 0), zeros(4), {3, 0, 0, 0}, zeros(8)}));
}

TEST(client_packet_requests, close_has_a_24_byte_header) {
    EXPECT_EQ(tvn_client::close_request(0x0a0b0c0d).build(),
              concat({header(CLOSE, 24, 0), zeros(4), {0x0d, 0x0c, 0x0b, 0x0a}}));
}

TEST(client_packet_requests, copyfile_has_16_reserved_zero_bytes_before_the_source_path) {
    EXPECT_EQ(tvn_client::copyfile_request(2, 4, 6, "/s").build(),
              concat({header(COPYFILE, 16 + 32 + 3, 0),
                      zeros(4),
                      {2, 0, 0, 0},
                      {4, 0, 0, 0},
                      {6, 0, 0, 0},
                      zeros(16),
                      text_bytes("/s"),
                      {0}}));
}

TEST(client_packet_requests, keepalive_and_disconnect_are_bare_headers) {
    EXPECT_EQ(tvn_client::keepalive_request().build(), header(KEEPALIVE, 16, 0));
    EXPECT_EQ(tvn_client::disconnect_request().build(), header(DISCONNECT, 16, 0));
}

TEST(client_packet_requests, a_typed_request_still_takes_header_overrides) {
    const bytes packet = tvn_client::connect_request("a@b", "pw").minor_version(1).build();
    EXPECT_EQ(packet[TVN_OFF_MINOR], 1);
    EXPECT_EQ(packet.size(), 44u);
}

} // namespace
