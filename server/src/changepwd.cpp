// Changing a password: the server only fills the request; an account module does the change.
// Every CHANGEPWD ends the connection, whatever its outcome.
#include "answer.h"
#include "connection.h"
#include "handlers.h"
#include "hooks.h"
#include "parsed_request.h"

using tvn_wire::put_le32;

outcome process_changepwd(tvn_connection *connection, const parsed_request &parsed) {
    tvn_request *request = connection->request;
    // The login now stands in the request; however the change ends, the connection must not
    // go on with it.
    request->disconnect = 1;
    if (!put_login_in_request(connection, parsed.login)) return outcome::closing();
    request->method_options = (parsed.options & 1u) != 0 ? 1 : 2;
    request->remote_path1 = parsed.login.new_password;
    const uint8_t status = mod_change_pwd(connection);
    if (status == WRONG_AUTH || status == REDIRECT) return refuse_login(connection);
    // The success answer carries the CONNECT method code; flags 1 when the session's CONNECT
    // asked for options 1, else 2.
    return plain_answer(connection, TVN_ANSWER_SESSION, CONNECT, status,
                        [&](uint8_t *params) { put_le32(params, request->status == 1 ? 1 : 2); });
}
