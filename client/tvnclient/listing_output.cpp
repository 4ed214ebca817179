// Formatting listings.
#include "listing_output.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "problem.h"

namespace tvnclient {

namespace {

std::string size_text(const tvn_client::listing_entry &entry) {
    return entry.is_dir ? "-" : std::to_string(entry.size);
}

std::string time_text(std::uint32_t mtime) {
    if (mtime == 0) return "-               ";
    const std::time_t when = mtime;
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

} // namespace

std::string long_listing_line(const tvn_client::listing_entry &entry, std::size_t size_width) {
    const std::string size = size_text(entry);
    std::string line(1, entry.is_dir ? 'd' : '-');
    line += "  ";
    if (size.size() < size_width) line.append(size_width - size.size(), ' ');
    line += size + "  " + time_text(entry.mtime) + "  " + entry.name;
    if (entry.is_dir) line += '/';
    return line;
}

void print_listing(const std::vector<tvn_client::listing_entry> &entries, bool long_form,
                   std::FILE *out) {
    const bool terminal = isatty(fileno(out)) == 1;
    std::size_t size_width = 1;
    for (const auto &entry : entries) size_width = std::max(size_width, size_text(entry).size());
    for (const auto &entry : entries) {
        std::string line = long_form ? long_listing_line(entry, size_width)
                                     : entry.name + (entry.is_dir ? "/" : "");
        if (terminal) line = printable(line);
        std::fprintf(out, "%s\n", line.c_str());
    }
}

} // namespace tvnclient
