// Problems in words and exit statuses.
#include "problem.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "tolvane/protocol.h"

namespace tvnclient {

namespace {

std::string_view status_words(std::uint8_t status) {
    switch (status) {
    case NOT_FOUND: return "not found";
    case ACCESS_DENIED: return "permission denied";
    case DIR_NOT_EMPTY: return "directory not empty";
    case FILE_EXISTS: return "already exists";
    case WRONG_AUTH: return "login refused";
    case BAD_REQUEST: return "refused by the server";
    case INVALID_OPENMODE: return "the server cannot open it that way";
    case NO_MORE_FILEHANDLES: return "too many open files on the server";
    case INVALID_HANDLE: return "the server no longer holds the file open";
    case DISK_FULL: return "no space left on the server";
    case QUOTA_EXCEDED: return "quota exceeded";
    case READONLY_ACCESS: return "read-only access";
    case FILE_IS_A_DIR: return "is a directory";
    case REQUEST_TIMED_OUT: return "the request timed out on the server";
    case AUTH_REQUIRED: return "login required";
    default: return "internal server error";
    }
}

exit_status status_class(std::uint8_t status) {
    switch (status) {
    case NOT_FOUND: return exit_status::not_found;
    case ACCESS_DENIED:
    case READONLY_ACCESS: return exit_status::denied;
    case WRONG_AUTH:
    case AUTH_REQUIRED: return exit_status::login_refused;
    default: return exit_status::failed;
    }
}

} // namespace

problem make_problem(exit_status status, std::string subject, std::string words) {
    problem made;
    made.status = status;
    made.subject = std::move(subject);
    made.words = std::move(words);
    return made;
}

problem remote_refusal(std::uint8_t status, std::string subject) {
    return make_problem(status_class(status), std::move(subject),
                        std::string(status_words(status)));
}

problem local_failure(int error_number, std::string subject) {
    std::string words = std::strerror(error_number);
    if (!words.empty()) words[0] = char(std::tolower(static_cast<unsigned char>(words[0])));
    return make_problem(exit_status::local, std::move(subject), std::move(words));
}

problem usage_error(std::string words) {
    return make_problem(exit_status::usage, "", std::move(words));
}

int exit_code(const problem &what) { return static_cast<int>(what.status); }

std::string printable(std::string_view text) {
    std::string shown(text);
    for (char &c : shown)
        if (std::iscntrl(static_cast<unsigned char>(c))) c = '?';
    return shown;
}

std::string describe(const problem &what) {
    // Subjects and words may carry names the server sent.
    if (what.subject.empty()) return printable(what.words);
    return printable(what.subject + ": " + what.words);
}

namespace {
const char *current_program_name = "tvnclient";
} // namespace

const char *program_name() { return current_program_name; }
void set_program_name(const char *name) { current_program_name = name; }

void report(problem &what) {
    if (!what || what.reported) return;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", program_name(), describe(what).c_str());
    what.reported = true;
}

} // namespace tvnclient
