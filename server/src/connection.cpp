// The connection loop: one accepted connection from its first request to its end. It is the
// one place that sends answers and writes the journal's lines.
#include "connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "answer.h"
#include "client_stream.h"
#include "clock.h"
#include "config.h"
#include "dispatch.h"
#include "fhandler.h"
#include "hooks.h"
#include "os.h"
#include "pool.h"
#include "process_title.h"
#include "tls.h"
#include "workers.h"

namespace {

char *copy_string(tvn_pool *pool, const char *text) {
    const size_t length = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(tvn_malloc(pool, uint32_t(length)));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

// The request fields that live for one request only.
void reset_request(tvn_request *request) {
    request->remote_path1 = request->local_path1 = nullptr;
    request->remote_path2 = request->local_path2 = nullptr;
    request->seek = request->length = 0;
    request->method = 0;
    request->response = 0;
    request->method_options = 0;
    request->link_permission = 0;
    request->log_message = nullptr;
}

// The journal's connection lines (CONNECT and the final DISCONNECT) of an encrypted session
// say so at the end of their message: " over TLSv1.3".
void note_transport(tvn_connection *connection) {
    if (connection->tls == nullptr) return;
    append_log_message(connection, " over ");
    append_log_message(connection, tls_version(connection));
}

// The module interface carries an IPv4 client address only, and the journal asks the socket
// for an IPv6 one, which behind a balancer is the balancer: the connection lines of an IPv6
// client that a PROXY header named say who it is at the end of their message.
void note_client(tvn_connection *connection) {
    if (!connection->client_in_message) return;
    append_log_message(connection, " client ");
    append_log_message(connection, connection->client_text);
}

// What the journal's CONNECT and final DISCONNECT lines add to their message.
void note_connection(tvn_connection *connection) {
    note_transport(connection);
    note_client(connection);
}

// What goes on the wire and into the journal for a handler's outcome. Every answered request
// gets exactly one journal line, written after its answer left (or failed to leave).
void deliver(tvn_connection *connection, const outcome &result) {
    tvn_request *request = connection->request;
    switch (result.what()) {
    case outcome::kind::answer:
        request->response = result.status();
        if (request->method == CONNECT) note_connection(connection);
        send_and_note(connection, result.bytes(), result.length());
        mod_logging(connection);
        return;
    case outcome::kind::refusal: {
        uint8_t *answer =
            prepare_answer(connection, TVN_ANSWER_ERROR, 0, request->method, result.status());
        if (answer == nullptr) return; // closing, and no line: nothing was answered
        request->response = result.status();
        if (request->method == CONNECT) note_connection(connection);
        send_and_note(connection, answer, TVN_ANSWER_ERROR);
        mod_logging(connection);
        return;
    }
    case outcome::kind::unanswerable:
        request->disconnect = 1;
        request->response = INTERNAL_SERVER_ERR;
        mod_logging(connection);
        return;
    case outcome::kind::silent:
    case outcome::kind::closing: return;
    }
}

// The client as the process title shows it.
void describe_client(tvn_connection *connection, const sockaddr_storage &address) {
    connection->connected_at = std::time(nullptr);
    std::strcpy(connection->client_text, "?");
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr,
                  connection->client_text, sizeof connection->client_text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr,
                  connection->client_text, sizeof connection->client_text);
    show_connection(connection, "login");
}

// The method's name for the process title.
const char *method_name(uint8_t method) {
    static constexpr const char *names[] = {
        "?",     "CONNECT", "DISCONNECT", "GETDIR",   "?",        "OPEN",
        "READ",  "WRITE",   "CLOSE",      "SETTIME",  "?",        "DELETE",
        "MKDIR", "RENAME",  "KEEPALIVE",  "COPYFILE", "CHANGEPWD"};
    return method <= TVN_LAST_METHOD ? names[method] : "?";
}

void serve_request(tvn_connection *connection) {
    tvn_request *request = connection->request;
    const uint8_t method = connection->parsed.method;
    request->method = method;
    // A real request of a session (or a password change) ends its idleness.
    if ((connection->session_open || method == CHANGEPWD) && method != KEEPALIVE)
        connection->idle_ticks = 0;
    show_connection(connection, method_name(method));
    deliver(connection, dispatch(connection));
    if (method == CONNECT) show_connection(connection, method_name(method)); // now with the login
}

// The client's address in the request, as the module interface carries it: IPv4 only. An
// IPv4 client reaching an IPv6 socket counts as IPv4; another IPv6 client has address 0, and
// the journal then asks the socket.
void put_client_address(tvn_request *request, const sockaddr_storage &address) {
    if (address.ss_family == AF_INET) {
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(address);
        request->client_ip_address = ipv4.sin_addr.s_addr;
        request->client_port = ipv4.sin_port;
    } else if (address.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(address);
        if (IN6_IS_ADDR_V4MAPPED(&ipv6.sin6_addr))
            std::memcpy(&request->client_ip_address, ipv6.sin6_addr.s6_addr + 12, 4);
        request->client_port = ipv6.sin6_port;
    }
}

// The handshake of a connection accepted on a TLS listener: within the login grace time and
// the time a request may take, whichever ends first.
bool start_tls(tvn_connection *connection) {
    const int32_t limit = connection->server_conf->keepalive_timeout > 0
                              ? connection->server_conf->keepalive_timeout
                              : 120;
    int64_t deadline = monotonic_ms() + int64_t(limit) * 1000;
    if (connection->login_deadline != 0 && connection->login_deadline < deadline)
        deadline = connection->login_deadline;
    return accept_tls(connection, deadline);
}

// The connection's state for info, which it takes over; NULL (socket closed) when memory is
// short, and nothing is logged then.
tvn_connection *take_over(tvn_conn_info *info) {
    const int socket = info->socket;
    tvn_connection *connection = create_connection(socket, info);
    std::free(info);
    if (connection == nullptr) close(socket);
    return connection;
}

// The end of every connection: the final journal line (a failed reception's reason or a
// refusal's survives until here), the modules' closing hooks, then descriptors, socket and
// memory.
void end_connection(tvn_connection *connection) {
    tvn_request *request = connection->request;
    request->method = DISCONNECT;
    request->response = OK;
    note_connection(connection);
    mod_logging(connection);
    mod_connection_closing(connection);
    release_fhandler_pool(connection->handles);
    close_area_anchors(&connection->anchors);
    end_tls(connection);
    close(request->connection_id);
    release_connection_pools(request->mpool);
}

} // namespace

