// Opening a session: the login goes through the authentication chain of the account modules.
#include <cerrno>
#include <ctime>

#include "answer.h"
#include "config.h"
#include "connection.h"
#include "handlers.h"
#include "hooks.h"
#include "workers.h"

uint8_t refuse_login(tvn_connection *connection) {
    const tvn_server_conf *conf = connection->server_conf;
    report_failed_login(conf);
    // A guesser gets one guess per connection per delay; the answer waits, the journal line
    // is written with it.
    timespec left{conf->failed_login_delay, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return WRONG_AUTH;
}

uint8_t process_connect(tvn_connection *connection) {
    tvn_request *request = connection->request;
    if (connection->method != CONNECT) return WRONG_AUTH; // no login: no module is asked
    request->client_major_version = connection->client_major_version;
    request->client_minor_version = connection->client_minor_version;
    request->username = connection->user;
    request->domain = connection->domain;
    request->password = connection->password;
    request->status = int32_t(connection->options);
    // From here the session counts as open, but every failing path ends the connection.
    const uint8_t status = mod_auth_check(connection);
    if (status == WRONG_AUTH || status == REDIRECT) return refuse_login(connection);
    if (mod_auth_check2(connection) == WRONG_AUTH) return refuse_login(connection);

    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_SESSION, 0, CONNECT, status);
    if (answer == nullptr) return fail_without_answer(connection);
    const tvn_server_conf *conf = connection->server_conf;
    uint8_t *params = answer + TVN_FIXED_HEADER;
    put_u32(params, TVN_CONNECT_FLAGS_ALWAYS | (TVN_CONNECT_FLAGS_CACHE_BASE << conf->cache_level));
    put_u16(params + TVN_CONNECT_OFF_KEEPALIVE, conf->keepalive);
    request->response = status;
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_SESSION));
}
