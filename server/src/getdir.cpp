// GETDIR: one directory of the client's namespace in a single answer.
#include <cstring>

#include "answer.h"
#include "connection.h"
#include "handlers.h"
#include "hooks.h"
#include "os.h"
#include "parsed_request.h"
#include "pool.h"

using tvn_wire::put_le32;

namespace {

constexpr uint32_t FIRST_BODY_ROOM = 8192;
constexpr uint32_t BODY_GROWTH = 4096;

// "/" is answered by the server itself, whoever asks: the three areas.
constexpr char ROOT_LISTING[] = "Private/\0\0\0\0\0Public/\0\0\0\0\0Web/\0";
constexpr uint32_t ROOT_LISTING_SIZE = 31;
static_assert(sizeof ROOT_LISTING == ROOT_LISTING_SIZE);

outcome answer_root(tvn_connection *connection) {
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_PLAIN, ROOT_LISTING_SIZE, GETDIR, OK);
    if (answer == nullptr) return outcome::unanswerable();
    std::memcpy(answer + TVN_ANSWER_PLAIN, ROOT_LISTING, ROOT_LISTING_SIZE);
    return outcome::answer(answer, TVN_ANSWER_PLAIN + ROOT_LISTING_SIZE, OK);
}

bool is_dot_or_dot_dot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The room an entry takes: its name, "/" or nothing, a zero byte, the size (extended listings,
// files only) and the modification time (files always, directories in extended listings).
uint32_t entry_size(const dir_entry &entry, bool extended) {
    return uint32_t(std::strlen(entry.name)) + (entry.is_dir ? 1 : 0) + 1 +
           (extended && !entry.is_dir ? 4 : 0) + (extended || !entry.is_dir ? 4 : 0);
}

// Appends one entry at `at`; the caller made room for it.
void put_entry(uint8_t *at, const dir_entry &entry, bool extended) {
    const size_t name_length = std::strlen(entry.name);
    std::memcpy(at, entry.name, name_length);
    uint32_t size = uint32_t(name_length);
    if (entry.is_dir) at[size++] = '/';
    at[size++] = '\0';
    if (extended && !entry.is_dir) {
        put_le32(at + size, uint32_t(entry.size));
        size += 4;
    }
    if (extended || !entry.is_dir) put_le32(at + size, uint32_t(entry.mtime));
}

} // namespace

outcome process_getdir(tvn_connection *connection, const parsed_request &) {
    tvn_request *request = connection->request;
    if (std::strcmp(request->remote_path1, "/") == 0) return answer_root(connection);
    if (uint8_t verdict = translate_and_check(connection); verdict != OK)
        return refused_by(verdict);

    const bool extended = (uint32_t(request->status) & TVN_OPTION_EXTENDED_LISTING) != 0;
    uint32_t capacity = TVN_ANSWER_PLAIN + FIRST_BODY_ROOM;
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_PLAIN, FIRST_BODY_ROOM, GETDIR, OK);
    if (answer == nullptr) return outcome::unanswerable();
    uint32_t used = TVN_ANSWER_PLAIN;

    char name[DIR_ENTRY_NAME_SIZE];
    dir_entry entry{name, 0, 0, 0};
    dir_stream stream = DIR_STREAM_UNOPENED;
    for (;;) {
        const int result = os_getdir_element(connection, &stream, &entry);
        if (result == OK) break;
        if (result != 0) {
            os_close_dir_stream(&stream);
            return outcome::refusal(uint8_t(result));
        }
        if (is_dot_or_dot_dot(name)) continue;
        const uint32_t room = entry_size(entry, extended);
        if (capacity - used < room) {
            capacity += room > BODY_GROWTH ? room : BODY_GROWTH;
            auto *grown =
                static_cast<uint8_t *>(tvn_realloc(request->mpool->request_pool, answer, capacity));
            if (grown == nullptr) {
                os_close_dir_stream(&stream);
                return outcome::unanswerable();
            }
            answer = grown;
        }
        put_entry(answer + used, entry, extended);
        used += room;
    }
    put_le32(answer + TVN_OFF_BODY_LENGTH, used - TVN_ANSWER_PLAIN);
    return outcome::answer(answer, used, OK);
}
