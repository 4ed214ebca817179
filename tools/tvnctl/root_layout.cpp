// The server root from the command line.
#include "root_layout.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace tvnctl {

std::string server_root(const char *directory) {
    if (directory == nullptr || *directory == '\0') return DEFAULT_ROOT;
    std::string root = directory;
    if (root.front() != '/') {
        // The launcher resolves a relative root the same way, so both name the same master.
        if (char *resolved = realpath(directory, nullptr)) {
            root = resolved;
            std::free(resolved);
        } else {
            char here[PATH_MAX];
            if (getcwd(here, sizeof here) != nullptr) root = std::string(here) + "/" + root;
        }
    }
    if (root.back() != '/') root += '/';
    return root;
}

} // namespace tvnctl
