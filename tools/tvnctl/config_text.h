// The configuration file as lines and words, for pointing at the line a message is about.
// Words and section tags are read as the server and the modules read them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvnctl {

struct config_line {
    int number = 0; // from 1
    std::string text;
    std::string key;   // the first word; a double-quoted word without its quotes
    std::string value; // the second word, or empty
};

// A run of lines [first, end) of the file, as indexes into its lines.
struct line_range {
    size_t first = 0;
    size_t end = 0;
    bool found() const { return end > first; }
};

class config_text {
public:
    explicit config_text(std::string_view content);

    const std::vector<config_line> &lines() const { return lines_; }

    // The Server section: from the line after the first "<Server>" to the line that ends it
    // (any other line whose first word begins with "<"), that line included; nothing when
    // the file has no such section.
    line_range server_section() const;
    // The section "<module NAME>": the line after the first that opens it up to and including
    // the first "</module>" line (or the end of the file).
    line_range module_section(std::string_view name) const;

    // The first line of the range whose key is key and, unless value is null, whose value is
    // *value; 0 when none.
    int find(line_range range, std::string_view key, const std::string *value = nullptr) const;

private:
    std::vector<config_line> lines_;
};

// Tag tests, as the readers make them.
bool opens_server_section(std::string_view line);
bool opens_module_section(std::string_view line, std::string_view name);
bool opens_tag(std::string_view line, std::string_view word);  // "<word ...>"
bool closes_tag(std::string_view line, std::string_view word); // "</word ...>"
// A line the readers skip: empty, blanks only, or a comment.
bool skipped_line(const config_line &line);

} // namespace tvnctl
