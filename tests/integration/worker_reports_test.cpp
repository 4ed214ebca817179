// How workers report to the master and how the master reaps them: a stranger on the host can
// neither reach the reports nor move a count, and a worker that dies without reporting still
// frees its slot and its share of the counts.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "child_guard.h"
#include "client_session.h"
#include "server_processes.h"

namespace {

using namespace tvn_test;
using tvn_client::connect_request;

server_options with_test_modules(const std::string &server_lines = "") {
    server_options options;
    options.modules = {"test_auth_module.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    return options;
}

std::vector<pid_t> sorted(std::vector<pid_t> pids) {
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Everything of the server a stranger could aim reports at.
struct report_targets {
    std::vector<int> queues;                        // System V queues its processes use
    std::vector<std::string> socket_names;          // its Unix sockets that have a name
    std::vector<std::pair<pid_t, int>> descriptors; // every descriptor its processes hold
};

report_targets targets_of(const test_server &server) {
    std::vector<pid_t> everyone = server.workers();
    everyone.push_back(server.pid());
    report_targets targets;
    targets.queues = message_queues_of(everyone);
    std::set<unsigned long> inodes;
    for (pid_t pid : everyone) {
        for (const auto &[fd, target] : descriptors_of(pid))
            targets.descriptors.push_back({pid, fd});
        const auto own = socket_inodes_of(pid);
        inodes.insert(own.begin(), own.end());
    }
    targets.socket_names = unix_socket_names(inodes);
    return targets;
}

// Datagrams a forger would try: the report layouts it might guess, naming the victim, and
// random bytes of every size around them.
std::vector<std::string> forged_datagrams(pid_t victim) {
    std::vector<std::string> forged;
    for (uint32_t kind : {1u, 1u, 1u, 1u, 1u, 2u}) {
        std::string record(22, '\0');
        std::memcpy(record.data(), &kind, 4);
        forged.push_back(record);
        const uint32_t old_layout[2] = {kind, uint32_t(victim)};
        forged.emplace_back(reinterpret_cast<const char *>(old_layout), sizeof old_layout);
    }
    std::mt19937 random(20240611);
    for (size_t size = 0; size < 40; ++size) {
        std::string bytes(size, '\0');
        for (char &byte : bytes) byte = char(random());
        forged.push_back(bytes);
    }
    return forged;
}

// Run as the stranger: posts forged reports at every target it can get hold of. Returns how
// many of the server's channels it reached.
int post_everywhere(const report_targets &targets, pid_t victim) {
    const auto forged = forged_datagrams(victim);
    int reached = 0;
    for (int queue : targets.queues) {
        struct {
            long type;
            uint32_t kind;
            uint32_t pid;
        } report{4, 1, uint32_t(victim)};
        for (uint32_t kind : {1u, 1u, 1u, 1u, 1u, 2u}) {
            report.kind = kind;
            if (msgsnd(queue, &report, 8, IPC_NOWAIT) == 0) ++reached;
        }
    }
    const int datagram = socket(AF_UNIX, SOCK_DGRAM, 0);
    for (const auto &name : targets.socket_names) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, name.c_str(), sizeof address.sun_path - 1);
        if (name[0] == '@') address.sun_path[0] = '\0';
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
        for (const auto &bytes : forged)
            if (sendto(datagram, bytes.data(), bytes.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr *>(&address), length) >= 0)
                ++reached;
    }
    close(datagram);
    for (const auto &[pid, fd] : targets.descriptors) {
        int stolen = open(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(),
                          O_WRONLY | O_NONBLOCK);
        if (stolen < 0) {
            const int handle = int(syscall(SYS_pidfd_open, pid, 0));
            if (handle >= 0) {
                stolen = int(syscall(SYS_pidfd_getfd, handle, fd, 0));
                close(handle);
            }
        }
        if (stolen < 0) continue;
        ++reached;
        for (const auto &bytes : forged) send(stolen, bytes.data(), bytes.size(), MSG_DONTWAIT);
        close(stolen);
    }
    return reached;
}

TEST(worker_reports, a_stranger_reaches_no_report_channel_and_moves_no_count) {
    if (getuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    const uid_t stranger_uid = nobody->pw_uid;
    const gid_t stranger_gid = nobody->pw_gid;
    test_server server(with_test_modules("MaxConcurrentUsers 5\n"));
    ASSERT_TRUE(server.running()) << server.output();
    auto session = logged_in(server);
    pid_t victim = -1;
    ASSERT_TRUE(
        wait_until([&] { return (victim = serving_worker(server, session.fd())) > 0; }, 10s));
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s)); // counted
    const auto before = sorted(server.workers());

