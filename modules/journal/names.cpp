// The names a journal line gives to method and status codes, and the decimal number it gives
// to a code outside the tables.
#include <array>
#include <cstdio>

#include "journal.h"
#include "names.h"

extern "C" {
const char *methods_string[TVN_LAST_METHOD + 1];
const char *statusr[TVN_LAST_STATUS + 1];
}

namespace {

// Padded as the columns of the log expect them; unassigned codes have an empty name.
constexpr std::array<const char *, TVN_LAST_METHOD + 1> method_names = {
    "UNKNOWN",    "CONNECT   ", "DISCONNECT", "GETDIR    ", "",           "OPEN      ",
    "READ      ", "WRITE     ", "CLOSE     ", "SETTIME   ", "",           "DELETE    ",
    "MKDIR     ", "RENAME    ", "",           "COPYFILE  ", "CHANGEPWD ",
};

constexpr std::array<const char *, TVN_LAST_STATUS + 1> status_names = {
    "NOT USED ",
    "OK      ",
    "BAD_REQUEST",
    "REDIRECT",
    "AUTH_REQUIRED",
    "WRONG_AUTH",
    "CLIENT_VERSION_NOT_SUPP",
    "REQUEST_TIMED_OUT",
    "INTERNAL_SERVER_ERR",
    "NOT_FOUND",
    "DIR_NOT_EMPTY",
    "READONLY_ACCESS",
    "FILE_IS_A_DIR",
    "ACCESS_DENIED",
    "FILE_EXISTS",
    "INVALID_OPENMODE",
    "NO_MORE_FILEHANDLES",
    "INVALID_HANDLE",
    "QUOTA_EXCEDED",
    "DISK_FULL",
};

const char *table_name(const char *const *table, unsigned last, unsigned code,
                       journal::code_name &spare) {
    if (code <= last && table[code] != nullptr) return table[code];
    std::snprintf(spare.text, sizeof spare.text, "%u", code);
    return spare.text;
}

} // namespace

extern "C" void init_vect(void) {
    for (std::size_t i = 0; i < method_names.size(); ++i) methods_string[i] = method_names[i];
    for (std::size_t i = 0; i < status_names.size(); ++i) statusr[i] = status_names[i];
}

namespace journal {

const char *method_name(unsigned method, code_name &spare) {
    return table_name(methods_string, TVN_LAST_METHOD, method, spare);
}

const char *status_name(unsigned status, code_name &spare) {
    return table_name(statusr, TVN_LAST_STATUS, status, spare);
}

} // namespace journal
