// The process model: pre-forked workers, the accept lock, stopping, the connection limit and
// a worker that switched identity. How workers report and are reaped: worker_reports_test.cpp.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "client_session.h"
#include "server_processes.h"

namespace {

using namespace tvn_test;

// POSIX locks of /proc/locks held or awaited by the given processes: {held, waiting}.
std::pair<int, int> accept_lock_users(const std::vector<pid_t> &pids) {
    std::ifstream locks("/proc/locks");
    int held = 0, waiting = 0;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, arrow, kind;
        fields >> id >> arrow;
        bool blocked = arrow == "->";
        if (blocked)
            fields >> kind;
        else
            kind = arrow;
        std::string advisory, mode;
        pid_t pid = 0;
        fields >> advisory >> mode >> pid;
        if (kind != "POSIX" || std::find(pids.begin(), pids.end(), pid) == pids.end()) continue;
        (blocked ? waiting : held)++;
    }
    return {held, waiting};
}

uid_t uid_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Uid:", 0) == 0) return uid_t(std::stoul(line.substr(4)));
    return uid_t(-1);
}

server_options with_test_modules(const std::string &server_lines = "") {
    server_options options;
    options.modules = {"test_auth_module.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    return options;
}

TEST(process_model, five_workers_stand_ready_and_one_waits_at_the_sockets) {
    test_server server;
    ASSERT_TRUE(server.running()) << server.output();
    const auto workers = server.workers();
    EXPECT_EQ(workers.size(), 5u);
    std::pair<int, int> users;
    EXPECT_TRUE(
        wait_until([&] { return (users = accept_lock_users(workers)) == std::pair(1, 4); }, 10s))
        << users.first << " holding, " << users.second << " waiting";
}

TEST(process_model, an_accepted_connection_brings_one_more_worker) {
    test_server server(with_test_modules());
    auto connection = logged_in(server);
    EXPECT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s));
    connection.close();
    // The served worker is released and reaped; five stay ready.
    EXPECT_TRUE(wait_until([&] { return server.workers().size() == 5; }, 10s));
}

TEST(process_model, sigint_stops_everything_and_leaves_nothing_behind) {
    test_server server(with_test_modules());
    { auto connection = logged_in(server); } // so that workers have reported
    wait_journal(server.root(), 2);
    const pid_t master = server.pid();
    EXPECT_TRUE(shared_area_of(master));
    auto busy = logged_in(server);
    const auto workers = server.workers();
    std::vector<pid_t> everyone = workers;
    everyone.push_back(master);
    EXPECT_EQ(message_queues_of(everyone), std::vector<int>{}) << "reports go over no queue";
    EXPECT_EQ(server.stop(SIGINT), 0);
    for (pid_t worker : workers) EXPECT_NE(kill(worker, 0), 0) << "worker " << worker << " left";
    EXPECT_FALSE(shared_area_of(master));
    EXPECT_TRUE(busy.wait_closed(ANSWER_TIMEOUT));
    const std::string out = server.output();
    EXPECT_NE(out.find("\n\nShutting down 'tolvane server'...\n\n... done\n\n"), std::string::npos)
        << out;
}

TEST(process_model, sigquit_drains_for_eight_empty_polls_before_stopping) {
    test_server server(with_test_modules());
    auto served = logged_in(server);
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s));
    const auto workers = server.workers();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(SIGQUIT), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 8s);
    // Waiting and serving workers alike are gone, reaped by the master.
    for (pid_t worker : workers) EXPECT_NE(kill(worker, 0), 0) << "worker " << worker << " left";
    EXPECT_TRUE(served.wait_closed(ANSWER_TIMEOUT));
    EXPECT_NE(server.output().find("... done\n\n"), std::string::npos);
}

TEST(process_model, a_second_server_on_the_same_port_fails_to_bind) {
    test_server first;
    ASSERT_TRUE(first.running());
    temp_root root;
    root.install_server_library();
    root.write_config("<Server>\nAddIpAddress 127.0.0.1\nServerPort " +
                      std::to_string(first.port()) + "\n</Server>\n");
    launched_server second(root);
    second.start();
    EXPECT_EQ(second.wait_exit(), 0); // os_main returns, the normal shutdown follows
    const std::string out = root.output();
    EXPECT_NE(out.find("\nKeep Attention: the address is already in use, I can't go on.\n\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("... done\n\n"), std::string::npos);
}

TEST(process_model, connections_over_the_limit_are_closed_without_an_answer) {
    test_server server(with_test_modules("MaxConcurrentUsers 1\n"));
    auto first = logged_in(server);
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s)); // counted
    const auto before = server.workers(); // the first's worker and the one that will refuse
    auto second = connect_to(server);
    EXPECT_TRUE(
        closed_without_answer(second, tvn_client::connect_request("tester@test", "secret")));
    first.close();
    // Both are reaped only after their reports gave their connections back. (A count of five
    // workers would be no sign: a listing of /proc can miss a worker forked while it is read.)
    ASSERT_TRUE(wait_until([&] { return still_children(server.pid(), before) == 4; }, 10s));
    auto third = logged_in(server); // the limit counts connections in service only
}

TEST(process_model, a_worker_that_switched_identity_still_reports_and_is_reaped) {
    if (getuid() != 0) GTEST_SKIP() << "switching identity needs root";
    test_server server(with_test_modules());
    server.root().write_file("conf/test_auth", "switch\n");
    const auto before = server.workers();
    auto connection = logged_in(server);
    pid_t serving = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            for (pid_t worker : server.workers())
                if (uid_of(worker) == getpwnam("nobody")->pw_uid) serving = worker;
            return serving > 0;
        },
        10s));
    connection.close();
    EXPECT_TRUE(wait_until([&] { return kill(serving, 0) != 0; }, 10s)) << "worker not reaped";
    EXPECT_TRUE(wait_until([&] { return server.workers().size() == 5; }, 10s));
}

} // namespace
