// Requests of a benchmark session, each checked: a benchmark that measured failures would
// report nonsense, so anything but the expected answer stops it.
#include "bench_session.h"

#include <array>

#include "tolvane/protocol.h"

namespace tvnbench {

namespace {

std::string result_text(tvn_client::read_result result) {
    switch (result) {
    case tvn_client::read_result::answer_read: return "answered";
    case tvn_client::read_result::closed: return "the server closed the connection";
    case tvn_client::read_result::timed_out: return "no answer in time";
    case tvn_client::read_result::broken: return "the connection broke";
    }
    return "?";
}

} // namespace

std::string status_name(std::uint8_t status) {
    static constexpr std::array<const char *, 20> names{"NOT USED",
                                                        "OK",
                                                        "BAD_REQUEST",
                                                        "REDIRECT",
                                                        "AUTH_REQUIRED",
                                                        "WRONG_AUTH",
                                                        "CLIENT_VERSION_NOT_SUPP",
                                                        "REQUEST_TIMED_OUT",
                                                        "INTERNAL_SERVER_ERR",
                                                        "NOT_FOUND",
                                                        "DIR_NOT_EMPTY",
                                                        "READONLY_ACCESS",
                                                        "FILE_IS_A_DIR",
                                                        "ACCESS_DENIED",
                                                        "FILE_EXISTS",
                                                        "INVALID_OPENMODE",
                                                        "NO_MORE_FILEHANDLES",
                                                        "INVALID_HANDLE",
                                                        "QUOTA_EXCEDED",
                                                        "DISK_FULL"};
    return status < names.size() ? names[status] : "status " + std::to_string(status);
}

bench_session::bench_session(const server_address &address, bool connect_only) : address_(address) {
    auto opened = tvn_client::connection::connect_to(address.host, address.port, address.timeout);
    if (!opened)
        throw bench_error("cannot connect to " + address.host + ":" + std::to_string(address.port));
    connection_ = std::move(*opened);
    if (address.tls) {
        tls_ = connection_.start_tls({address.host, address.ca_file}, address.timeout);
        if (tls_.handshake != tvn_client::tls_handshake::established)
            throw bench_error("TLS with " + address.host + ":" + std::to_string(address.port) +
                              ": " + tls_.failure);
    }
    if (!connect_only) login();
}

bench_session::bench_session(const server_address &address) : bench_session(address, false) {}

void bench_session::login() {
    call_ok(
        tvn_client::connect_request(address_.login, address_.password, TVN_OPTION_EXTENDED_LISTING),
        "login as " + address_.login);
}

const tvn_client::answer &bench_session::call(std::span<const std::uint8_t> packet,
                                              std::string_view what) {
    const auto sent = std::chrono::steady_clock::now();
    const auto result = connection_.request(packet, answer_, address_.timeout);
    last_round_trip_ = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - sent);
    if (result != tvn_client::read_result::answer_read)
        throw bench_error(std::string(what) + ": " + result_text(result));
    return answer_;
}

const tvn_client::answer &bench_session::call(const tvn_client::packet_builder &packet,
                                              std::string_view what) {
    packet.build_into(packet_);
    return call(packet_, what);
}

const tvn_client::answer &bench_session::call_ok(const tvn_client::packet_builder &packet,
                                                 std::string_view what) {
    const auto &answer = call(packet, what);
    if (answer.status() != OK)
        throw bench_error(std::string(what) + ": " + status_name(answer.status()));
    return answer;
}

opened_file bench_session::open(std::string_view path, std::uint32_t mode) {
    const auto &answer = call_ok(tvn_client::open_request(path, mode), "OPEN " + std::string(path));
    return {answer.param_u32(4).value_or(0), answer.param_u32(8).value_or(0)};
}

std::optional<opened_file> bench_session::open_existing(std::string_view path) {
    const auto &answer = call(tvn_client::open_request(path, tvn_client::open_mode::read_only),
                              "OPEN " + std::string(path));
    if (answer.status() == NOT_FOUND) return std::nullopt;
    if (answer.status() != OK)
        throw bench_error("OPEN " + std::string(path) + ": " + status_name(answer.status()));
    return opened_file{answer.param_u32(4).value_or(0), answer.param_u32(8).value_or(0)};
}

void bench_session::close_file(std::uint32_t handle) {
    call_ok(tvn_client::close_request(handle), "CLOSE");
}

std::span<const std::uint8_t> bench_session::list(std::string_view path) {
    return call_ok(tvn_client::getdir_request(path), "GETDIR " + std::string(path)).body();
}

bool bench_session::remove(std::string_view path) {
    const auto &answer = call(tvn_client::delete_request(path), "DELETE " + std::string(path));
    if (answer.status() == NOT_FOUND) return false;
    if (answer.status() != OK)
        throw bench_error("DELETE " + std::string(path) + ": " + status_name(answer.status()));
    return true;
}

void bench_session::make_dir(std::string_view path) {
    const auto &answer = call(tvn_client::mkdir_request(path), "MKDIR " + std::string(path));
    // An existing directory refuses MKDIR; the listing that follows tells whether it is there.
    if (answer.status() != OK) list(path);
}

void bench_session::keepalive() {
    tvn_client::keepalive_request().build_into(packet_);
    if (!connection_.send_all(packet_, address_.timeout)) throw bench_error("KEEPALIVE: not sent");
}

void bench_session::disconnect() {
    tvn_client::disconnect_request().build_into(packet_);
    if (!connection_.send_all(packet_, address_.timeout)) throw bench_error("DISCONNECT: not sent");
}

bool bench_session::wait_closed() { return connection_.wait_closed(address_.timeout); }

} // namespace tvnbench
