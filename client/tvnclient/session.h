// One connection to the server and the session opened on it. It holds the one answer buffer
// that every request reads into, so a transfer allocates nothing per chunk.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "problem.h"
#include "tolvane/answer.h"
#include "tolvane/connection.h"
#include "tolvane/packet.h"
#include "tolvane/transfer.h"

namespace tvnclient {

struct login_settings {
    std::string host = "127.0.0.1"; // a dotted address or a host name
    std::uint16_t port = 700;
    std::string login; // USER@DOMAIN
    std::string password;
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    bool tls = false;        // --tls, TVN_TLS=1
    std::string ca_file;     // --ca: trust this CA alone, and nothing on first use
    bool accept_new = false; // --accept-new: remember an unknown certificate without asking
    std::size_t window = tvn_client::default_window; // --window: bytes in flight in a transfer
};

class session {
public:
    session() = default;
    ~session() { end(); }
    session(const session &) = delete;
    session &operator=(const session &) = delete;

    // Connects to the server without opening a session (CHANGEPWD needs no more).
    problem connect(const login_settings &settings);
    // Connects and opens the session with CONNECT, asking for extended listings.
    problem open(const login_settings &settings);
    bool is_open() const { return connection_.is_open(); }
    // Sends DISCONNECT when the connection is still open, then closes it.
    void end();
    // Closes without a word: the server has ended the connection (after CHANGEPWD).
    void drop();

    // Sends one request and reads its answer into answer(). A failure of the connection
    // (closed, no answer in time, an answer that does not fit the request) ends it and is
    // returned as a problem about `subject`; a refusal is not a problem here: the caller
    // judges status().
    problem exchange(std::span<const std::uint8_t> packet, std::string_view subject);
    problem exchange(const tvn_client::packet_builder &packet, std::string_view subject);
    const tvn_client::answer &answer() const { return answer_; }
    std::uint8_t status() const { return answer_.status(); }

    // Pipelined transfers of one open file (tolvane/transfer.h) with the session's window and
    // time-out, and the round trip of the last exchange (the OPEN before them). A report that ends
    // in a failure of the connection (closed, timed_out, broken) goes to lost_connection, which
    // ends the connection and puts it in words.
    tvn_client::transfer_report read_file(std::uint32_t handle, const tvn_client::read_range &range,
                                          const tvn_client::data_sink &sink,
                                          std::function<void(std::uint64_t)> progress = {});
    tvn_client::transfer_report write_file(std::uint32_t handle, std::uint64_t start,
                                           const tvn_client::data_source &source,
                                           std::function<void(std::uint64_t)> progress = {});
    problem lost_connection(tvn_client::transfer_outcome outcome, std::string_view subject);

    // True once an answer of this session has shown that the login is an owner's: a change
    // the server accepted, or a listing of /Private or /Web, which guests are refused. The
    // login's own answer is the same for owners and guests.
    bool shown_owner() const { return shown_owner_; }

    // The keep-alive interval the CONNECT answer announced; 0 when it asked for none.
    std::chrono::seconds keepalive_interval() const { return std::chrono::seconds(keepalive_); }
    // True when the server of the open session serves SETTIME (an older one does not).
    bool sets_times() const { return sets_times_; }
    // When the last request left.
    std::chrono::steady_clock::time_point last_sent() const { return last_sent_; }
    // Sends a KEEPALIVE. False when the connection is gone (it is then closed).
    bool send_keepalive();
    // True when the server has closed the connection while nobody was listening.
    bool closed_by_server();

    // Held by whoever talks to the server: the shell's commands and its keep-alive thread.
    std::mutex &mutex() { return mutex_; }
    // Room for one WRITE's data, kept between uploads.
    std::vector<std::uint8_t> &upload_buffer() { return upload_buffer_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

private:
    // Runs a pipelined transfer with the session's window, time-out and last round trip,
    // noting when requests left.
    tvn_client::transfer_report run_transfer(
        std::function<void(std::uint64_t)> progress,
        const std::function<tvn_client::transfer_report(const tvn_client::transfer_settings &)>
            &transfer);
    problem connection_failure(tvn_client::read_result result, std::string_view subject);
    // The TLS handshake on the new connection and the judgement of the server's certificate.
    problem secure(const login_settings &settings);

    tvn_client::connection connection_;
    tvn_client::answer answer_;
    tvn_client::bytes packet_;
    std::vector<std::uint8_t> upload_buffer_;
    std::chrono::milliseconds timeout_ = std::chrono::seconds(30);
    std::size_t window_ = tvn_client::default_window;
    // Of the last exchange: tells a transfer whether the server is near.
    std::optional<std::chrono::microseconds> last_round_trip_;
    std::chrono::steady_clock::time_point last_sent_{};
    std::uint16_t keepalive_ = 0;
    bool sets_times_ = false;
    bool shown_owner_ = false;
    // The port, and whether any answer came on this connection: a plain connection to a TLS
    // port is closed on its first request without a word, which deserves a hint.
    std::uint16_t port_ = 0;
    bool answered_ = false;
    std::mutex mutex_;
};

// "3 seconds", "1 second".
std::string seconds_text(std::chrono::milliseconds duration);

} // namespace tvnclient
