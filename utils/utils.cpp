// The configuration-file reader: lines, words, tags and the search for a module's section.
#include "utils.h"

#include <cstring>
#include <string_view>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

template <typename Char>
Char *skip_blanks(Char *p) {
    while (is_blank(*p)) ++p;
    return p;
}

// Section words are compared over at most this many characters.
constexpr std::size_t max_tag_word = 20;

// The word at *p, ended by a blank, ">" or the end of the line and cut after max_tag_word
// characters; *p moves past what was taken.
std::string_view take_tag_word(const char **p) {
    const char *start = *p;
    const char *end = start;
    while (*end != '\0' && !is_blank(*end) && *end != '>' &&
           std::size_t(end - start) < max_tag_word)
        ++end;
    *p = end;
    return {start, std::size_t(end - start)};
}

} // namespace

long readline(const void *fd, char term, long size, char **buf, int from_file) {
    auto *stream = static_cast<FILE *>(const_cast<void *>(fd));
    const auto *text = static_cast<const char *>(fd);
    const long got =
        from_file ? read_line(stream, term, &size, buf) : read_line(text, term, &size, buf);
    // Memory that runs out looks like the end of the input to the callers.
    return got == line_no_memory ? -1 : got;
}

void read_word(char *line, row *r) {
    char *p = line;
    for (int slot = 0; slot < 2; ++slot) {
        p = skip_blanks(p);
        if (*p == '\0') {
            r->text[slot] = p; // missing word: the empty string at the line's end
            continue;
        }
        const bool quoted = *p == '"';
        char *start = quoted ? p + 1 : p;
        char *end = start;
        while (*end != '\0' && (quoted ? *end != '"' : !is_blank(*end))) ++end;
        r->text[slot] = start;
        if (*end == '\0') {
            // The word runs to the end of the line; a value still missing is empty.
            if (slot == 0) r->text[1] = end;
            return;
        }
        *end = '\0';
        p = end + 1;
        // A closing quote swallows the character after it, but never the line's end.
        if (quoted && *p != '\0') ++p;
    }
}

int find_tag(const char *line, const char *target) {
    const char *p = skip_blanks(line);
    if (*p == '\0' || *p == '#') return -1;
    if (*p != '<') return 0;
    const bool closing = target[0] == '/';
    if (closing && p[1] != '/') return 0;
    // A line that ends inside the tag, or an empty target, names no tag.
    if (p[1] == '\0' || target[0] == '\0') return 0;
    // "<" and the character after it are stepped over, and so is the target's first
    // character: for a closing tag the "/", for an opening tag the word's first letter.
    p = skip_blanks(p + 2);
    if (*p == '\0') return 0;
    const char *start = p;
    while (*p != '\0' && !is_blank(*p) && *p != '>') ++p;
    if (std::string_view(start, std::size_t(p - start)) != std::string_view(target + 1)) return 0;
    if (*p == '>') return 1;
    return std::strchr(p, '>') != nullptr ? 1 : 0;
}

int scan_line(const char *line, const char *target, const char *name) {
    const char *p = skip_blanks(line);
    if (*p != '<') return -1;
    p = skip_blanks(p + 1);
    if (take_tag_word(&p) != target) return -1;
    p = skip_blanks(p);
    if (take_tag_word(&p) != name) return -1;
    p = skip_blanks(p);
    return *p == '>' ? 0 : -1;
}

int search_module(FILE *fp, const char *mod_name) {
    line_buffer line(100);
    if (!line.usable()) return -1;
    for (;;) {
        if (!line.next(fp)) {
            std::printf("I can't find <module %s> section, I can't go on\n", mod_name);
            return -1;
        }
        if (scan_line(line.text, "module", mod_name) == 0) return 0;
    }
}
