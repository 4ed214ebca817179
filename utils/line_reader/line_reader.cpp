// The growing line reader and its buffer.
#include "line_reader.h"

#include <cstdlib>
#include <cstring>

namespace {

bool grow(char **buffer, long *size) {
    auto *bigger = static_cast<char *>(std::realloc(*buffer, std::size_t(*size) * 2));
    if (bigger == nullptr) return false;
    std::memset(bigger + *size, 0, std::size_t(*size));
    *buffer = bigger;
    *size *= 2;
    return true;
}

constexpr int source_end = -2; // below every character and EOF

// The characters of a stream; its end ends the line.
struct stream_source {
    FILE *stream;
    int first() { return std::fgetc(stream); }
    int next(long) { return std::fgetc(stream); }
    static bool ends_line(int c) { return c == EOF; }
};

// The characters of a zero-terminated text; reaching its end is no line at all.
struct text_source {
    const char *text;
    std::size_t length;
    int first() { return static_cast<unsigned char>(text[0]); }
    int next(long position) {
        if (std::size_t(position) >= length) return source_end;
        return static_cast<unsigned char>(text[position]);
    }
    static bool ends_line(int) { return false; }
};

template <typename Source>
long fill(Source source, char term, long *size, char **buffer) {
    if (buffer == nullptr || *buffer == nullptr || *size < 1) return line_none;
    const int stop = static_cast<unsigned char>(term);
    int c = source.first();
    if (c == EOF || c == source_end) return line_none;
    // The position, not the contents' length, decides when to grow: a zero byte read from a
    // file must not let the line run past the block.
    long position = 0;
    for (;;) {
        if (c == stop || Source::ends_line(c)) return *size;
        if (position + 1 >= *size && !grow(buffer, size)) return line_no_memory;
        (*buffer)[position++] = char(c);
        c = source.next(position);
        if (c == source_end) return line_none;
        if (c == '\n' && stop != '\n') return line_none;
    }
}

} // namespace

long read_line(FILE *stream, char term, long *size, char **buffer) {
    return fill(stream_source{stream}, term, size, buffer);
}

long read_line(const char *text, char term, long *size, char **buffer) {
    if (text == nullptr) return line_none;
    return fill(text_source{text, std::strlen(text)}, term, size, buffer);
}

line_buffer::line_buffer(long initial_size)
        : text(static_cast<char *>(std::calloc(std::size_t(initial_size), 1))),
          size(initial_size) {}

line_buffer::~line_buffer() { std::free(text); }

void line_buffer::clear() {
    if (text != nullptr) std::memset(text, 0, std::size_t(size));
}

long line_buffer::read(FILE *stream, char term) {
    if (text == nullptr) return line_none;
    clear();
    return read_line(stream, term, &size, &text);
}

char *line_buffer::release() {
    char *taken = text;
    text = nullptr;
    return taken;
}
