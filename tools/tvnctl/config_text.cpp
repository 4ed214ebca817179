// Lines, words and sections of the configuration file.
#include "config_text.h"

namespace tvnctl {

namespace {

constexpr size_t MAX_TAG_WORD = 20;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view skip_blanks(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && is_blank(text[at])) ++at;
    return text.substr(at);
}

// A word of a key line: a double-quoted one runs to the next quote, any other to the next
// blank. The text moves past the word and what ended it.
std::string take_word(std::string_view &text) {
    text = skip_blanks(text);
    if (text.empty()) return "";
    const bool quoted = text.front() == '"';
    if (quoted) text.remove_prefix(1);
    const size_t end = quoted ? text.find('"') : text.find_first_of(" \t");
    std::string word(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return word;
}

// A word of a tag, ended by a blank, ">" or the end, and cut at MAX_TAG_WORD characters.
std::string_view take_tag_word(std::string_view &text) {
    size_t end = 0;
    while (end < text.size() && !is_blank(text[end]) && text[end] != '>' && end < MAX_TAG_WORD)
        ++end;
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

} // namespace

config_text::config_text(std::string_view content) {
    int number = 0;
    while (!content.empty()) {
        const size_t end = content.find('\n');
        config_line line;
        line.number = ++number;
        line.text = std::string(content.substr(0, end));
        std::string_view rest = line.text;
        line.key = take_word(rest);
        line.value = take_word(rest);
        lines_.push_back(std::move(line));
        if (end == std::string_view::npos) break;
        content.remove_prefix(end + 1);
    }
}

bool opens_server_section(std::string_view line) {
    line = skip_blanks(line);
    if (line.empty() || line.front() != '<') return false;
    line = skip_blanks(line.substr(1));
    // Only the length of "Server" is compared: "<ServerX>" opens the section too.
    if (take_tag_word(line).substr(0, 6) != "Server") return false;
    line = skip_blanks(line);
    return !line.empty() && line.front() == '>';
}

bool opens_module_section(std::string_view line, std::string_view name) {
    line = skip_blanks(line);
    if (line.empty() || line.front() != '<') return false;
    line = skip_blanks(line.substr(1));
    if (take_tag_word(line) != "module") return false;
    line = skip_blanks(line);
    if (take_tag_word(line) != name) return false;
    line = skip_blanks(line);
    return !line.empty() && line.front() == '>';
}

bool opens_tag(std::string_view line, std::string_view word) {
    line = skip_blanks(line);
    if (line.size() < 2 || line.front() != '<' || line[1] == '/') return false;
    line = skip_blanks(line.substr(1));
    return take_tag_word(line) == word && line.find('>') != std::string_view::npos;
}

bool closes_tag(std::string_view line, std::string_view word) {
    line = skip_blanks(line);
    if (line.size() < 2 || line.substr(0, 2) != "</") return false;
    line = skip_blanks(line.substr(2));
    return take_tag_word(line) == word && line.find('>') != std::string_view::npos;
}

bool skipped_line(const config_line &line) { return line.key.empty() || line.key.front() == '#'; }

line_range config_text::server_section() const {
    size_t at = 0;
    while (at < lines_.size() && !opens_server_section(lines_[at].text)) ++at;
    if (at == lines_.size()) return {};
    line_range range{at + 1, at + 1};
    for (range.end = range.first; range.end < lines_.size(); ++range.end) {
        const config_line &line = lines_[range.end];
        if (opens_server_section(line.text) || skipped_line(line)) continue;
        if (line.key.front() == '<') {
            ++range.end; // the line that ends the section belongs to it
            break;
        }
    }
    return range;
}

line_range config_text::module_section(std::string_view name) const {
    size_t at = 0;
    while (at < lines_.size() && !opens_module_section(lines_[at].text, name)) ++at;
    if (at == lines_.size()) return {};
    line_range range{at + 1, at + 1};
    for (range.end = range.first; range.end < lines_.size(); ++range.end) {
        if (closes_tag(lines_[range.end].text, "module")) {
            ++range.end;
            break;
        }
    }
    return range;
}

int config_text::find(line_range range, std::string_view key, const std::string *value) const {
    for (size_t at = range.first; at < range.end && at < lines_.size(); ++at) {
        const config_line &line = lines_[at];
        if (skipped_line(line) || line.key != key) continue;
        if (value == nullptr || line.value == *value) return line.number;
    }
    return 0;
}

} // namespace tvnctl
