// The connection loop: one accepted connection from its first request to its end.
#include "connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "answer.h"
#include "clock.h"
#include "config.h"
#include "fhandler.h"
#include "handlers.h"
#include "hooks.h"
#include "os.h"
#include "pool.h"
#include "reception.h"
#include "workers.h"

namespace {

void *zeroed(tvn_pool *pool, uint32_t size) {
    void *block = tvn_malloc(pool, size);
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}

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

// A client that stops reading its answers must not hold the worker in send: a send that
// makes no progress for this long gives up (EAGAIN) and the connection ends.
void limit_send_stalls(int socket, const tvn_server_conf *conf) {
    const int32_t seconds = conf->keepalive_timeout > 0 ? conf->keepalive_timeout : 120;
    const timeval limit{seconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

tvn_connection *create_connection(int socket, tvn_conn_info *info) {
    tvn_mpool *pools = create_connection_pools();
    if (pools == nullptr) return nullptr;
    tvn_pool *pool = pools->connection_pool;
    auto *request = static_cast<tvn_request *>(zeroed(pool, sizeof(tvn_request)));
    auto *connection = static_cast<tvn_connection *>(zeroed(pool, sizeof(tvn_connection)));
    fhandler_pool *handles = create_fhandler_pool(pool);
    char *root = copy_string(pool, info->server_conf->server_root);
    if (request == nullptr || connection == nullptr || handles == nullptr || root == nullptr) {
        release_connection_pools(pools);
        return nullptr;
    }
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
    reset_area_anchors(&connection->anchors);
    os_dup_list(connection);
    request->client_ip_address = info->client_addr.sin_addr.s_addr;
    request->client_port = info->client_addr.sin_port;
    const int32_t grace = info->server_conf->login_grace_time;
    if (grace > 0) connection->login_deadline = monotonic_ms() + int64_t(grace) * 1000;
    limit_send_stalls(socket, info->server_conf);
    return connection;
}

uint8_t process_request(tvn_connection *connection) {
    tvn_request *request = connection->request;
    request->method = connection->method;
    uint8_t status;
    if (request->username == nullptr && connection->method != CHANGEPWD) {
        status = process_connect(connection);
        if (status == 0) return 0;
        request->disconnect = 1;
    } else {
        if (connection->method != KEEPALIVE) connection->idle_ticks = 0;
        switch (connection->method) {
        case CONNECT: status = BAD_REQUEST; break; // a session is open already
        case CHANGEPWD: status = process_changepwd(connection); break;
        case GETDIR: status = process_getdir(connection); break;
        case OPEN: status = process_open(connection); break;
        case READ: status = process_read(connection); break;
        case WRITE: status = process_write(connection); break;
        case CLOSE: status = process_close(connection); break;
        case DELETE: status = process_delete(connection); break;
        case MKDIR: status = process_mkdir(connection); break;
        case RENAME: status = process_rename(connection); break;
        case COPYFILE: status = process_copyfile(connection); break;
        case KEEPALIVE: ++connection->idle_ticks; return 0; // no answer, no journal line
        default: return 0;
        }
        if (status == 0) return 0;
    }
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_ERROR, 0, request->method, status);
    if (answer == nullptr) return 0;
    request->response = status;
    send_answer(connection, answer, TVN_ANSWER_ERROR);
    return status;
}

namespace {

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
    mod_logging(connection);
    mod_connection_closing(connection);
    release_fhandler_pool(connection->handles);
    close_area_anchors(&connection->anchors);
    close(request->connection_id);
    release_connection_pools(request->mpool);
}

}  // namespace

extern "C" void connection_main(tvn_conn_info *info) {
    tvn_connection *connection = take_over(info);
    if (connection != nullptr) {
        tvn_request *request = connection->request;
        tvn_packet packet{};
        while (!request->disconnect) {
            if (receive_request(connection, &packet) != 0) continue; // keeps its reason for the log
            process_request(connection);
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
