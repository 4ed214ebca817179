// The output file's lines.
#include "output_file.h"

namespace tvnctl {

namespace {

constexpr std::string_view BANNER_RULE =
    "***********************************************************";
constexpr std::string_view CONFIGURING = "Configuring TOLVANE SERVER...";
constexpr std::string_view MODULE_LOADING = "Loading module library ";
constexpr std::string_view MODULE_LOADED = " ...ok";
constexpr std::string_view SHUTTING_DOWN = "Shutting down 'tolvane server'...";
constexpr std::string_view SHUT_DOWN = "... done";

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool blank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

std::vector<std::string> lines_starting(std::string_view output, std::string_view prefix) {
    std::vector<std::string> found;
    for (std::string_view line : split_lines(output))
        if (starts_with(line, prefix)) found.emplace_back(line);
    return found;
}

bool progress_line(std::string_view line) {
    return starts_with(line, CONFIGURING) ||
           (starts_with(line, MODULE_LOADING) && ends_with(line, MODULE_LOADED)) || line == "ok" ||
           line == SHUTTING_DOWN || line == SHUT_DOWN;
}

} // namespace

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string> listening_lines(std::string_view output) {
    return lines_starting(output, "listening on ");
}

std::vector<std::string> warning_lines(std::string_view output) {
    return lines_starting(output, "warning: ");
}

std::vector<std::string> reason_lines(std::string_view output) {
    const std::vector<std::string_view> lines = split_lines(output);
    // The banner is framed by two rules of stars; what follows the second is the server's.
    size_t first = 0;
    int rules = 0;
    for (size_t i = 0; i < lines.size() && rules < 2; ++i)
        if (lines[i] == BANNER_RULE && ++rules == 2) first = i + 1;
    std::vector<std::string> reasons;
    for (size_t i = first; i < lines.size(); ++i)
        if (!blank(lines[i]) && !progress_line(lines[i])) reasons.emplace_back(lines[i]);
    return reasons;
}

} // namespace tvnctl
