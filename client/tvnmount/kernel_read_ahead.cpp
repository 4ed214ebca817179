// Finding the mount's device in the mount table and writing its read-ahead window.
#include "kernel_read_ahead.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace tvnmount {

namespace {

bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }

// The mount table writes space, tab, newline and backslash in paths as octal escapes ("\040").
std::string unescaped(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 4 <= field.size() && is_octal_digit(field[i + 1]) &&
            is_octal_digit(field[i + 2]) && is_octal_digit(field[i + 3])) {
            out +=
                char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

} // namespace

std::optional<std::string> mounted_device(std::string_view mountinfo,
                                          const std::string &mount_point) {
    std::optional<std::string> found;
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        // mount id, parent id, MAJOR:MINOR, root, mount point, ...
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        if (unescaped(point) == mount_point) found = device; // the last mount there is on top
    }
    return found;
}

int set_kernel_read_ahead(const std::string &mount_point, std::size_t kib) {
    std::ifstream table("/proc/self/mountinfo");
    if (!table) return ENOENT;
    std::stringstream text;
    text << table.rdbuf();
    const std::optional<std::string> device = mounted_device(text.str(), mount_point);
    if (!device) return ENOENT;
    std::ofstream window("/sys/class/bdi/" + *device + "/read_ahead_kb");
    if (!window) return errno != 0 ? errno : EACCES;
    window << kib << '\n';
    window.flush();
    return window ? 0 : EIO;
}

} // namespace tvnmount
