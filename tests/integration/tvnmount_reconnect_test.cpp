// Staying up: a mount idle past the server's limit logs in again on its next use and opens
// its files again by path; keep-alives hold a session with open files; a server that is gone
// gives EIO within the time-out, and the mount finds it again when it is back; a server that
// stops answering gives EIO within the time-out too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "client_session.h"
#include "tvnmount_fixture.h"

namespace tvn_test::mount {
namespace {

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;

// Journal lines of logins that succeeded, and of connections that ended.
std::size_t count_lines(const temp_root &root, const std::string &start) {
    const auto lines = journal_lines(root);
    return std::size_t(std::count_if(lines.begin(), lines.end(),
                                     [&](const std::string &line) { return line.starts_with(start); }));
}
std::size_t logins(const temp_root &root) { return count_lines(root, "1 1 "); }
std::size_t ended(const temp_root &root) { return count_lines(root, "2 "); }

int stat_errno(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? 0 : errno;
}

std::string read_at(int fd, std::size_t size, off_t offset) {
    std::string bytes(size, '\0');
    const ssize_t got = pread(fd, bytes.data(), size, offset);
    bytes.resize(got < 0 ? 0 : std::size_t(got));
    return bytes;
}

// Every cache off, so that each operation asks the server.
const std::vector<std::string> uncached = {"--attr-timeout", "0", "--entry-timeout", "0",
                                           "--no-page-cache"};

class tvnmount_idle : public tvnmount_fixture {
protected:
    // Silent sessions are ended after two seconds.
    tvnmount_idle() : tvnmount_fixture(mount_server_options("    ConnectionKeepaliveTimeout 2\n")) {}
};

TEST_F(tvnmount_idle, a_mount_idle_past_the_servers_limit_logs_in_again_and_reopens_its_files) {
    const std::string content = random_bytes(200000, 3);
    write_file(area("Private/kept.bin"), content);
    const auto mounted = mount(uncached);
    ASSERT_TRUE(mounted->mounted());
    const int fd = ::open(mounted->path("Private/kept.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_at(fd, 1000, 0), content.substr(0, 1000));
    const std::size_t logins_before = logins(server.root());
    // Every session the mount had is over.
    ASSERT_TRUE(wait_until([&] { return ended(server.root()) >= logins(server.root()); }, 15s));

    EXPECT_EQ(read_at(fd, 1000, 150000), content.substr(150000, 1000));
    close(fd);
    EXPECT_EQ(read_file(mounted->path("Private/kept.bin")), content);
    write_file(mounted->path("Private/after.txt"), "after the pause");
    EXPECT_EQ(read_file(area("Private/after.txt")), "after the pause");
    EXPECT_GT(logins(server.root()), logins_before);
}

class tvnmount_keepalive : public tvnmount_fixture {
protected:
    // Clients are asked for a KEEPALIVE every second and dropped after three silent ones.
    tvnmount_keepalive()
            : tvnmount_fixture(mount_server_options(
                  "    ConnectionKeepalive 2\n    ConnectionKeepaliveTimeout 4\n")) {}
};

TEST_F(tvnmount_keepalive, keep_alives_hold_a_session_that_has_files_open) {
    write_file(area("Public/open.txt"), "open");
    const auto mounted = mount(uncached);
    ASSERT_TRUE(mounted->mounted());
    const int fd = ::open(mounted->path("Public/open.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::size_t logins_before = logins(server.root());
    const std::size_t ended_before = ended(server.root());
    // A session that stays silent from now on, as the mount's would without keep-alives:
    // once the server has ended it, the limit has passed for the mount's session as well.
    tvn_client::connection silent = logged_in(server);
    ASSERT_TRUE(silent.wait_closed(15s));
    ASSERT_TRUE(wait_until([&] { return ended(server.root()) > ended_before; }, 5s));
    EXPECT_EQ(read_at(fd, 4, 0), "open");
    close(fd);
    EXPECT_EQ(ended(server.root()), ended_before + 1);
    EXPECT_EQ(logins(server.root()), logins_before + 1);
}

class tvnmount_outage : public tvnmount_fixture {};

TEST_F(tvnmount_outage, a_stopped_server_gives_EIO_and_a_restarted_one_is_found_again) {
    write_file(area("Private/through.txt"), "through the restart");
    std::vector<std::string> options = uncached;
    options.insert(options.end(), {"-t", "3"});
    const auto mounted = mount(options);
    ASSERT_TRUE(mounted->mounted());
    const int fd = ::open(mounted->path("Private/through.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(stat_errno(mounted->path("Private/through.txt")), 0);

    ASSERT_EQ(server.stop(SIGINT), 0);
    const auto started = clock::now();
    EXPECT_EQ(stat_errno(mounted->path("Private/through.txt")), EIO);
    EXPECT_EQ(read_at(fd, 7, 0), "");
    EXPECT_LT(clock::now() - started, 5s);

    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_TRUE(wait_until([&] { return stat_errno(mounted->path("Private/through.txt")) == 0; },
                           10s));
    EXPECT_EQ(read_at(fd, 7, 0), "through");
    close(fd);
    write_file(mounted->path("Private/back.txt"), "back");
    EXPECT_EQ(read_file(area("Private/back.txt")), "back");
}

TEST_F(tvnmount_outage, a_server_that_stops_answering_gives_EIO_within_the_time_out) {
    std::vector<std::string> options = uncached;
    options.insert(options.end(), {"-t", "2"});
    const auto mounted = mount(options);
    ASSERT_TRUE(mounted->mounted());
    ASSERT_EQ(stat_errno(mounted->path("Public")), 0);
    {
        std::vector<std::unique_ptr<stopped_process>> paused;
        paused.push_back(std::make_unique<stopped_process>(server.pid()));
        for (const pid_t worker : server.workers())
            paused.push_back(std::make_unique<stopped_process>(worker));
        for (const auto &process : paused) ASSERT_TRUE(process->stopped());
        const auto started = clock::now();
        EXPECT_EQ(stat_errno(mounted->path("Public/anything")), EIO);
        // The request's time-out, and at most a login's on top.
        EXPECT_LT(clock::now() - started, 6s);
    }
    EXPECT_TRUE(wait_until([&] { return stat_errno(mounted->path("Public")) == 0; }, 15s));
}

} // namespace
} // namespace tvn_test::mount