    const report_targets targets = targets_of(server);
    EXPECT_EQ(targets.queues, std::vector<int>{}) << "the server uses a message queue";
    EXPECT_EQ(targets.socket_names, std::vector<std::string>{}) << "a server socket has a name";
    ASSERT_FALSE(targets.descriptors.empty());
    auto stranger = fork_child([&] {
        const gid_t group = stranger_gid;
        if (setgroups(1, &group) != 0 || setgid(stranger_gid) != 0 || setuid(stranger_uid) != 0)
            return 100;
        return std::min(post_everywhere(targets, victim), 99);
    });
    EXPECT_EQ(stranger.wait_exit(20s), 0) << "channels of the server the stranger reached";

    // No worker was started or released, and the victim still serves its session.
    EXPECT_FALSE(wait_until([&] { return sorted(server.workers()) != before; }, 2s));
    EXPECT_EQ(exchange(session, connect_request("tester@test", "secret")).status(), BAD_REQUEST);
    session.close();
    // Released and reaped only once its own report has given its connection back.
    ASSERT_TRUE(wait_until([&] { return !is_child_of(server.pid(), victim); }, 10s));

    // The counts are exact: five sessions are served and a sixth is refused.
    std::vector<tvn_client::connection> sessions;
    for (int i = 0; i < 5; ++i) sessions.push_back(logged_in(server));
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 10; }, 10s));
    auto sixth = connect_to(server);
    EXPECT_TRUE(closed_without_answer(sixth, connect_request("tester@test", "secret")));
}

TEST(worker_reports, killed_serving_workers_free_their_slots_and_counts) {
    test_server server(with_test_modules("MaxConcurrentUsers 2\n"));
    const pid_t master = server.pid();
    auto first = logged_in(server);
    auto second = logged_in(server);
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 7; }, 10s)); // both counted
    const pid_t first_worker = serving_worker(server, first.fd());
    const pid_t second_worker = serving_worker(server, second.fd());
    ASSERT_GT(first_worker, 0);
    ASSERT_GT(second_worker, 0);
    ASSERT_NE(first_worker, second_worker);

    ASSERT_EQ(kill(first_worker, SIGKILL), 0);
    ASSERT_EQ(kill(second_worker, SIGKILL), 0);
    EXPECT_TRUE(first.wait_closed(ANSWER_TIMEOUT));
    EXPECT_TRUE(second.wait_closed(ANSWER_TIMEOUT));
    // Reaped, not left as zombies; five idle workers stand ready.
    EXPECT_TRUE(wait_until(
        [&] { return !is_child_of(master, first_worker) && !is_child_of(master, second_worker); },
        10s));
    EXPECT_EQ(zombie_children_of(master), std::vector<pid_t>{});
    EXPECT_EQ(server.workers().size(), 5u);

    // Their share of the busy count went with them; the limit itself still holds.
    auto third = logged_in(server);
    auto fourth = logged_in(server);
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 7; }, 10s));
    auto fifth = connect_to(server);
    EXPECT_TRUE(closed_without_answer(fifth, connect_request("tester@test", "secret")));
}

