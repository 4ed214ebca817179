// An answer assembled from the pieces the socket gives: any split of the bytes gives the same
// answer, and a header no server sends is refused before a byte lands by it.
#include "../../client/src/incoming_answer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tolvane/protocol.h"

namespace {

using tvn_client::incoming_answer;
using bytes = std::vector<std::uint8_t>;

void append_u32(bytes &out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(value >> (8 * i)));
}

bytes answer_bytes(std::uint8_t method, std::uint8_t status, const bytes &params,
                   const bytes &body, const char *magic = "SISP",
                   std::uint32_t header_length = 0) {
    bytes out(magic, magic + 4);
    for (std::uint8_t byte : {std::uint8_t(1), std::uint8_t(0), method, status}) out.push_back(byte);
    append_u32(out, header_length != 0 ? header_length : std::uint32_t(16 + params.size()));
    append_u32(out, std::uint32_t(body.size()));
    out.insert(out.end(), params.begin(), params.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Feeds the bytes in pieces of at most `piece`; the progress after the last piece.
incoming_answer::progress feed(incoming_answer &answer, const bytes &data, std::size_t piece) {
    std::size_t at = 0;
    auto progress = incoming_answer::progress::partial;
    while (at < data.size() && progress == incoming_answer::progress::partial) {
        const auto room = answer.room();
        const std::size_t count = std::min({piece, room.size(), data.size() - at});
        std::memcpy(room.data(), data.data() + at, count);
        at += count;
        progress = answer.received(count);
    }
    EXPECT_EQ(at, data.size());
    return progress;
}

TEST(incoming_answer, any_split_of_the_bytes_gives_the_same_answer) {
    const bytes params{0, 0, 0, 0, 0x20, 0xa1, 0x07, 0};
    bytes body(3000);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = std::uint8_t(i * 13);
    const bytes whole = answer_bytes(READ, OK, params, body);
    for (std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(16), std::size_t(17),
                              std::size_t(1000), whole.size()}) {
        incoming_answer answer;
        answer.expect(5000);
        EXPECT_FALSE(answer.started());
        ASSERT_EQ(feed(answer, whole, piece), incoming_answer::progress::complete) << piece;
        EXPECT_TRUE(answer.started());
        EXPECT_EQ(answer.method(), READ);
        EXPECT_EQ(answer.status(), OK);
        EXPECT_EQ(answer.param_u32(4), 500000u);
        EXPECT_EQ(answer.param_u32(5), std::nullopt);
        EXPECT_TRUE(std::equal(answer.body().begin(), answer.body().end(), body.begin(), body.end()));
    }
}

TEST(incoming_answer, answers_without_body_or_parameters_complete_with_their_last_header_byte) {
    incoming_answer answer;
    answer.expect(0);
    EXPECT_EQ(feed(answer, answer_bytes(WRITE, DISK_FULL, {}, {}), 16),
              incoming_answer::progress::complete);
    EXPECT_EQ(answer.status(), DISK_FULL);
    EXPECT_TRUE(answer.body().empty());
    // The same object takes the next answer, with parameters this time.
    answer.expect(0);
    EXPECT_EQ(feed(answer, answer_bytes(WRITE, OK, {0, 0, 0, 0, 9, 0, 0, 0}, {}), 5),
              incoming_answer::progress::complete);
    EXPECT_EQ(answer.param_u32(4), 9u);
}

TEST(incoming_answer, a_header_no_server_sends_is_invalid_at_its_sixteenth_byte) {
    struct row {
        const char *what;
        bytes data;
    };
    const std::vector<row> rows{
        {"wrong magic", answer_bytes(READ, OK, {}, {}, "SISQ")},
        {"header shorter than 16", answer_bytes(READ, OK, {}, {}, "SISP", 15)},
        {"header over 10000", answer_bytes(READ, OK, {}, {}, "SISP", 10001)},
        {"body over the limit", answer_bytes(READ, OK, {}, bytes(101))},
    };
    for (const row &one : rows) {
        incoming_answer answer;
        answer.expect(100);
        const bytes fixed(one.data.begin(), one.data.begin() + 16);
        EXPECT_EQ(feed(answer, fixed, 16), incoming_answer::progress::invalid) << one.what;
    }
}

} // namespace
