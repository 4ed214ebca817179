// Changing a password: the server only fills the request; an account module does the change.
// Every CHANGEPWD ends the connection, whatever its outcome.
#include "answer.h"
#include "connection.h"
#include "handlers.h"
#include "hooks.h"

uint8_t process_changepwd(tvn_connection *connection) {
    tvn_request *request = connection->request;
    request->username = connection->user;
    request->domain = connection->domain;
    request->password = connection->password;
    request->method_options = (connection->options & 1u) != 0 ? 1 : 2;
    request->remote_path1 = connection->new_password;
    // The login now stands in the request; however the change ends, the connection must not
    // go on with it, or a later request would pass for an opened session.
    request->disconnect = 1;
    const uint8_t status = mod_change_pwd(connection);
    if (status == WRONG_AUTH || status == REDIRECT) return refuse_login(connection);
    request->response = status;
    // The success answer carries the CONNECT method code.
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_SESSION, 0, CONNECT, status);
    if (answer == nullptr) return fail_without_answer(connection);
    put_u32(answer + TVN_FIXED_HEADER, request->status == 1 ? 1 : 2);
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_SESSION));
}
