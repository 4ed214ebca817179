// Checks of a domain's account database at start-up.
#include "domain_warnings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Whether the writer may do what mode_bits (a combination of 02 and 01, "write", "search")
// asks on the file with this status, by owner, group or others.
bool allowed(const struct stat &status, const database_writer &writer, mode_t wanted) {
    if (writer.uid == 0) return true;
    mode_t bits;
    if (status.st_uid == writer.uid) bits = (status.st_mode >> 6) & 07;
    else if (status.st_gid == writer.gid) bits = (status.st_mode >> 3) & 07;
    else bits = status.st_mode & 07;
    return (bits & wanted) == wanted;
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The first place a rewrite as writer would fail, or "" when none.
std::string unwritable_place(const std::string &database, const database_writer &writer) {
    struct stat status {};
    if (stat(database.c_str(), &status) == 0 && !allowed(status, writer, 02)) return database;
    for (const std::string &dir : {directory_of(database), std::string(".")}) {
        if (stat(dir.c_str(), &status) == 0 && !allowed(status, writer, 03))
            return dir == "." ? "the server root (for ./tvn_aux_file)" : dir;
    }
    return "";
}

}  // namespace

void warn_about_domain(const char *module, const account_domain &domain,
                       std::optional<database_writer> writer) {
    if (!domain.enabled || domain.passwd_file == nullptr) return;
    const int fd = open(domain.passwd_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::printf("\nwarning: %s: the account database %s cannot be read: %s: nobody of this "
                    "domain can log in\n",
                    module, domain.passwd_file, std::strerror(errno));
        std::fflush(stdout);
        return;
    }
    close(fd);
    const bool changes = domain.owner_change_password || domain.guest_change_password;
    if (!changes || !writer) return;
    const std::string place = unwritable_place(domain.passwd_file, *writer);
    if (place.empty()) return;
    std::printf("\nwarning: %s: password changes are enabled, but the service account (uid %u) "
                "cannot write %s: a change of %s made after a login (as that account) will fail\n",
                module, unsigned(writer->uid), place.c_str(), domain.passwd_file);
    std::fflush(stdout);
}
