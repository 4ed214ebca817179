// The server as a service: stop signals, a master that dies, a second start on the same root,
// a relative root, IPv6 listeners and the lines that say where the server listens.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "client_session.h"
#include "server_processes.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;

server_options with_test_modules(const std::string &lines = "") {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "test_logger_module.so"};
    options.server_lines = lines;
    return options;
}

// Shared memory segments whose creator is pid (the server's status area).
int segments_created_by(pid_t pid) {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line); // the header
    int count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string key, id, perms, size, cpid;
        fields >> key >> id >> perms >> size >> cpid;
        if (cpid == std::to_string(pid)) ++count;
    }
    return count;
}

TEST(service_lifecycle, sigterm_stops_the_server_with_nothing_left_behind) {
    test_server server(with_test_modules());
    auto session = logged_in(server);
    const pid_t master = server.pid();
    const std::vector<pid_t> workers = server.workers();
    ASSERT_FALSE(workers.empty());
    EXPECT_EQ(server.stop(SIGTERM), 0);
    EXPECT_NE(server.output().find("... done\n\n"), std::string::npos);
    for (pid_t worker : workers) EXPECT_NE(kill(worker, 0), 0) << worker;
    EXPECT_EQ(segments_created_by(master), 0);
    EXPECT_TRUE(session.wait_closed(5s));
}

TEST(service_lifecycle, sighup_leaves_the_server_serving) {
    test_server server(with_test_modules());
    ASSERT_TRUE(wait_until([&] { return catches_signal(server.pid(), SIGHUP); }, 5s));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    auto session = logged_in(server);
    EXPECT_EQ(exchange(session, tvn_client::getdir_request("/")).status(), OK);
    EXPECT_EQ(kill(server.pid(), 0), 0);
}

TEST(service_lifecycle, no_worker_outlives_a_killed_master_and_a_transfer_in_service_finishes) {
    test_server server(with_test_modules());
    const std::string big(3 << 20, 'z');
    std::ofstream(server.root().file("home/Public/big")) << big;
    auto session = logged_in(server);
    tvn_client::answer opened =
        exchange(session, tvn_client::open_request("/Public/big", TVN_OPEN_READ));
    ASSERT_EQ(opened.status(), OK);
    const std::vector<pid_t> workers = server.workers();
    ASSERT_EQ(kill(server.pid(), SIGKILL), 0);
    pid_t reaped = 0;
    wait_for_exit(server.pid(), 5s, &reaped); // the test adopted the daemon: it reaps it
    ASSERT_EQ(reaped, server.pid());
    // The session in service goes on and reads the whole file.
    std::string read;
    for (int32_t at = 0; at < int32_t(big.size()); at += 500000) {
        tvn_client::answer part =
            exchange(session, tvn_client::read_request(*opened.param_u32(4), at, 500000));
        ASSERT_EQ(part.status(), OK);
        read.append(part.body().begin(), part.body().end());
    }
    EXPECT_EQ(read, big);
    session.close();
    // Within a few ticks every worker has ended (the test adopted them with the master gone,
    // so it reaps them) and nothing takes connections any more.
    for (pid_t worker : workers) {
        pid_t reaped_worker = 0;
        wait_for_exit(worker, 10s, &reaped_worker);
        EXPECT_EQ(reaped_worker, worker);
    }
    EXPECT_FALSE(port_listening(server.port()));
}

TEST(service_lifecycle, a_second_start_leaves_the_running_server_and_its_pid_file_alone) {
    test_server server(with_test_modules());
    const std::string pid_text = server.root().read_file("log/tolvane.pid");
    const std::string output_before = server.output();
    // The output is read to its end: the detached second launcher's own line is in it.
    const command_result second = run_command({TVN_BINARY, "-d", server.root().path()});
    EXPECT_EQ(second.exit_status, 0); // the shell sees 0 at once, as always
    EXPECT_NE(second.output.find("already running"), std::string::npos) << second.output;
    EXPECT_NE(second.output.find("(pid " + pid_text + ")"), std::string::npos) << second.output;
    EXPECT_EQ(server.root().read_file("log/tolvane.pid"), pid_text);
    EXPECT_EQ(server.output(), output_before);
    auto session = logged_in(server);
    EXPECT_EQ(exchange(session, tvn_client::getdir_request("/")).status(), OK);
}

