// Test support: a private copy of the host's /etc, for tests that create host users and
// change host passwords. The test process enters a mount namespace of its own in which /etc
// is a copy on a tmpfs; a server started from there inherits it. Leaving switches back to the
// namespace the process came from, so the machine's own account files are never touched.
// Server roots made under /etc lie on the copy's file system, beside its shadow file.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "server_root.h"

namespace tvn_test {

class private_etc {
public:
    private_etc() { enter(); }
    ~private_etc() { leave(); }
    private_etc(const private_etc &) = delete;
    private_etc &operator=(const private_etc &) = delete;

    // True while this process works on the copy; otherwise failure() says why not.
    bool entered() const { return entered_; }
    const std::string &failure() const { return failure_; }

    // Back to the namespace the process came from; the copy goes with the last process that
    // still uses it. Safe to call more than once.
    void leave() {
        if (original_ < 0) return;
        if (setns(original_, CLONE_NEWNS) == 0 && !saved_cwd_.empty())
            (void)chdir(saved_cwd_.c_str());
        close(original_);
        original_ = -1;
        entered_ = false;
        if (!mount_point_.empty()) rmdir(mount_point_.c_str());
    }

private:
    void enter() {
        errno = 0;
        if (geteuid() != 0) return fail("a mount namespace needs root");
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) saved_cwd_ = cwd;
        original_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        if (original_ < 0) return fail("cannot open /proc/self/ns/mnt");
        if (unshare(CLONE_NEWNS) != 0) {
            close(original_);
            original_ = -1;
            return fail("unshare(CLONE_NEWNS)");
        }
        // From here on no mount reaches the machine's namespace.
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return fail_inside("making / private");
        char pattern[] = "/tmp/tvn-etc-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return fail_inside("mkdtemp");
        mount_point_ = pattern;
        if (mount("tmpfs", pattern, "tmpfs", 0, "mode=0755") != 0)
            return fail_inside("mounting a tmpfs");
        const std::string copy = mount_point_ + "/etc";
        if (mkdir(copy.c_str(), 0755) != 0) return fail_inside("mkdir");
        const command_result copied = run_command({"/bin/cp", "-a", "/etc/.", copy});
        if (copied.exit_status != 0) {
            errno = 0;
            return fail_inside("copying /etc: " + copied.output);
        }
        if (mount(copy.c_str(), "/etc", nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return fail_inside("bind-mounting the copy onto /etc");
        // A name-service cache daemon would answer from the machine's own files.
        struct stat cache {};
        if (stat("/run/nscd", &cache) == 0 &&
            mount("tmpfs", "/run/nscd", "tmpfs", 0, "mode=0755") != 0)
            return fail_inside("hiding /run/nscd");
        entered_ = true;
    }

    void fail(const std::string &why) {
        failure_ = why + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    }
    void fail_inside(const std::string &why) {
        fail(why);
        leave();
    }

    int original_ = -1;
    std::string saved_cwd_;
    std::string mount_point_;
    std::string failure_;
    bool entered_ = false;
};

} // namespace tvn_test
