// Process titles over the arguments' memory.
#include "process_title.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connection.h"

extern char **environ;

namespace {

char *title_area = nullptr;
size_t title_room = 0;

// The length of the arguments as the kernel shows them, or 0.
size_t arguments_length() {
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char chunk[4096];
    size_t total = 0;
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0) total += size_t(got);
    close(fd);
    return total;
}

}  // namespace

void init_process_title() {
    char *start = program_invocation_name;
    const size_t length = arguments_length();
    if (start == nullptr || length == 0) return;
    char *end = start + length; // one past the last argument's NUL
    // The environment usually follows: move it aside and take its room as well.
    size_t count = 0;
    while (environ[count] != nullptr) ++count;
    if (count > 0 && environ[0] == end) {
        auto **moved = static_cast<char **>(std::calloc(count + 1, sizeof(char *)));
        if (moved != nullptr) {
            for (size_t i = 0; i < count; ++i) {
                if (environ[i] == end) end += std::strlen(environ[i]) + 1;
                moved[i] = strdup(environ[i]);
            }
            environ = moved;
        }
    }
    title_area = start;
    title_room = size_t(end - start);
}

void set_process_title(const char *title) {
    if (title_area == nullptr || title_room < 2) return;
    const size_t length = std::min(std::strlen(title), title_room - 1);
    std::memcpy(title_area, title, length);
    std::memset(title_area + length, 0, title_room - length);
}

void show_connection(const tvn_connection *connection, const char *doing) {
    if (title_area == nullptr) return;
    const tvn_request *request = connection->request;
    char since[32];
    tm local{};
    localtime_r(&connection->connected_at, &local);
    std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &local);
    // The login comes last: a client may put blanks in it. Control bytes become "?".
    char title[512];
    const bool open = connection->session_open;
    const int fixed = std::snprintf(
        title, sizeof title, "tvn: %s since %s %s %s %s%s%s", connection->client_text, since, doing,
        open ? (request->is_guest == 1 ? "guest" : "owner") : "-", open ? request->username : "",
        open ? "@" : "", open ? request->domain : "");
    for (int i = 0; i < fixed && i < int(sizeof title); ++i)
        if (static_cast<unsigned char>(title[i]) < 0x20) title[i] = '?';
    set_process_title(title);
}