TEST(service_lifecycle, a_relative_root_works) {
    temp_root root;
    root.install_server_library();
    root.write_config(loopback_server_section());
    const fs::path root_path(root.path());
    const fs::path parent = root_path.parent_path().parent_path();
    const std::string relative = root_path.parent_path().filename().string();
    const fs::path before = fs::current_path();
    fs::current_path(parent);
    become_subreaper();
    const command_result started = run_command({TVN_BINARY, "-d", relative});
    fs::current_path(before);
    EXPECT_EQ(started.exit_status, 0);
    ASSERT_TRUE(wait_until([&] { return read_pid_file(root) > 0; }, 10s)) << root.output();
    const pid_t pid = read_pid_file(root);
    EXPECT_TRUE(wait_until(
        [&] { return root.output().find("listening on 127.0.0.1:") != std::string::npos; }, 10s))
        << root.output();
    kill(pid, SIGINT);
    EXPECT_EQ(wait_for_exit(pid, 20s), 0);
}

TEST(service_lifecycle,
     an_ipv6_loopback_listener_serves_a_session_and_every_listener_is_announced) {
    test_server server(with_test_modules("AddIpAddress ::1\n"));
    const std::string port = std::to_string(server.port());
    EXPECT_NE(server.output().find("listening on 127.0.0.1:" + port + "\n"), std::string::npos);
    EXPECT_NE(server.output().find("listening on [::1]:" + port + "\n"), std::string::npos);
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(server.port());
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    tvn_client::connection session(fd);
    EXPECT_EQ(exchange(session, tvn_client::connect_request("tester@test", "secret")).status(), OK);
    EXPECT_EQ(exchange(session, tvn_client::getdir_request("/")).status(), OK);
}

// What ps shows of a process: its command line with the NULs as blanks.
std::string command_line(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char &c : text)
        if (c == '\0') c = ' ';
    return text;
}

TEST(service_lifecycle, processes_say_what_they_do_in_their_titles) {
    test_server server(with_test_modules());
    EXPECT_EQ(command_line(server.pid()), "tvn: master " + server.root().path());
    auto session = logged_in(server, 0, "guest");
    EXPECT_EQ(exchange(session, tvn_client::getdir_request("/")).status(), OK);
    std::string serving;
    ASSERT_TRUE(wait_until(
        [&] {
            for (pid_t worker : server.workers())
                if (command_line(worker).find("guest tester@test") != std::string::npos)
                    serving = command_line(worker);
            return !serving.empty();
        },
        5s));
    EXPECT_EQ(serving.rfind("tvn: 127.0.0.1 since ", 0), 0u) << serving;
    EXPECT_NE(serving.find(" GETDIR guest tester@test"), std::string::npos) << serving;
    int waiting = 0;
    for (pid_t worker : server.workers()) waiting += command_line(worker) == "tvn: waiting";
    EXPECT_GE(waiting, 1);
}

TEST(service_lifecycle, bad_addresses_and_ports_stop_the_start_with_their_messages) {
    struct row {
        const char *lines;
        const char *message;
    };
    const row rows[] = {
        {"AddIpAddress localhost\n", "ip address localhost not valid"},
        {"AddIpAddress 1.2.3.4:70\n", "ip address 1.2.3.4:70 not valid"},
        {"ServerPort 70000\n", "ServerPort 70000 is not a port number (1 to 65535)"},
    };
    for (const row &r : rows) {
        temp_root root;
        root.install_server_library();
        root.write_config(std::string("<Server>\n") + r.lines + "</Server>\n");
        launched_server server(root);
        server.start();
        EXPECT_EQ(server.wait_exit(), 1) << r.lines;
        EXPECT_NE(root.output().find(r.message), std::string::npos) << root.output();
        EXPECT_NE(root.output().find("Error configuring the server. I can't go on!"),
                  std::string::npos);
    }
}

} // namespace
