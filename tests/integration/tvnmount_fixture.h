// The tvnmount tests' fixture: a real server with the test account (tester@test, owner
// password "secret", guest password "guest", areas ROOT/home/{Private,Public,Web}) and
// tvnmount running in the foreground as a child of the test, mounted on a fresh directory.
// Every mount is unmounted by its guard, also when the test fails (fusermount3 -u, then -uz),
// and the tvnmount process is ended and reaped.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "child_guard.h"
#include "test_server.h"

namespace tvn_test::mount {

// Why mounting cannot be tested here (no /dev/fuse, no fusermount3, not root), or empty.
std::string mount_unavailable();

// A fresh directory under /tmp, removed (when empty of mounts) with everything in it.
class scratch_directory {
public:
    explicit scratch_directory(const std::string &prefix = "tvnmount-test");
    ~scratch_directory();
    scratch_directory(const scratch_directory &) = delete;
    scratch_directory &operator=(const scratch_directory &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// True when `directory` is a mount point of this process's namespace.
bool is_mounted(const std::string &directory);
// fusermount3 -u, then -uz when the mount stays (busy); true when it is gone.
bool unmount(const std::string &directory);

struct mount_settings {
    uint16_t port = 0;
    std::string password = "secret";
    std::vector<std::string> options; // more tvnmount options
};

// tvnmount -f on its own mount point, under guard.
class mounted_tvnmount {
public:
    explicit mounted_tvnmount(const mount_settings &settings);
    ~mounted_tvnmount();
    mounted_tvnmount(const mounted_tvnmount &) = delete;
    mounted_tvnmount &operator=(const mounted_tvnmount &) = delete;

    // True once the mount point shows the mount.
    bool mounted() const { return mounted_; }
    // A path under the mount point ("Private/a.txt").
    std::string path(const std::string &relative = "") const;
    const std::string &mount_point() const { return point_.path(); }
    pid_t pid() const { return process_.pid(); }
    // What tvnmount wrote on its standard output and error so far.
    std::string output() const;
    // Unmounts and waits for tvnmount to end: its exit status, or -1.
    int finish();

private:
    scratch_directory point_;
    scratch_directory logs_;
    child_guard process_;
    bool mounted_ = false;
};

// The account's modules, the path mapping and the journal; extra Server lines.
server_options mount_server_options(const std::string &server_lines = "");

class tvnmount_fixture : public ::testing::Test {
protected:
    explicit tvnmount_fixture(const server_options &options = mount_server_options())
            : server(options) {}
    void SetUp() override;

    // Mounts the fixture's server (the owner's login unless told otherwise).
    std::unique_ptr<mounted_tvnmount> mount(const std::vector<std::string> &options = {},
                                            const std::string &password = "secret");
    // A path in the test account's areas on the server's disk ("Public/a.txt").
    std::string area(const std::string &relative) { return server.root().file("home/" + relative); }

    test_server server;
};

// Whole files.
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
// Reproducible noise.
std::string random_bytes(std::size_t size, unsigned seed);
// Runs a program to its end: its exit status and output.
command_result run(const std::vector<std::string> &argv);
// Runs a shell command line.
command_result shell(const std::string &line);

} // namespace tvn_test::mount
