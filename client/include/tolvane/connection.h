// A connection to a server: owns the socket (and, after start_tls, the TLS session over it),
// sends requests and reads answers. Every wait is bounded by a time-out; nothing here throws
// or raises SIGPIPE.
//
// libtolvane-client in brief (client/examples/list_area.cpp does all of it):
//   connect      connection::connect_to, then start_tls for a TLS port (tls.h)
//   log in       request(connect_request(...)): status OK opens the session; any other
//                status (WRONG_AUTH) and the server has ended the connection
//   list         request(getdir_request(path)), then parse_listing on the answer's body
//                (listing.h)
//   transfer     request(open_request(...)) answers a handle; read_file and write_file
//                (transfer.h) move the data with many requests in flight; close_request
//   names        delete_request, mkdir_request, rename_request, copyfile_request
//   errors       a connection failure is a read_result other than answer_read (close the
//                connection then); a refusal is an answer whose status() is not OK, one of
//                the tvn_status codes of tolvane/protocol.h (NOT_FOUND, ACCESS_DENIED, ...)
// One thread at a time may use a connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tolvane/answer.h"
#include "tolvane/tls.h"

namespace tvn_client {

using std::chrono::milliseconds;

enum class read_result {
    answer_read, // a whole answer is in the answer object
    closed,      // the peer ended the connection before any byte of a new answer
    timed_out,   // the answer was not complete by the deadline
    broken,      // an error, the peer gone mid-answer, or a header no server sends
};

// The TLS session of a connection (connection_tls.cpp).
struct tls_session;
enum class tls_io;

class connection {
public:
    // Not connected: is_open() is false and every exchange fails.
    connection() = default;
    // Adopts a connected stream socket (a socketpair end in tests) and makes it
    // non-blocking; the connection closes it.
    explicit connection(int fd);
    // Closes as close() does.
    ~connection() { close(); }
    // A move takes the socket and the session over; the other is left closed.
    connection(connection &&other) noexcept : fd_(other.fd_), tls_(other.tls_) {
        other.fd_ = -1;
        other.tls_ = nullptr;
    }
    connection &operator=(connection &&other) noexcept;
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;

    // Connects to a dotted IPv4 address. Empty on a bad address, a refusal or the time-out;
    // errno then says why.
    static std::optional<connection> connect_to(std::string_view ipv4_address, std::uint16_t port,
                                                milliseconds timeout);

    // The socket, for poll(); -1 once closed. Read and write it only through the calls below.
    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    // Ends the TLS session, if any, with a closing alert (not waiting for the server's), and
    // closes the socket.
    void close();

    // The TLS handshake over the connected socket, by the time-out; the session offered for
    // resumption and the trust checks follow `settings` (see tls.h). Established, every call
    // below works unchanged through the session; the caller judges the verdict (verified,
    // fingerprint) and closes the connection if it does not trust the server. Any other
    // outcome closes the connection. A connection takes at most one handshake.
    tls_result start_tls(const tls_settings &settings, milliseconds timeout);
    // True once start_tls has established a session.
    bool is_tls() const { return tls_ != nullptr; }

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
    // Pipelined transfers (transfer.h) send and read on the same turn of one loop.
    friend class pipeline;
    enum class peer_event { data, ended, nothing, error };
    using clock = std::chrono::steady_clock;
    // One step of I/O on the socket or the session: done (bytes moved), a wait for the socket
    // to become readable or writable before trying again, the peer's end (close, or the
    // session's closing alert), or a failure with errno set (ECONNRESET, EPIPE, EPROTO ...).
    enum class io_step { done, wait_read, wait_write, ended, failed };

    static io_step step_of(tls_io step);
    io_step read_some(std::uint8_t *into, std::size_t count, std::size_t &got);
    io_step write_some(const std::uint8_t *data, std::size_t count, std::size_t &sent);
    // Looks at the next byte without taking it; bytes the session has already decrypted count.
    io_step peek_byte();
    // Waits for the socket as the step asks; false when the deadline passed (errno 0) or
    // polling failed.
    bool wait_as_asked(io_step step, clock::time_point deadline);

    read_result receive(std::uint8_t *into, std::size_t count, clock::time_point deadline,
                        bool first_of_answer);
    // Waits until a byte, an end or an error shows, or until the deadline (nothing).
    peer_event next_event(clock::time_point deadline);
    // Polls for `events` until the deadline; false when it passed or polling failed.
    bool wait_for(short events, clock::time_point deadline);

    int fd_ = -1;
    tls_session *tls_ = nullptr; // owned
};

} // namespace tvn_client
