// Fuzz target: the client library's readers of what a server sends: connection::read_answer on
// a byte stream (through a socket pair whose far end has said everything), the accessors of
// each answer read, and parse_listing on every answer body and on the raw bytes. What must
// always hold: an answer read has the size its header announces and no accessor reads past
// it; a listing that parses encodes back to exactly the bytes it came from.
//
// Input: a flag byte (bit 0: the session asked for extended listings), then the bytes the
// server sends.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "fuzz_support.h"
#include "tolvane/answer.h"
#include "tolvane/byte_order.h"
#include "tolvane/connection.h"
#include "tolvane/listing.h"
#include "tolvane/protocol.h"

namespace {

using tvn_fuzz::require;

// Enough for any stream the socket pair takes in one go without a reader.
constexpr std::size_t longest_stream = 64 * 1024;
constexpr int most_answers = 64;

void put_u32(std::vector<uint8_t> &out, uint32_t value) {
    uint8_t bytes[4];
    tvn_wire::put_le32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

std::vector<uint8_t> encode(const std::vector<tvn_client::listing_entry> &entries, bool extended) {
    std::vector<uint8_t> out;
    for (const auto &entry : entries) {
        out.insert(out.end(), entry.name.begin(), entry.name.end());
        if (entry.is_dir) out.push_back('/');
        out.push_back(0);
        if (extended && !entry.is_dir) put_u32(out, entry.size);
        if (extended || !entry.is_dir) put_u32(out, entry.mtime);
    }
    return out;
}

void check_listing(std::span<const uint8_t> body, bool extended) {
    const auto entries = tvn_client::parse_listing(body, extended);
    if (!entries) return;
    for (const auto &entry : *entries)
        require(!entry.name.empty() && entry.name.find('/') == std::string::npos &&
                    entry.name.find('\0') == std::string::npos,
                "listing: a name no host file can have");
    const std::vector<uint8_t> again = encode(*entries, extended);
    require(again.size() == body.size() && std::equal(again.begin(), again.end(), body.begin()),
            "listing: the entries do not give back the body");
}

void check_answer(const tvn_client::answer &answer) {
    const auto header = answer.header();
    require(header.size() >= TVN_FIXED_HEADER && header.size() <= TVN_MAX_HEADER_LENGTH,
            "answer: header size");
    require(std::memcmp(header.data(), TVN_MAGIC, TVN_MAGIC_LEN) == 0, "answer: magic");
    require(answer.header_length() == header.size(),
            "answer: header_length differs from the header read");
    require(answer.body_length() == answer.body().size(),
            "answer: body_length differs from the body read");
    require(answer.method() == header[TVN_OFF_METHOD] && answer.status() == header[TVN_OFF_STATUS],
            "answer: method or status");
    const auto params = answer.params();
    require(params.size() == header.size() - TVN_FIXED_HEADER, "answer: parameter block size");
    for (std::size_t offset = 0; offset <= params.size() + 4; ++offset) {
        const auto u32 = answer.param_u32(offset);
        require(u32.has_value() == (offset + 4 <= params.size()), "answer: u32 bounds");
        if (u32) require(*u32 == tvn_wire::get_le32(&params[offset]), "answer: u32 value");
        const auto u16 = answer.param_u16(offset);
        require(u16.has_value() == (offset + 2 <= params.size()), "answer: u16 bounds");
        if (u16) require(*u16 == tvn_wire::get_le16(&params[offset]), "answer: u16 value");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tvn_fuzz::input_reader input(data, size);
    const bool extended = (input.byte() & 1) != 0;
    std::string_view stream = input.rest();
    if (stream.size() > longest_stream) stream = stream.substr(0, longest_stream);
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(stream.data()),
                                         stream.size());

    check_listing(bytes, extended);

    int ends[2];
    require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "no socket pair");
    const int buffer = int(2 * longest_stream);
    setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(ends[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (!bytes.empty())
        require(send(ends[0], bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()),
                "the socket pair took less than the stream");
    shutdown(ends[0], SHUT_WR);

    tvn_client::connection server(ends[1]);
    tvn_client::answer answer;
    for (int i = 0; i < most_answers; ++i) {
        const auto result = server.read_answer(answer, std::chrono::milliseconds(1000));
        if (result != tvn_client::read_result::answer_read) {
            require(result != tvn_client::read_result::timed_out,
                    "a read waited on a stream that has ended");
            break;
        }
        check_answer(answer);
        check_listing(answer.body(), extended);
    }
    close(ends[0]);
    return 0;
}
