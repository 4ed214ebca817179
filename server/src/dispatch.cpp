// The table of methods. Each row names the handler without a session and the one with a
// session; every method a connection may send has its row, and no handler checks the state.
#include "dispatch.h"

#include "connection.h"
#include "handlers.h"

namespace {

using handler = outcome (*)(tvn_connection *, const parsed_request &);

// Every request but CONNECT and CHANGEPWD before a session carries no login.
outcome refuse_without_login(tvn_connection *, const parsed_request &) {
    return outcome::refusal(WRONG_AUTH);
}

outcome refuse_second_connect(tvn_connection *, const parsed_request &) {
    return outcome::refusal(BAD_REQUEST);
}

// No answer and no journal line; it counts toward the idle limit.
outcome count_keepalive(tvn_connection *connection, const parsed_request &) {
    ++connection->idle_ticks;
    return outcome::silent();
}

struct method_row {
    uint8_t method;
    handler without_session;
    handler with_session;
};

constexpr method_row table[] = {
    {CONNECT, process_connect, refuse_second_connect},
    {GETDIR, refuse_without_login, process_getdir},
    {OPEN, refuse_without_login, process_open},
    {READ, refuse_without_login, process_read},
    {WRITE, refuse_without_login, process_write},
    {CLOSE, refuse_without_login, process_close},
    {SETTIME, refuse_without_login, process_settime},
    {DELETE, refuse_without_login, process_delete},
    {MKDIR, refuse_without_login, process_mkdir},
    {RENAME, refuse_without_login, process_rename},
    {KEEPALIVE, refuse_without_login, count_keepalive},
    {COPYFILE, refuse_without_login, process_copyfile},
    {CHANGEPWD, process_changepwd, process_changepwd},
};

} // namespace

outcome dispatch(tvn_connection *connection) {
    const parsed_request &parsed = connection->parsed;
    for (const method_row &row : table) {
        if (row.method != parsed.method) continue;
        if (connection->session_open) return row.with_session(connection, parsed);
        const outcome result = row.without_session(connection, parsed);
        if (result.what() == outcome::kind::refusal) connection->request->disconnect = 1;
        return result;
    }
    return outcome::silent(); // reception lets no other method through
}
