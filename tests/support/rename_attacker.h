// Test support: a local attacker running as nobody that, for as long as it lives, plants files
// of its own under the names a password rewrite might use: whenever one of the given names, or
// an entry of the given directories, is a file someone else made, it renames a file of its own
// over it. For showing that no rewrite ever installs a file another user prepared.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server_root.h"

namespace tvn_test {

class rename_attacker {
public:
    // work_dir: where the attacker makes its files (it must be able to write there);
    // names: paths it renames its file over; watched_dirs: directories whose every entry it
    // tries as well; content: what its planted files hold.
    rename_attacker(std::string work_dir, std::vector<std::string> names,
                    std::vector<std::string> watched_dirs, std::string content)
            : work_dir_(std::move(work_dir)),
              names_(std::move(names)),
              watched_dirs_(std::move(watched_dirs)),
              content_(std::move(content)) {}
    ~rename_attacker() { stop(); }
    rename_attacker(const rename_attacker &) = delete;
    rename_attacker &operator=(const rename_attacker &) = delete;

    // Starts the attacker as the user nobody; true once it has planted its first file.
    bool start() {
        const passwd *nobody = getpwnam("nobody");
        if (nobody == nullptr) return false;
        const uid_t uid = nobody->pw_uid;
        const gid_t gid = nobody->pw_gid;
        int ready[2];
        if (pipe(ready) != 0) return false;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0 ||
                chdir(work_dir_.c_str()) != 0)
                _exit(2);
            attack(ready[1]);
        }
        close(ready[1]);
        char planted = 0;
        const bool started = pid_ > 0 && read(ready[0], &planted, 1) == 1;
        close(ready[0]);
        return started;
    }

    // Ends the attacker, by its pid.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    // Writes a fresh file of the attacker's own; false when it cannot.
    bool plant(const std::string &own) const {
        const int fd = open(own.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        const bool written =
            write(fd, content_.data(), content_.size()) == ssize_t(content_.size());
        close(fd);
        return written;
    }

    [[noreturn]] void attack(int ready_fd) {
        const std::string own = "planted-" + std::to_string(getpid());
        // The parent learns whether the attacker can work at all: a closed pipe says no.
        if (!plant(own)) _exit(3);
        const char planted = 'p';
        (void)!write(ready_fd, &planted, 1);
        close(ready_fd);
        for (;;) {
            std::vector<std::string> targets = names_;
            for (const std::string &dir : watched_dirs_) {
                if (DIR *stream = opendir(dir.c_str())) {
                    while (const dirent *entry = readdir(stream))
                        targets.push_back(dir + "/" + entry->d_name);
                    closedir(stream);
                }
            }
            // Only a file someone else made there is worth replacing: one of the attacker's own
            // already is in place, and keeping the name taken would only stop every rewrite.
            const uid_t self = getuid();
            for (const std::string &target : targets) {
                struct stat status {};
                if (lstat(target.c_str(), &status) != 0 || status.st_uid == self) continue;
                if (plant(own)) (void)rename(own.c_str(), target.c_str());
            }
        }
    }

    std::string work_dir_;
    std::vector<std::string> names_;
    std::vector<std::string> watched_dirs_;
    std::string content_;
    pid_t pid_ = -1;
};

} // namespace tvn_test
