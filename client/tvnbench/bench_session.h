// One session with the server as the workloads use it: every request is answered or the
// benchmark stops with a bench_error that says which request failed and how. The session
// keeps one packet buffer and one answer, so a transfer allocates nothing per chunk.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tolvane/answer.h"
#include "tolvane/connection.h"
#include "tolvane/packet.h"

namespace tvnbench {

class bench_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct server_address {
    std::string host;
    std::uint16_t port = 0;
    std::string login;
    std::string password;
    std::chrono::milliseconds timeout{30000};
    bool tls = false;    // every connection runs the TLS handshake first
    std::string ca_file; // what the server's certificate is checked against (see tls.h)
};

struct opened_file {
    std::uint32_t handle = 0;
    std::uint32_t size = 0;
};

class bench_session {
public:
    // Connects (with the TLS handshake when the address asks for it) and opens a session
    // (extended listings, as a file manager asks for them).
    explicit bench_session(const server_address &address);
    // Connects only; login() opens the session.
    bench_session(const server_address &address, bool connect_only);
    bench_session(bench_session &&) = default;

    void login();

    // Sends the packet and reads the answer; throws when no answer comes.
    const tvn_client::answer &call(std::span<const std::uint8_t> packet, std::string_view what);
    const tvn_client::answer &call(const tvn_client::packet_builder &packet, std::string_view what);
    // The same, and throws unless the status is OK.
    const tvn_client::answer &call_ok(const tvn_client::packet_builder &packet,
                                      std::string_view what);

    opened_file open(std::string_view path, std::uint32_t mode);
    // Opens for reading; empty when the file does not exist.
    std::optional<opened_file> open_existing(std::string_view path);
    void close_file(std::uint32_t handle);
    // The listing's body; throws unless OK.
    std::span<const std::uint8_t> list(std::string_view path);
    // DELETE; false when there was nothing to delete.
    bool remove(std::string_view path);
    // MKDIR; an existing directory is fine.
    void make_dir(std::string_view path);

    // Requests that have no answer.
    void keepalive();
    void disconnect();
    // True when the server ends the connection within the time-out.
    bool wait_closed();

    tvn_client::connection &connection() { return connection_; }
    // What the TLS handshake learned; handshake is "failed" on a plain connection.
    const tvn_client::tls_result &tls() const { return tls_; }
    const tvn_client::answer &last_answer() const { return answer_; }
    std::chrono::milliseconds timeout() const { return address_.timeout; }
    // How long the last call took from sending to its answer.
    std::chrono::microseconds last_round_trip() const { return last_round_trip_; }

private:
    const server_address &address_;
    tvn_client::connection connection_;
    tvn_client::answer answer_;
    tvn_client::bytes packet_;
    tvn_client::tls_result tls_;
    std::chrono::microseconds last_round_trip_{0};
};

// Text for a status code, for error messages.
std::string status_name(std::uint8_t status);

} // namespace tvnbench
