// What went wrong, as the user reads it and as scripts test it: one line on standard error
// ("tvnclient: /Private/x: not found") and an exit status from a small documented set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tvnclient {

// Exit statuses. They are documented in --help and the README; scripts rely on them, so a
// value never changes its meaning.
enum class exit_status : int {
    ok = 0,
    failed = 1,        // the server refused for another reason: exists, not empty, disk full...
    usage = 2,         // a wrong command line, or no password to be had
    not_found = 3,     // the remote file or directory does not exist
    denied = 4,        // permission denied (also a guest trying to write)
    login_refused = 5, // wrong login or password; also a refused password change
    connection = 6,    // cannot connect, server closed the connection, no answer in time
    local = 7,         // a local file or directory could not be read or written
    server_changed = 8, // TLS: the server's certificate is not the one remembered for it
    untrusted = 9,     // TLS: the server's certificate is not trusted (does not verify, names
                       // another host, or is new and was not accepted)
    interrupted = 130, // Ctrl-C
};

struct problem {
    exit_status status = exit_status::ok;
    std::string subject; // the path or host it concerns; may be empty
    std::string words;
    // Set once the line has been printed (a tree transfer reports each failure as it goes
    // and hands the first one up only for its exit status).
    bool reported = false;

    explicit operator bool() const { return status != exit_status::ok; }
};

problem make_problem(exit_status status, std::string subject, std::string words);
// A refusal by the server, in words: NOT_FOUND is "not found", ACCESS_DENIED "permission
// denied", DIR_NOT_EMPTY "directory not empty", ...
problem remote_refusal(std::uint8_t status, std::string subject);
// A failed local system call, in the C library's words ("no such file or directory").
problem local_failure(int error_number, std::string subject);
problem usage_error(std::string words);

// The exit status of a whole run that ended with this problem.
int exit_code(const problem &what);
// The name messages begin with: "tvnclient" unless the program that shares this code says
// otherwise (tvnmount does, first thing).
const char *program_name();
void set_program_name(const char *name);

// Prints "PROGRAM: SUBJECT: WORDS" on standard error once.
void report(problem &what);
// The text report() prints, without the program name and newline. Control characters (a
// name from the server may hold them) are shown as '?' so they cannot drive the terminal.
std::string describe(const problem &what);
// A name fit for a terminal: control characters become '?'.
std::string printable(std::string_view text);

} // namespace tvnclient
