// Answers: built zero-filled in the request pool.
#include "answer.h"

#include <cstring>

#include "client_stream.h"
#include "connection.h"
#include "hooks.h"
#include "pool.h"

using tvn_wire::put_le32;

uint8_t *prepare_data_answer(tvn_connection *connection, uint32_t header_length,
                             uint32_t body_length, uint8_t method, uint8_t status) {
    tvn_request *request = connection->request;
    const uint32_t total = header_length + body_length;
    auto *answer = static_cast<uint8_t *>(tvn_malloc(request->mpool->request_pool, total));
    if (answer == nullptr) {
        request->disconnect = 1;
        return nullptr;
    }
    std::memset(answer, 0, header_length);
    std::memcpy(answer + TVN_OFF_MAGIC, TVN_MAGIC, TVN_MAGIC_LEN);
    answer[TVN_OFF_MAJOR] = TVN_PROTOCOL_MAJOR;
    answer[TVN_OFF_MINOR] = TVN_PROTOCOL_MINOR;
    answer[TVN_OFF_METHOD] = method;
    answer[TVN_OFF_STATUS] = status;
    put_le32(answer + TVN_OFF_HEADER_LENGTH, header_length);
    put_le32(answer + TVN_OFF_BODY_LENGTH, body_length);
    return answer;
}

extern "C" uint8_t *prepare_answer(tvn_connection *connection, uint32_t header_length,
                                   uint32_t body_length, uint8_t method, uint8_t status) {
    uint8_t *answer = prepare_data_answer(connection, header_length, body_length, method, status);
    if (answer != nullptr) std::memset(answer + header_length, 0, body_length);
    return answer;
}

extern "C" int send_answer(tvn_connection *connection, const uint8_t *answer, uint32_t length) {
    send_and_note(connection, answer, length);
    mod_logging(connection);
    return 0;
}

void append_log_message(tvn_connection *connection, const char *text) {
    tvn_request *request = connection->request;
    tvn_pool *pool = request->mpool->request_pool;
    const char *old = request->log_message;
    const size_t old_length = old != nullptr ? std::strlen(old) : 0;
    const size_t added = std::strlen(text);
    // A fresh block rather than a resize: a module may have left a message the pool does not own.
    auto *joined = static_cast<char *>(tvn_malloc(pool, uint32_t(old_length + added + 1)));
    if (joined != nullptr) {
        if (old_length > 0) std::memcpy(joined, old, old_length);
        std::memcpy(joined + old_length, text, added + 1);
    }
    tvn_free(pool, request->log_message);
    request->log_message = joined;
}
