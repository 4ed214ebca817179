// The growing line reader that the server's configuration reader and the utility library share,
// and the buffer that owns its line. Both libraries compile it: the server never links the
// utility library.
#pragma once

#include <cstdio>

// What read_line gives besides the buffer's size.
inline constexpr long line_none = -1;       // no line: see read_line
inline constexpr long line_no_memory = -10; // the buffer could not grow; it is still the old one

// Reads characters up to term (consumed, not stored) into *buffer, a heap block of *size bytes
// (*size >= 1) that the caller owns and has zero-filled: no terminating zero is written. When
// the line does not fit, the block is reallocated to twice its size, the new half zero-filled,
// and *buffer and *size replaced. Returns the block's size after the line (the end of the
// stream also ends a line), or line_none when the stream ended before the first character or,
// with a terminator other than a line feed, a line feed came before it; line_no_memory when
// the block could not grow.
long read_line(FILE *stream, char term, long *size, char **buffer);

// The same over a zero-terminated text, read from its first character: line_none also for a
// null text and when the text ends before term.
long read_line(const char *text, char term, long *size, char **buffer);

// A zero-filled heap line buffer that grows as its lines need, released with it.
class line_buffer {
public:
    explicit line_buffer(long initial_size);
    ~line_buffer();
    line_buffer(const line_buffer &) = delete;
    line_buffer &operator=(const line_buffer &) = delete;

    // False when the block could not be had (or was handed on).
    bool usable() const { return text != nullptr; }
    // Zero-fills the whole block, so that the next line stays terminated.
    void clear();
    // Clears the block and reads the next line of stream up to term into it; read_line's
    // result.
    long read(FILE *stream, char term = '\n');
    // The next line of stream; false at the end of the stream or when memory ran out.
    bool next(FILE *stream) { return read(stream) > 0; }
    // Hands the block to the caller, who releases it with free(); the buffer is then unusable.
    char *release();

    char *text;
    long size;
};
