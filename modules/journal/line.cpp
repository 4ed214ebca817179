// Laying out a journal line. The line is measured first and then written into a buffer of
// exactly that size, so that it can leave in one write call.
#include "line.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace journal {

namespace {

// Copies into the buffer when there is one, and counts in every case: the same code measures
// the line and writes it, so the two can never disagree.
class sink {
public:
    explicit sink(char *out) : out_(out) {}

    void plain(std::string_view text) {
        if (out_ != nullptr) std::memcpy(out_ + length_, text.data(), text.size());
        length_ += text.size();
    }
    template <typename... Texts>
    void plain(std::string_view first, const Texts &...rest) {
        plain(first);
        (plain(std::string_view(rest)), ...);
    }

    // A line feed, a tab or any other control byte in a client's text would let the client
    // end a line and begin a forged one; the backslash is escaped too, so that an escape in
    // the log always means a byte that was escaped.
    void escaped(const char *text) {
        static constexpr char hex[] = "0123456789abcdef";
        for (const char *at = text; *at != '\0'; ++at) {
            const auto byte = static_cast<unsigned char>(*at);
            if (byte < 0x20 || byte == 0x7f || byte == '\\') {
                const char escape[4] = {'\\', 'x', hex[byte >> 4], hex[byte & 0x0f]};
                plain({escape, sizeof escape});
            } else {
                plain({at, 1});
            }
        }
    }

    std::size_t length() const { return length_; }

private:
    char *out_;
    std::size_t length_ = 0;
};

// "%s %ld\t%s@%s\t%c   %s  %s  %s  %s  %s  %s %s %s\n"
void request_line(sink &line, const line_fields &fields, std::string_view session) {
    line.plain(fields.time, " ", session, "\t");
    line.escaped(fields.user);
    line.plain("@");
    line.escaped(fields.domain);
    line.plain("\t", std::string_view(&fields.kind, 1), "   ", fields.method, "  ", fields.status);
    for (const char *path : fields.paths) {
        line.plain("  ");
        line.escaped(path);
    }
    line.plain(" ", fields.address, " ");
    line.escaped(fields.message);
    line.plain("\n");
}

// "%s %ld\t %s  %s  %s\n"
void refused_line(sink &line, const line_fields &fields, std::string_view session) {
    line.plain(fields.time, " ", session, "\t Invalid connection from ip  ", fields.address, "  ");
    line.escaped(fields.message);
    line.plain("\n");
}

} // namespace

time_text current_time() {
    time_text now{};
    const std::time_t seconds = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr || asctime_r(&local, now.text) == nullptr) {
        // Keeps the column width even when the clock cannot be read.
        std::memset(now.text, '?', 24);
        now.text[24] = '\0';
    }
    now.text[24] = ' ';
    now.text[25] = '\0';
    return now;
}

std::size_t compose_line(line_kind kind, const line_fields &fields, char *out) {
    char session[24];
    const int digits = std::snprintf(session, sizeof session, "%ld", long(fields.session));
    sink line(out);
    if (kind == line_kind::refused)
        refused_line(line, fields, {session, std::size_t(digits)});
    else
        request_line(line, fields, {session, std::size_t(digits)});
    return line.length();
}

} // namespace journal
