// Connecting, logging in, and one request at a time with every failure of the connection
// turned into words.
#include "session.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>

#include "interrupt.h"
#include "remote_path.h"
#include "server_trust.h"
#include "tolvane/byte_order.h"
#include "tolvane/protocol.h"

namespace tvnclient {

namespace {

using tvn_client::read_result;

// The IPv4 addresses a host name stands for; a dotted address stands for itself.
std::vector<std::string> ipv4_addresses(const std::string &host, int &lookup_error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    lookup_error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    std::vector<std::string> addresses;
    for (addrinfo *at = found; at != nullptr; at = at->ai_next) {
        char text[INET_ADDRSTRLEN];
        const auto *address = reinterpret_cast<const sockaddr_in *>(at->ai_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr)
            addresses.emplace_back(text);
    }
    if (found != nullptr) freeaddrinfo(found);
    return addresses;
}

// Whether the server's acceptance of this request shows an owner's session: guests are
// refused every change, and listing the roots of /Private and /Web.
bool accepted_only_for_owners(std::span<const std::uint8_t> packet) {
    if (packet.size() < TVN_FIXED_HEADER + 4) return false;
    const std::uint8_t *params = packet.data() + TVN_FIXED_HEADER;
    switch (packet[TVN_OFF_METHOD]) {
    case WRITE:
    case DELETE:
    case MKDIR:
    case RENAME:
    case COPYFILE: return true;
    case OPEN: {
        const std::uint32_t mode = tvn_wire::get_le32(params);
        const bool writes =
            (mode & TVN_OPEN_READ) == 0 && (mode & (TVN_OPEN_WRITE | TVN_OPEN_READ_WRITE)) != 0;
        return writes || (mode & (TVN_OPEN_CREATE | TVN_OPEN_TRUNCATE)) != 0;
    }
    case GETDIR: {
        const auto *text = reinterpret_cast<const char *>(params + 4);
        std::string_view path(text, packet.size() - TVN_FIXED_HEADER - 4);
        path = path.substr(0, path.find('\0'));
        if (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
        return path != "/" && is_area_root(path) && area_of(path) != "Public";
    }
    default: return false;
    }
}

std::string connect_words(int error_number, std::chrono::milliseconds timeout) {
    if (error_number == ECONNREFUSED) return "connection refused";
    if (error_number == ETIMEDOUT || error_number == 0)
        return "no answer within " + seconds_text(timeout);
    return local_failure(error_number, "").words;
}

} // namespace

std::string seconds_text(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(duration).count();
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

problem session::connect(const login_settings &settings) {
    end();
    timeout_ = settings.timeout;
    window_ = settings.window;
    const std::string where = settings.host + " port " + std::to_string(settings.port);
    int lookup_error = 0;
    const std::vector<std::string> addresses = ipv4_addresses(settings.host, lookup_error);
    if (addresses.empty()) {
        const std::string why = lookup_error == 0 ? "no IPv4 address" : gai_strerror(lookup_error);
        return make_problem(exit_status::connection, settings.host, "unknown host (" + why + ")");
    }
    int last_error = 0;
    for (const std::string &address : addresses) {
        auto connected = tvn_client::connection::connect_to(address, settings.port, timeout_);
        if (connected) {
            connection_ = std::move(*connected);
            set_interruptible_socket(connection_.fd());
            port_ = settings.port;
            answered_ = false;
            if (problem failed = secure(settings)) {
                drop();
                return failed;
            }
            last_sent_ = std::chrono::steady_clock::now();
            return {};
        }
        last_error = errno;
    }
    return make_problem(exit_status::connection, where, connect_words(last_error, timeout_));
}

problem session::secure(const login_settings &settings) {
    if (!settings.tls) return {};
    const std::string where = settings.host + " port " + std::to_string(settings.port);
    const tvn_client::tls_result result =
        connection_.start_tls({settings.host, settings.ca_file}, timeout_);
    switch (result.handshake) {
    case tvn_client::tls_handshake::established: break;
    case tvn_client::tls_handshake::closed:
        return make_problem(exit_status::connection, where,
                            "the server closed the connection during the TLS handshake: is port " +
                                std::to_string(settings.port) + " a plain port? try without --tls");
    case tvn_client::tls_handshake::timed_out:
        return make_problem(exit_status::connection, where,
                            "the TLS handshake was not complete within " + seconds_text(timeout_));
    case tvn_client::tls_handshake::failed:
        if (interrupted()) return make_problem(exit_status::interrupted, where, "interrupted");
        return make_problem(exit_status::connection, where,
                            "the TLS handshake failed: " + result.failure);
    }
    return judge_server(settings, result);
}

problem session::open(const login_settings &settings) {
    if (problem failed = connect(settings)) return failed;
    const auto request = tvn_client::connect_request(
        settings.login, settings.password, TVN_OPTION_EXTENDED_LISTING | TVN_OPTION_TIME_SETTING);
    if (problem failed = exchange(request, settings.login)) return failed;
    if (status() == OK) {
        keepalive_ = answer_.param_u16(TVN_CONNECT_OFF_KEEPALIVE).value_or(0);
        sets_times_ = (answer_.param_u32(0).value_or(0) & TVN_CONNECT_FLAG_SETS_TIMES) != 0;
        return {};
    }
    // Every refused login ends the connection on the server's side.
    drop();
    if (status() == WRONG_AUTH)
        return make_problem(exit_status::login_refused, settings.login,
                            "login refused (wrong user name, domain or password)");
    return make_problem(exit_status::failed, settings.login,
                        "the server could not open the session");
}

void session::end() {
    if (!connection_.is_open()) return;
    const auto goodbye = tvn_client::disconnect_request().build();
    connection_.send_all(goodbye, std::chrono::seconds(1));
    drop();
}

void session::drop() {
    set_interruptible_socket(-1);
    connection_.close();
}

problem session::connection_failure(read_result result, std::string_view subject) {
    std::string words;
    if (result == read_result::timed_out) {
        words = "no answer from the server within " + seconds_text(timeout_);
    } else if (result == read_result::closed ||
               connection_.wait_closed(std::chrono::milliseconds(0))) {
        words = "server closed the connection";
        // A TLS port drops a plain request without a word (or with a TLS alert).
        if (!answered_ && !connection_.is_tls())
            words = "the server closed the connection without an answer: is port " +
                    std::to_string(port_) + " a TLS port? try --tls";
    } else {
        words = "invalid answer from the server";
    }
    drop();
    if (interrupted())
        return make_problem(exit_status::interrupted, std::string(subject), "interrupted");
    return make_problem(exit_status::connection, std::string(subject), words);
}

problem session::exchange(std::span<const std::uint8_t> packet, std::string_view subject) {
    if (!connection_.is_open())
        return make_problem(exit_status::connection, std::string(subject), "not connected");
    last_sent_ = std::chrono::steady_clock::now();
    if (!connection_.send_all(packet, timeout_)) {
        const bool gone = errno == EPIPE || errno == ECONNRESET;
        return connection_failure(gone ? read_result::closed : read_result::timed_out, subject);
    }
    const read_result result = connection_.read_answer(answer_, timeout_);
    if (result != read_result::answer_read) return connection_failure(result, subject);
    answered_ = true;
    last_round_trip_ = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - last_sent_);
    // Answers carry no request number: one for another method means the stream is lost.
    // The one exception is CHANGEPWD, whose success answer says CONNECT.
    const std::uint8_t method = packet[TVN_OFF_METHOD];
    const bool fits =
        answer_.method() == method || (method == CHANGEPWD && answer_.method() == CONNECT);
    if (!fits) return connection_failure(read_result::broken, subject);
    if (answer_.status() == OK && accepted_only_for_owners(packet)) shown_owner_ = true;
    return {};
}

problem session::exchange(const tvn_client::packet_builder &packet, std::string_view subject) {
    packet.build_into(packet_);
    return exchange(packet_, subject);
}

tvn_client::transfer_report session::run_transfer(
    std::function<void(std::uint64_t)> progress,
    const std::function<tvn_client::transfer_report(const tvn_client::transfer_settings &)>
        &transfer) {
    tvn_client::transfer_settings settings;
    settings.window = window_;
    settings.timeout = timeout_;
    settings.round_trip = last_round_trip_;
    settings.progress = std::move(progress);
    last_sent_ = std::chrono::steady_clock::now();
    const auto report = transfer(settings);
    last_sent_ = std::chrono::steady_clock::now();
    return report;
}

tvn_client::transfer_report session::read_file(std::uint32_t handle,
                                               const tvn_client::read_range &range,
                                               const tvn_client::data_sink &sink,
                                               std::function<void(std::uint64_t)> progress) {
    return run_transfer(std::move(progress), [&](const tvn_client::transfer_settings &settings) {
        return tvn_client::read_file(connection_, handle, range, sink, settings);
    });
}

tvn_client::transfer_report session::write_file(std::uint32_t handle, std::uint64_t start,
                                                const tvn_client::data_source &source,
                                                std::function<void(std::uint64_t)> progress) {
    return run_transfer(std::move(progress), [&](const tvn_client::transfer_settings &settings) {
        return tvn_client::write_file(connection_, handle, start, source, settings);
    });
}

problem session::lost_connection(tvn_client::transfer_outcome outcome, std::string_view subject) {
    switch (outcome) {
    case tvn_client::transfer_outcome::closed:
        return connection_failure(read_result::closed, subject);
    case tvn_client::transfer_outcome::timed_out:
        return connection_failure(read_result::timed_out, subject);
    default: return connection_failure(read_result::broken, subject);
    }
}

bool session::send_keepalive() {
    if (!connection_.is_open()) return false;
    static const tvn_client::bytes keepalive = tvn_client::keepalive_request().build();
    last_sent_ = std::chrono::steady_clock::now();
    if (connection_.send_all(keepalive, timeout_)) return true;
    drop();
    return false;
}

bool session::closed_by_server() {
    return connection_.is_open() && connection_.wait_closed(std::chrono::milliseconds(0));
}

} // namespace tvnclient
