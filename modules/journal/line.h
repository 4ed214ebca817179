// One journal line: its fields and how they are laid out. Every field that comes from the
// client or a module (user, domain, paths, message) is escaped so that no line can be forged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace journal {

// 24 characters of local time, a blank in place of the line end, and the terminator.
struct time_text {
    char text[26];
};

// The local time now, in the host's fixed 24-character form followed by one blank.
time_text current_time();

struct line_fields {
    const char *time;
    uint32_t session;
    const char *user;
    const char *domain;
    char kind;
    const char *method;
    const char *status;
    const char *paths[4]; // remote path 1, local path 1, remote path 2, local path 2
    const char *address;
    const char *message;
};

enum class line_kind {
    request, // time, session, user@domain, kind, method, status, four paths, address, message
    refused, // time, session, "Invalid connection from ip", address, message
};

// Lays the line out into out, which must hold its length (no terminator is written), and
// returns its length in bytes. With out null it only measures.
std::size_t compose_line(line_kind kind, const line_fields &fields, char *out);

} // namespace journal
