// Parsing the titles of workers in service.
#include "worker_title.h"

namespace tvnctl {

namespace {

constexpr std::string_view PREFIX = "tvn: ";
constexpr std::string_view SINCE = " since ";
constexpr size_t DATE_TIME_LENGTH = 19; // "YYYY-MM-DD HH:MM:SS"

// The word up to the next blank; the text moves past the blank.
std::string_view take_word(std::string_view &text) {
    const size_t blank = text.find(' ');
    const std::string_view word = text.substr(0, blank);
    text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
    return word;
}

} // namespace

std::optional<connection_title> parse_connection_title(std::string_view title) {
    if (title.substr(0, PREFIX.size()) != PREFIX) return std::nullopt;
    title.remove_prefix(PREFIX.size());
    // An address holds no blank, so the first " since " ends it.
    const size_t since = title.find(SINCE);
    if (since == std::string_view::npos || since == 0 ||
        title.substr(0, since).find(' ') != std::string_view::npos)
        return std::nullopt;
    connection_title connection;
    connection.client = std::string(title.substr(0, since));
    title.remove_prefix(since + SINCE.size());
    if (title.size() < DATE_TIME_LENGTH + 1 || title[DATE_TIME_LENGTH] != ' ') return std::nullopt;
    connection.since = std::string(title.substr(0, DATE_TIME_LENGTH));
    title.remove_prefix(DATE_TIME_LENGTH + 1);
    connection.method = std::string(take_word(title));
    connection.kind = std::string(take_word(title));
    if (connection.method.empty() || connection.kind.empty()) return std::nullopt;
    // The login comes last and may hold blanks.
    connection.login = connection.kind == "-" ? "" : std::string(title);
    return connection;
}

std::string describe_login(const connection_title &connection) {
    if (connection.kind == "-" || connection.login.empty()) return "(logging in)";
    return printable(connection.login) + " (" + connection.kind + ")";
}

std::string printable(std::string_view text) {
    std::string shown(text);
    for (char &c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return shown;
}

} // namespace tvnctl
