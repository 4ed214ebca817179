// Reading and appending the known servers file.
#include "known_servers.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "local_file.h"

namespace tvnclient {

namespace {

std::string home_directory() {
    if (const char *home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    const passwd *self = getpwuid(getuid());
    return self != nullptr && self->pw_dir != nullptr ? self->pw_dir : "";
}

// Makes the directory (private to the user) unless it exists; false with errno on failure.
bool make_private_directory(const std::string &path) {
    if (mkdir(path.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return false;
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

std::string parent_of(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

std::string known_servers_file() {
    std::string base;
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        base = config;
    else if (const std::string home = home_directory(); !home.empty())
        base = home + "/.config";
    return base.empty() ? std::string() : base + "/tolvane/known_servers";
}

known_server look_up_server(const std::string &file, const std::string &host, std::uint16_t port,
                            const std::string &fingerprint) {
    known_server result;
    std::ifstream in(file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream fields(line);
        std::string name, port_text, remembered;
        if (!(fields >> name >> port_text >> remembered) || name[0] == '#') continue;
        if (name != host || port_text != std::to_string(port)) continue;
        if (remembered == fingerprint) {
            result.found = known_server::match::same;
            return result;
        }
        if (result.found == known_server::match::unknown) {
            result.found = known_server::match::changed;
            result.remembered = remembered;
            result.line = number;
        }
    }
    return result;
}

std::string remember_server(const std::string &file, const std::string &host, std::uint16_t port,
                            const std::string &fingerprint) {
    if (file.empty()) return "no home directory to keep it in";
    const std::string directory = parent_of(file);
    // The configuration directory itself ($XDG_CONFIG_HOME or ~/.config), then our own.
    for (const std::string &needed : {parent_of(directory), directory})
        if (!make_private_directory(needed)) return needed + ": " + std::strerror(errno);
    unique_fd out(open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) return file + ": " + std::strerror(errno);
    const std::string line = host + " " + std::to_string(port) + " " + fingerprint + "\n";
    if (!write_all(out.get(), reinterpret_cast<const std::uint8_t *>(line.data()), line.size()))
        return file + ": " + std::strerror(errno);
    return {};
}

} // namespace tvnclient
