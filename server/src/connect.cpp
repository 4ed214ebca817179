// Opening a session: the login goes through the authentication chain of the account modules.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "answer.h"
#include "config.h"
#include "connection.h"
#include "handlers.h"
#include "hooks.h"
#include "parsed_request.h"
#include "pool.h"
#include "workers.h"

using tvn_wire::put_le16;
using tvn_wire::put_le32;

namespace {

// The login outlives the request that brought it: the connection pool keeps it.
char *keep_for_connection(tvn_connection *connection, const char *text) {
    const size_t length = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(
        tvn_malloc(connection->request->mpool->connection_pool, uint32_t(length)));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

} // namespace

bool put_login_in_request(tvn_connection *connection, const login_text &login) {
    tvn_request *request = connection->request;
    request->username = keep_for_connection(connection, login.user);
    request->domain = keep_for_connection(connection, login.domain);
    request->password = keep_for_connection(connection, login.password);
    return request->username != nullptr && request->domain != nullptr &&
           request->password != nullptr;
}

outcome refuse_login(tvn_connection *connection) {
    const tvn_server_conf *conf = connection->server_conf;
    report_failed_login(conf);
    // A guesser gets one guess per connection per delay; the answer waits, the journal line
    // is written with it.
    timespec left{conf->failed_login_delay, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
    return outcome::refusal(WRONG_AUTH);
}

outcome process_connect(tvn_connection *connection, const parsed_request &parsed) {
    tvn_request *request = connection->request;
    request->client_major_version = parsed.client_major_version;
    request->client_minor_version = parsed.client_minor_version;
    request->status = int32_t(parsed.options);
    if (!put_login_in_request(connection, parsed.login)) {
        request->disconnect = 1;
        return outcome::closing();
    }
    // The login stands in the request now, but only a yes of the chain opens the session.
    const uint8_t status = mod_auth_check(connection);
    if (status == WRONG_AUTH || status == REDIRECT) return refuse_login(connection);
    if (mod_auth_check2(connection) == WRONG_AUTH) return refuse_login(connection);
    // Status 0: a hook failed and the connection is closing; it still gets its answer.
    if (status == OK) connection->session_open = true;
    const tvn_server_conf *conf = connection->server_conf;
    // Only a client that asks learns of SETTIME: every other sees the flags it always saw.
    const uint32_t offered =
        (parsed.options & TVN_OPTION_TIME_SETTING) != 0 ? TVN_CONNECT_FLAG_SETS_TIMES : 0;
    return plain_answer(connection, TVN_ANSWER_SESSION, CONNECT, status, [&](uint8_t *params) {
        put_le32(params, TVN_CONNECT_FLAGS_ALWAYS |
                             (TVN_CONNECT_FLAGS_CACHE_BASE << conf->cache_level) | offered);
        put_le16(params + TVN_CONNECT_OFF_KEEPALIVE, conf->keepalive);
    });
}
