// Test support: a small tmpfs in a mount namespace of the test's own, for tests that fill a
// disk. The test process enters the namespace, in which nothing it mounts reaches the
// machine's; a server started from there inherits it and sees the tmpfs too. Leaving switches
// back; the tmpfs goes with the last process that still uses the namespace, so stop the
// server first.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace tvn_test {

class private_tmpfs {
public:
    // size as mount takes it: "2m", "512k".
    explicit private_tmpfs(const std::string &size) { enter(size); }
    ~private_tmpfs() { leave(); }
    private_tmpfs(const private_tmpfs &) = delete;
    private_tmpfs &operator=(const private_tmpfs &) = delete;

    // True while this process works in the namespace; otherwise failure() says why not.
    bool entered() const { return entered_; }
    const std::string &failure() const { return failure_; }
    // Where the tmpfs is mounted, without a trailing "/".
    const std::string &path() const { return mount_point_; }

    // Writes the file until the file system has no byte left; true when it came to that.
    bool fill(const std::string &name = "filler") const {
        const int fd = open((mount_point_ + "/" + name).c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const std::vector<char> block(65536, 'f');
        bool full = false;
        for (;;) {
            const ssize_t written = write(fd, block.data(), block.size());
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) {
                full = errno == ENOSPC;
                break;
            }
        }
        close(fd);
        return full;
    }

    // Back to the namespace the process came from. Safe to call more than once.
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
    void enter(const std::string &size) {
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
        char pattern[] = "/tmp/tvn-tmpfs-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return fail_inside("mkdtemp");
        mount_point_ = pattern;
        if (mount("tmpfs", pattern, "tmpfs", 0, ("mode=0755,size=" + size).c_str()) != 0)
            return fail_inside("mounting a tmpfs");
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