TEST(worker_reports, killed_idle_workers_are_reaped_and_replaced) {
    test_server server(with_test_modules());
    const pid_t master = server.pid();
    const auto idle = server.workers();
    ASSERT_EQ(idle.size(), 5u);
    for (pid_t worker : idle) ASSERT_EQ(kill(worker, SIGKILL), 0);
    auto replaced = [&] {
        const auto now = server.workers();
        return now.size() == 5 && zombie_children_of(master).empty() &&
               std::none_of(idle.begin(), idle.end(),
                            [&](pid_t old) { return is_child_of(master, old); });
    };
    EXPECT_TRUE(wait_until(replaced, 10s)) << server.workers().size() << " workers";
    auto connection = logged_in(server);
    EXPECT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s));
}

TEST(worker_reports, workers_that_end_while_the_master_is_paused_are_all_reaped) {
    test_server server(with_test_modules());
    const pid_t master = server.pid();
    const auto idle = server.workers();
    ASSERT_EQ(idle.size(), 5u);
    stopped_process paused(master);
    ASSERT_TRUE(paused.stopped());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kill(idle[size_t(i)], SIGKILL), 0);
    // Three ends, and at most one pending SIGCHLD to tell of them.
    ASSERT_TRUE(wait_until([&] { return zombie_children_of(master).size() == 3; }, 10s));
    paused.resume();
    EXPECT_TRUE(wait_until(
        [&] { return zombie_children_of(master).empty() && server.workers().size() == 5; }, 10s))
        << zombie_children_of(master).size() << " zombies";
    auto connection = logged_in(server);
}

uid_t uid_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Uid:", 0) == 0) return uid_t(std::stoul(line.substr(4)));
    return uid_t(-1);
}

TEST(worker_reports, a_restricted_server_counts_reaps_and_stops_as_its_own_user) {
    if (getuid() != 0) GTEST_SKIP() << "switching to the restricted user needs root";
    const passwd *nobody = getpwnam("nobody");
    const group *nobody_group = nobody != nullptr ? getgrgid(nobody->pw_gid) : nullptr;
    if (nobody_group == nullptr) GTEST_SKIP() << "no user nobody with a group";
    const uid_t run_uid = nobody->pw_uid;
    server_options options = with_test_modules(
        "MaxConcurrentUsers 1\nRestricted Enabled\nRestrictedUser nobody\nRestrictedGroup " +
        std::string(nobody_group->gr_name) + "\n");
    options.start = false;
    test_server server(options);
    // The accept lock and the journal are made after the switch.
    ASSERT_EQ(chmod(server.root().path().c_str(), 0755), 0);
    ASSERT_EQ(chown(server.root().file("log").c_str(), run_uid, nobody->pw_gid), 0);
    ASSERT_TRUE(server.start()) << server.output();
    const pid_t master = server.pid();
    EXPECT_EQ(uid_of(master), run_uid);

    auto first = logged_in(server);
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s)); // counted
    const auto before = server.workers();
    auto second = connect_to(server);
    EXPECT_TRUE(closed_without_answer(second, connect_request("tester@test", "secret")));
    const pid_t serving = serving_worker(server, first.fd());
    ASSERT_GT(serving, 0);
    ASSERT_EQ(kill(serving, SIGKILL), 0);
    EXPECT_TRUE(first.wait_closed(ANSWER_TIMEOUT));
    // The killed worker and the one that refused the second are both reaped.
    EXPECT_TRUE(wait_until([&] { return still_children(master, before) == 4; }, 10s));
    EXPECT_TRUE(wait_until([&] { return server.workers().size() == 5; }, 10s));
    auto third = logged_in(server); // the killed worker's connection is no longer counted

    const auto workers = server.workers();
    EXPECT_EQ(server.stop(SIGINT), 0);
    for (pid_t worker : workers) EXPECT_NE(kill(worker, 0), 0) << "worker " << worker << " left";
    EXPECT_FALSE(shared_area_of(master));
}

} // namespace
