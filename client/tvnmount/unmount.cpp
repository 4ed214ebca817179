// Running fusermount3 -u.
#include "unmount.h"

#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tvnclient/problem.h"

extern char **environ;

namespace tvnmount {

int unmount_mount_point(const std::string &mount_point) {
    std::string program = "fusermount3", flag = "-u", where = mount_point;
    char *arguments[] = {program.data(), flag.data(), where.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, "fusermount3", nullptr, nullptr, arguments, environ);
    if (spawned == 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }
    // Without fusermount3 root can still unmount by itself.
    if (geteuid() == 0 && umount2(mount_point.c_str(), 0) == 0) return 0;
    const std::string why =
        spawned == ENOENT ? "fusermount3 not found (install fuse3)" : std::strerror(spawned);
    std::fprintf(stderr, "tvnmount: %s: cannot unmount: %s\n",
                 tvnclient::printable(mount_point).c_str(), why.c_str());
    return 1;
}

} // namespace tvnmount
