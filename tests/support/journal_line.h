// Reading the activity log of journal.so in tests: regular expressions for its two kinds of
// line, built field by field, and the time and session id of a line that matches.
#pragma once

#include <regex.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tvn_test {

// The text, with every character that means something in an extended regular expression
// escaped.
inline std::string regex_quote(const std::string &text) {
    static const std::string special = "\\^$.|?*+()[]{}";
    std::string quoted;
    for (char c : text) {
        if (special.find(c) != std::string::npos) quoted += '\\';
        quoted += c;
    }
    return quoted;
}

// Weekday, month, day (blank-padded), time and year: the host's 24-character form. The names
// are checked when the time is read back.
inline const std::string journal_time_pattern =
    "([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4})";

struct line_head {
    std::time_t time;
    long session;
};

// A whole-line pattern whose first group is the time and whose second is the session id.
// POSIX extended syntax, compiled once.
class line_pattern {
public:
    explicit line_pattern(const std::string &expression) : compiled_(new regex_t) {
        if (regcomp(compiled_.get(), expression.c_str(), REG_EXTENDED) != 0) compiled_.reset();
    }

    // The time and the session id of a line that matches as a whole.
    std::optional<line_head> match(const std::string &line) const {
        regmatch_t groups[3];
        if (!compiled_ || regexec(compiled_.get(), line.c_str(), 3, groups, 0) != 0)
            return std::nullopt;
        const auto group = [&](int i) {
            return line.substr(std::size_t(groups[i].rm_so),
                               std::size_t(groups[i].rm_eo - groups[i].rm_so));
        };
        std::tm local{};
        const std::string time = group(1);
        const char *end = strptime(time.c_str(), "%a %b %e %H:%M:%S %Y", &local);
        if (end == nullptr || *end != '\0') return std::nullopt;
        local.tm_isdst = -1;
        return line_head{std::mktime(&local), std::stol(group(2))};
    }

private:
    struct release {
        void operator()(regex_t *compiled) const {
            regfree(compiled);
            delete compiled;
        }
    };
    std::unique_ptr<regex_t, release> compiled_;
};

// The fields of a request line, each as it must stand; the time and the session id are
// captured for the test to check.
struct expected_line {
    std::string user = "tester";
    std::string domain = "test";
    char kind = 'o';
    std::string method;
    std::string status = "OK      ";
    std::string remote1 = " ", local1 = " ", remote2 = " ", local2 = " ";
    std::string address = " ";
    std::string message;
};

// "%s %ld\t%s@%s\t%c   %s  %s  %s  %s  %s  %s %s %s\n" without its line feed; the time field
// carries a trailing blank of its own, hence two blanks before the session id.
inline line_pattern request_pattern(const expected_line &e) {
    const auto q = regex_quote;
    return line_pattern("^" + journal_time_pattern + "  ([0-9]+)\t" + q(e.user) + "@" +
                        q(e.domain) + "\t" + q(std::string(1, e.kind)) + "   " + q(e.method) +
                        "  " + q(e.status) + "  " + q(e.remote1) + "  " + q(e.local1) + "  " +
                        q(e.remote2) + "  " + q(e.local2) + " " + q(e.address) + " " +
                        q(e.message) + "$");
}

// "%s %ld\t %s  %s  %s\n" without its line feed.
inline line_pattern refused_pattern(const std::string &address, const std::string &message) {
    return line_pattern("^" + journal_time_pattern + "  ([0-9]+)\t Invalid connection from ip  " +
                        regex_quote(address) + "  " + regex_quote(message) + "$");
}

inline std::optional<line_head> match_line(const std::string &line, const line_pattern &pattern) {
    return pattern.match(line);
}

// The lines of a text; a last line without its line feed is kept with a mark, so that a torn
// line shows.
inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        lines.push_back(text.substr(begin, end - begin));
    if (begin < text.size()) lines.push_back(text.substr(begin) + "<no line feed>");
    return lines;
}

} // namespace tvn_test