tvn_connection *create_connection(int socket, tvn_conn_info *info) {
    tvn_mpool *pools = create_connection_pools();
    if (pools == nullptr) return nullptr;
    tvn_pool *pool = pools->connection_pool;
    void *request_block = tvn_malloc(pool, sizeof(tvn_request));
    void *connection_block = tvn_malloc(pool, sizeof(tvn_connection));
    fhandler_pool *handles = create_fhandler_pool(pool);
    char *root = copy_string(pool, info->server_conf->server_root);
    if (request_block == nullptr || connection_block == nullptr || handles == nullptr ||
        root == nullptr) {
        release_connection_pools(pools);
        return nullptr;
    }
    auto *request = new (request_block) tvn_request{};
    auto *connection = new (connection_block) tvn_connection{};
    connection->request = request;
    request->mpool = pools;
    request->connection_id = socket;
    request->conf.server_root = root;
    request->conf.server_major_version = 1;
    request->conf.server_minor_version = 1;
    request->conf.suggested_cache_level = info->server_conf->cache_level;
    request->session_id = uint32_t(info->worker_pid);
    connection->server_conf = info->server_conf;
    connection->handles = handles;
    os_dup_list(connection);
    put_client_address(request, info->client_addr);
    describe_client(connection, info->client_addr);
    const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(info->client_addr);
    connection->client_in_message = info->proxied && info->client_addr.ss_family == AF_INET6 &&
                                    !IN6_IS_ADDR_V4MAPPED(&ipv6.sin6_addr);
    // The grace time runs from the accept: a PROXY header or a handshake before the first
    // packet takes from it.
    const int32_t grace = info->server_conf->login_grace_time;
    const int64_t accepted_at = info->accepted_at != 0 ? info->accepted_at : monotonic_ms();
    if (grace > 0) connection->login_deadline = accepted_at + int64_t(grace) * 1000;
    prepare_client_socket(socket, info->server_conf);
    return connection;
}

extern "C" void connection_main(tvn_conn_info *info) {
    const bool encrypted = info->tls;
    tvn_connection *connection = take_over(info);
    if (connection != nullptr) {
        tvn_request *request = connection->request;
        // A connection whose handshake fails ends with the refused-connection line.
        if (encrypted && !start_tls(connection)) request->disconnect = 1;
        while (!request->disconnect) {
            // A failed reception keeps its reason in the request pool for the final line.
            if (receive_request(connection) != reception::ready) continue;
            serve_request(connection);
            tvn_clear_pool(request->mpool->request_pool);
            reset_request(request);
        }
        end_connection(connection);
    }
    os_endthread();
}

void refuse_connection(tvn_conn_info *info, const char *reason) {
    tvn_connection *connection = take_over(info);
    if (connection == nullptr) return;
    append_log_message(connection, reason);
    end_connection(connection);
}
