// A connection to a server: owns the socket, sends requests and reads answers. Every wait
// is bounded by a time-out; nothing here throws or raises SIGPIPE.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tolvane/answer.h"

namespace tvn_client {

using std::chrono::milliseconds;

enum class read_result {
    answer_read, // a whole answer is in the answer object
    closed,      // the peer ended the connection before any byte of a new answer
    timed_out,   // the answer was not complete by the deadline
    broken,      // an error, the peer gone mid-answer, or a header no server sends
};

class connection {
public:
    connection() = default;
    // Adopts a connected stream socket (a socketpair end in tests) and makes it
    // non-blocking; the connection closes it.
    explicit connection(int fd);
    ~connection() { close(); }
    connection(connection &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    connection &operator=(connection &&other) noexcept;
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;

    // Connects to a dotted IPv4 address. Empty on a bad address, a refusal or the time-out;
    // errno then says why.
    static std::optional<connection> connect_to(std::string_view ipv4_address, std::uint16_t port,
                                                milliseconds timeout);

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Sends every byte, or returns false on an error (errno set) or when the peer has not
    // taken them all by the deadline; an unknown part may then have been sent.
    bool send_all(std::span<const std::uint8_t> data,
                  milliseconds timeout = std::chrono::seconds(10));

    // Reads one answer: the fixed header, the rest of the header, then the body, all by one
    // deadline. A connection reset before the first byte counts as closed, since a server
    // that closes with request bytes still unread resets rather than closes. After any
    // result but answer_read the stream's position is unknown and the connection should be
    // closed; the answer's contents are then meaningless.
    read_result read_answer(answer &into, milliseconds timeout);

    // send_all then read_answer, each with the time-out; a failed send is broken.
    read_result request(std::span<const std::uint8_t> packet, answer &into, milliseconds timeout);

    // True when the peer ends the connection (close or reset) within the time-out without a
    // byte arriving first. Consumes nothing.
    bool wait_closed(milliseconds timeout);
    // True when no byte arrives within the time-out and the connection is still open.
    // Consumes nothing.
    bool nothing_received(milliseconds timeout);

private:
    enum class peer_event { data, ended, nothing, error };
    using clock = std::chrono::steady_clock;

    read_result receive(std::uint8_t *into, std::size_t count, clock::time_point deadline,
                        bool first_of_answer);
    // Waits until a byte, an end or an error shows, or until the deadline (nothing).
    peer_event next_event(clock::time_point deadline);
    // Polls for `events` until the deadline; false when it passed or polling failed.
    bool wait_for(short events, clock::time_point deadline);

    int fd_ = -1;
};

} // namespace tvn_client
