// What the master gives up before it forks: root rights in restricted mode, and large core
// files.
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "process.h"

namespace {
constexpr rlim_t CORE_LIMIT = 100000;
}

// In restricted mode the master gives up root for good once the sockets are bound, and checks
// it: supplementary groups, then group, then user. Master and workers then run as that user.
bool drop_privileges(tvn_server_conf *conf) {
    if (!conf->restricted) return true;
    const gid_t group = gid_t(conf->run_gid);
    const char *failed = nullptr;
    if (setgroups(1, &group) != 0)
        failed = "setgroups";
    else if (setgid(group) != 0)
        failed = "setgid";
    else if (setuid(uid_t(conf->run_uid)) != 0)
        failed = "setuid";
    if (failed != nullptr) {
        std::printf("\nCan't switch to the restricted user and group: %s failed: %s\n\n", failed,
                    std::strerror(errno));
        std::fflush(stdout);
        return false;
    }
    umask(022);
    return true;
}

void limit_core_files() {
    const rlimit core{CORE_LIMIT, CORE_LIMIT};
    setrlimit(RLIMIT_CORE, &core);
}
