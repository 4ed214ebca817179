// The hooks of a connection: binding it to a section at its first line, writing its lines,
// and letting go of its log file when it ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "journal.h"
#include "line.h"
#include "names.h"

namespace {

// The module's user_module_data: what the chosen section says, for this connection.
struct connection_log {
    int32_t log_fd; // -1: this connection is not logged
    uint32_t method_mask;
};

// The section is chosen once, at the connection's first line: by then a login has put its
// domain into the request, or never will.
connection_log *bind_connection(tvn_request *request) {
    tvn_mpool *pools = request->mpool;
    auto *own = static_cast<connection_log *>(
        pools->tvn_malloc(pools->connection_pool, uint32_t(sizeof(connection_log))));
    if (own == nullptr) return nullptr;
    const virtual_domain *section =
        check_address(static_cast<virtual_domain *>(request->init_module_data), request->domain);
    own->log_fd = section != nullptr ? section->log_fd : -1;
    own->method_mask = section != nullptr ? section->method_mask : 0;
    request->user_module_data = own;
    return own;
}

bool method_logged(uint32_t mask, unsigned method) {
    // Method 0 has no key and is always logged; codes past the mask are never.
    if (method == UNKNOWN) return true;
    return method < 32 && ((mask >> method) & 1u) != 0;
}

const char *or_blank(const char *text) { return text != nullptr ? text : " "; }

// The client's address as text. The request carries IPv4 only; a client that came over IPv6
// (address 0 there) is named by the connection's socket, when the socket's peer is the client:
// behind a load balancer the peer is the balancer, whose port is not the client's, and the
// column must never name it (the server puts such a client in the message instead).
void client_address_text(const tvn_request *request, char *text, socklen_t size) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (request->client_ip_address == 0 &&
        getpeername(request->connection_id, reinterpret_cast<sockaddr *>(&peer), &length) == 0 &&
        peer.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(peer);
        if (ipv6.sin6_port == request->client_port &&
            inet_ntop(AF_INET6, &ipv6.sin6_addr, text, size) != nullptr)
            return;
    }
    in_addr client{};
    client.s_addr = request->client_ip_address;
    if (inet_ntop(AF_INET, &client, text, size) == nullptr) std::strcpy(text, " ");
}

// The fields of a request's line and the texts they point to.
struct line_parts {
    journal::time_text now = journal::current_time();
    char address[INET6_ADDRSTRLEN] = " ";
    journal::code_name method_spare, status_spare;
    journal::line_fields fields{};
};

void describe(const tvn_request *request, line_parts &parts) {
    journal::line_fields &fields = parts.fields;
    fields.time = parts.now.text;
    fields.session = request->session_id;
    fields.user = or_blank(request->username);
    fields.domain = or_blank(request->domain);
    fields.kind = request->is_guest != 0 ? 'g' : 'o';
    fields.method = journal::method_name(request->method, parts.method_spare);
    fields.status = journal::status_name(request->response, parts.status_spare);
    fields.paths[0] = or_blank(request->remote_path1);
    fields.paths[1] = or_blank(request->local_path1);
    fields.paths[2] = or_blank(request->remote_path2);
    fields.paths[3] = or_blank(request->local_path2);
    fields.address = parts.address;
    fields.message = request->log_message != nullptr ? request->log_message : "";

    // CHANGEPWD carries the new password and its hash in paths 1.
    if (request->method == CHANGEPWD) fields.paths[0] = fields.paths[1] = " ";
    if (request->method != CONNECT && request->method != DISCONNECT) return;
    client_address_text(request, parts.address, sizeof parts.address);
    fields.paths[3] = "from ip";
    if (request->username == nullptr || request->response != OK) fields.kind = ' ';
    if (request->response == REDIRECT && request->redirect != nullptr)
        fields.paths[1] = request->redirect;
}

// Writes the line in one call: every worker appends to the same file, and one write on a
// descriptor opened for appending keeps each line whole.
int write_line(tvn_request *request, int fd, journal::line_kind kind,
               const journal::line_fields &fields) {
    const std::size_t length = journal::compose_line(kind, fields, nullptr);
    if (length >= UINT32_MAX) return INTERNAL_SERVER_ERR;
    tvn_mpool *pools = request->mpool;
    auto *line = static_cast<char *>(pools->tvn_malloc(pools->request_pool, uint32_t(length)));
    if (line == nullptr) return INTERNAL_SERVER_ERR;
    journal::compose_line(kind, fields, line);
    if (write(fd, line, length) < 0) {
        // A line that cannot be written is lost; the request it records has been answered.
    }
    pools->tvn_free(pools->request_pool, line);
    return OK;
}

} // namespace

extern "C" virtual_domain *check_address(virtual_domain *list, const char *domain) {
    virtual_domain *last = nullptr;
    for (virtual_domain *record = list; record != nullptr; record = record->next) {
        if (record->aliases == nullptr || holds_name(record->aliases, domain)) return record;
        last = record;
    }
    return last;
}

extern "C" int logging(tvn_request *request) {
    auto *own = static_cast<connection_log *>(request->user_module_data);
    if (own == nullptr && (own = bind_connection(request)) == nullptr) return INTERNAL_SERVER_ERR;
    if (own->log_fd < 0) return NOT_HANDLED;

    // A connection that ends without a login is always worth a line.
    const bool refused = request->username == nullptr && request->method == DISCONNECT;
    if (!refused && !method_logged(own->method_mask, request->method)) return NOT_HANDLED;

    line_parts parts;
    describe(request, parts);
    return write_line(request, own->log_fd,
                      refused ? journal::line_kind::refused : journal::line_kind::request,
                      parts.fields);
}

extern "C" int connection_closing(tvn_request *request) {
    auto *own = static_cast<connection_log *>(request->user_module_data);
    if (own == nullptr) return OK;
    // The worker's own copy of the inherited descriptor: the other workers keep theirs.
    if (own->log_fd > 0) close(own->log_fd);
    tvn_mpool *pools = request->mpool;
    pools->tvn_free(pools->connection_pool, own);
    request->user_module_data = nullptr;
    return OK;
}
