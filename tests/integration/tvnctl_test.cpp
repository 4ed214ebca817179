// tvnctl end to end, on temporary roots with real servers: start and stop (with and without
// draining), failed starts and their reasons, a configuration check with line numbers, the
// status of a server with sessions in service, stale PID files, and the foreground run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "child_guard.h"
#include "client_session.h"
#include "working_directory.h"

namespace {

using namespace tvn_test;

command_result tvnctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TVNCTL_BINARY);
    return run_command(arguments);
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::string title_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.substr(0, text.find('\0'));
}

// Gone, or ended and waiting to be reaped.
bool gone(pid_t pid) {
    const char state = process_state_of(pid);
    return state == 0 || state == 'Z';
}

server_options test_modules(const std::string &server_lines = "") {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    options.start = false;
    return options;
}

// A root laid out for a server that tvnctl starts (nothing is started here). A server still
// running on it at the end is stopped by the pid in its PID file, when that is its master.
class tvnctl_root {
public:
    explicit tvnctl_root(const server_options &options = test_modules()) : server_(options) {
        become_subreaper(); // the started servers are adopted, and reaped here
    }
    ~tvnctl_root() {
        const pid_t pid = read_pid_file(root());
        if (pid <= 0) return;
        if (title_of(pid) == "tvn: master " + root().path()) kill(pid, SIGINT);
        wait_for_exit(pid, 20s);
    }
    tvnctl_root(const tvnctl_root &) = delete;
    tvnctl_root &operator=(const tvnctl_root &) = delete;

    test_server &server() { return server_; }
    const temp_root &root() { return server_.root(); }
    const std::string &path() { return server_.root().path(); }
    uint16_t port() const { return server_.port(); }
    std::string listening_line() const {
        return "listening on 127.0.0.1:" + std::to_string(server_.port());
    }
    pid_t master() { return read_pid_file(root()); }

private:
    test_server server_;
};

// A socket listening on 127.0.0.1:port, closed with the guard.
class port_taker {
public:
    explicit port_taker(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        taken_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                 listen(fd_, 1) == 0;
    }
    ~port_taker() { close(fd_); }
    bool taken() const { return taken_; }

private:
    int fd_;
    bool taken_ = false;
};

// "tvnctl run ROOT" in a child of the test, its standard output and error in files of the
// root (not in the server's output file).
class foreground_server {
public:
    explicit foreground_server(const temp_root &root) : root_(root), child_(spawn(root)) {}
    pid_t pid() const { return child_.pid(); }
    std::string stdout_text() const { return root_.read_file("run.stdout"); }
    std::string stderr_text() const { return root_.read_file("run.stderr"); }
    int wait_exit(std::chrono::milliseconds timeout) { return child_.wait_exit(timeout); }

private:
    static child_guard spawn(const temp_root &root) {
        const std::string out = root.file("run.stdout"), err = root.file("run.stderr");
        const std::string root_path = root.path();
        return fork_child([&] {
            const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            execl(TVNCTL_BINARY, TVNCTL_BINARY, "run", root_path.c_str(), nullptr);
            return 127;
        });
    }

    const temp_root &root_;
    child_guard child_;
};

// ---- start and stop -------------------------------------------------------------------------

TEST(tvnctl, start_prints_where_the_server_listens_and_stop_ends_its_master_and_workers) {
    tvnctl_root root;
    const command_result started = tvnctl({"start", root.path()});
    ASSERT_EQ(started.exit_status, 0) << started.output;
    EXPECT_TRUE(contains(started.output, root.listening_line() + "\n")) << started.output;
    EXPECT_TRUE(port_listening(root.port()));
    const pid_t master = root.master();
    EXPECT_EQ(title_of(master), "tvn: master " + root.path());
    ASSERT_TRUE(wait_until([&] { return children_of(master).size() >= 5; }, 10s));
    const std::vector<pid_t> workers = children_of(master);

    const command_result stopped = tvnctl({"stop", root.path()});
    EXPECT_EQ(stopped.exit_status, 0) << stopped.output;
    EXPECT_TRUE(gone(master));
    for (pid_t worker : workers) EXPECT_TRUE(gone(worker)) << "worker " << worker;
    EXPECT_FALSE(port_listening(root.port()));
    EXPECT_TRUE(contains(root.root().output(), "... done\n")) << root.root().output();
}

TEST(tvnctl, a_relative_root_names_the_same_server) {
    tvnctl_root root;
    const std::string parent =
        root.path().substr(0, root.path().rfind('/', root.path().size() - 2));
    const std::string name = root.path().substr(parent.size() + 1);
    working_directory here(parent);
    ASSERT_TRUE(here.entered());
    const command_result started = tvnctl({"start", name});
    ASSERT_EQ(started.exit_status, 0) << started.output;
    EXPECT_EQ(title_of(root.master()), "tvn: master " + root.path());
    EXPECT_EQ(tvnctl({"status", name}).exit_status, 0);
    EXPECT_EQ(tvnctl({"stop", name}).exit_status, 0);
}

TEST(tvnctl, a_second_start_names_the_running_server_and_leaves_it_alone) {
    tvnctl_root root;
    ASSERT_EQ(tvnctl({"start", root.path()}).exit_status, 0);
    const pid_t master = root.master();
    const std::string output_before = root.root().output();

    const command_result again = tvnctl({"start", root.path()});
    EXPECT_EQ(again.exit_status, 1);
    EXPECT_TRUE(contains(again.output, "already running on " + root.path() + " (pid " +
                                           std::to_string(master) + ")"))
        << again.output;
    EXPECT_FALSE(gone(master));
    EXPECT_EQ(root.master(), master);
    EXPECT_EQ(root.root().output(), output_before);
    EXPECT_TRUE(port_listening(root.port()));
}

TEST(tvnctl, a_start_with_a_bad_configuration_fails_with_the_servers_reason) {
    tvnctl_root root(test_modules("    Bogus 1\n"));
    const command_result started = tvnctl({"start", root.path()});
    EXPECT_EQ(started.exit_status, 1);
    EXPECT_TRUE(contains(started.output,
                         "\nUnknown field Bogus, control your server configuration file\n"
                         "Error configuring the server. I can't go on!\n"))
        << started.output;
    EXPECT_TRUE(gone(root.master()));
}

TEST(tvnctl, a_start_on_a_port_in_use_fails_with_the_reason) {
    tvnctl_root root;
    port_taker taken(root.port());
    ASSERT_TRUE(taken.taken());
    const command_result started = tvnctl({"start", root.path()});
    EXPECT_EQ(started.exit_status, 1);
    EXPECT_TRUE(
        contains(started.output, "Keep Attention: the address is already in use, I can't go on.\n"))
        << started.output;
    EXPECT_TRUE(
        contains(started.output, "Can't listen on 127.0.0.1:" + std::to_string(root.port()) + ": "))
        << started.output;
    EXPECT_FALSE(contains(started.output, "listening on")) << started.output;
    EXPECT_TRUE(gone(root.master()));
}

TEST(tvnctl, stop_drain_lets_the_sessions_end_before_the_master_stops) {
    tvnctl_root root;
    ASSERT_EQ(tvnctl({"start", root.path()}).exit_status, 0);
    const pid_t master = root.master();
    auto session = logged_in(root.server());
    ASSERT_TRUE(wait_until([&] { return children_of(master).size() >= 6; }, 10s));
    const std::vector<pid_t> workers = children_of(master);

    const auto begun = std::chrono::steady_clock::now();
    const command_result stopped = tvnctl({"stop", "--drain", root.path()});
    EXPECT_EQ(stopped.exit_status, 0) << stopped.output;
    // Only the draining stop spends its eight empty polls before the rest is killed.
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 8s);
    EXPECT_TRUE(gone(master));
    for (pid_t worker : workers) EXPECT_TRUE(gone(worker)) << "worker " << worker;
    EXPECT_TRUE(session.wait_closed(ANSWER_TIMEOUT));
}

TEST(tvnctl, stop_gives_up_after_its_time_out_while_the_master_does_not_end) {
    tvnctl_root root;
    ASSERT_EQ(tvnctl({"start", root.path()}).exit_status, 0);
    const pid_t master = root.master();
    {
        stopped_process paused(master);
        ASSERT_TRUE(paused.stopped());
        const command_result stopped = tvnctl({"stop", "--timeout", "1", root.path()});
        EXPECT_EQ(stopped.exit_status, 1);
        EXPECT_TRUE(contains(stopped.output, "has not stopped within 1 s: its master runs"))
            << stopped.output;
    }
    // Continued, the master takes the signal it was sent and stops.
    EXPECT_EQ(wait_for_exit(master, 20s), 0);
}

TEST(tvnctl, start_gives_up_after_its_time_out_and_reports_a_launcher_that_failed) {
    tvnctl_root root;
    // A launcher whose detached process never takes the root.
    const std::string idle_launcher = root.root().file("idle-launcher");
    root.root().write_file("idle-launcher",
                           "#!/bin/sh\nsleep 30 </dev/null >/dev/null 2>&1 &\necho $! > " +
                               root.root().file("idle.pid") + "\n");
    chmod(idle_launcher.c_str(), 0755);
    const command_result idle =
        tvnctl({"start", "--timeout", "1", "--tvn", idle_launcher, root.path()});
    const pid_t sleeper = pid_t(std::stol("0" + root.root().read_file("idle.pid")));
    if (sleeper > 0 && kill(sleeper, SIGKILL) == 0) wait_for_exit(sleeper, 5s); // adopted here
    EXPECT_EQ(idle.exit_status, 1);
    EXPECT_TRUE(contains(idle.output, "does not listen after 1 s")) << idle.output;

    const std::string failing_launcher = root.root().file("failing-launcher");
    root.root().write_file("failing-launcher", "#!/bin/sh\nexit 3\n");
    chmod(failing_launcher.c_str(), 0755);
    const command_result failed = tvnctl({"start", "--tvn", failing_launcher, root.path()});
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_TRUE(contains(failed.output, "failed (exit status 3)")) << failed.output;
}

TEST(tvnctl, stop_without_a_server_says_so_and_fails) {
    tvnctl_root root;
    const command_result stopped = tvnctl({"stop", root.path()});
    EXPECT_EQ(stopped.exit_status, 1);
    EXPECT_TRUE(contains(stopped.output, "no server is running on " + root.path()))
        << stopped.output;
}

// ---- stale PID files --------------------------------------------------------------------------

TEST(tvnctl, a_pid_file_naming_another_process_is_reported_and_that_process_not_signalled) {
    tvnctl_root root;
    // A process that any stop signal would end.
    child_guard bystander = fork_child([] {
        for (;;) pause();
        return 0;
    });
    root.root().write_file("log/tolvane.pid", std::to_string(bystander.pid()));
    for (const std::vector<std::string> &words :
         {std::vector<std::string>{"stop", root.path()}, {"stop", "--drain", root.path()}}) {
        const command_result stopped = tvnctl(words);
        EXPECT_EQ(stopped.exit_status, 1);
        EXPECT_TRUE(contains(stopped.output, "names process " + std::to_string(bystander.pid()) +
                                                 ", which is not the master of " + root.path()))
            << stopped.output;
        EXPECT_TRUE(contains(stopped.output, "nothing was signalled")) << stopped.output;
    }
    EXPECT_EQ(tvnctl({"status", root.path()}).exit_status, 3);
    EXPECT_EQ(process_state_of(bystander.pid()), 'S');
    EXPECT_TRUE(
        contains(root.root().read_file("log/tolvane.pid"), std::to_string(bystander.pid())));
}

TEST(tvnctl, a_pid_file_naming_an_ended_process_is_reported_as_stale) {
    tvnctl_root root;
    child_guard ended = fork_child([] { return 0; });
    const pid_t pid = ended.pid();
    ASSERT_EQ(ended.wait_exit(10s), 0);
    root.root().write_file("log/tolvane.pid", std::to_string(pid));
    const command_result stopped = tvnctl({"stop", root.path()});
    EXPECT_EQ(stopped.exit_status, 1);
    EXPECT_TRUE(
        contains(stopped.output, "names process " + std::to_string(pid) + ", which has ended"))
        << stopped.output;
}

// ---- check ------------------------------------------------------------------------------------

struct check_case {
    const char *name;
    std::vector<std::string> modules;
    std::string server_lines;    // after the three lines <Server>, AddIpAddress, ServerPort
    std::string module_sections; // after the Server section
    std::string expected;        // with @ROOT@ for the root
};

// The configuration: line 1 "<Server>", 2 AddIpAddress, 3 ServerPort, then the server lines,
// one LoadModule line per module, "</Server>" and the module sections.
const std::vector<check_case> &check_cases() {
    static const std::vector<check_case> rows{
        {"an_unknown_key_of_the_server_section",
         {"pathmap.so"},
         "    Bogus 1\n",
         "",
         "conf/tolvane.conf:4: Unknown field Bogus, control your server configuration file\n"},
        {"a_second_port_line_by_its_value",
         {},
         "    ListenBacklog 5\n    ServerPort 0\n",
         "",
         "conf/tolvane.conf:5: ServerPort 0 is not a port number (1 to 65535)\n"},
        {"a_missing_module_library",
         {"pathmap.so"},
         "    LoadModule nosuch.so\n",
         "",
         "conf/tolvane.conf:4: Can't load congiguration lib @ROOT@lib/nosuch.so\n"},
        {"an_invalid_value_of_the_list_account_section",
         {"listacct.so"},
         "",
         "<module mod_virtual_users>\n"        // 6
         "    <VirtualDomain test>\n"          // 7
         "        PasswdFile @ROOT@users.db\n" // 8
         "        EnableDomain maybe\n"        // 9
         "    </VirtualDomain>\n"
         "</module>\n",
         "conf/tolvane.conf:9: Invalid value maybe  for EnableDomain\n"},
        {"an_unknown_key_of_the_journal_section",
         {"pathmap.so", "journal.so"},
         "",
         "<module mod_log>\n"                    // 7
         "    <VirtualDomain all>\n"             // 8
         "        LoggingFile log/journal.log\n" // 9
         "        LogEverything\n"               // 10
         "    </VirtualDomain>\n"
         "</module>\n",
         "conf/tolvane.conf:10: Unknown field LogEverything\n"},
        {"a_module_without_its_section_on_its_loadmodule_line",
         {"pathmap.so", "journal.so"},
         "",
         "",
         "conf/tolvane.conf:5: I can't find <module mod_log> section, I can't go on\n"},
    };
    return rows;
}

// The row's name, in the test's name and its messages.
void PrintTo(const check_case &row, std::ostream *out) { *out << row.name; }

class tvnctl_check : public testing::TestWithParam<check_case> {};

TEST_P(tvnctl_check, names_the_line_of_the_fault_and_fails) {
    const check_case &row = GetParam();
    server_options options;
    options.modules = row.modules;
    options.server_lines = row.server_lines;
    options.module_sections = row.module_sections;
    options.start = false;
    tvnctl_root root(options);
    std::string expected = row.expected;
    for (size_t at = expected.find("@ROOT@"); at != std::string::npos; at = expected.find("@ROOT@"))
        expected.replace(at, 6, root.path());
    const command_result checked = tvnctl({"check", root.path()});
    EXPECT_EQ(checked.exit_status, 1) << checked.output;
    EXPECT_TRUE(contains(checked.output, expected)) << checked.output << "\nconfiguration:\n"
                                                    << root.root().read_file("conf/tolvane.conf");
    EXPECT_FALSE(contains(checked.output, "would start")) << checked.output;
}

INSTANTIATE_TEST_SUITE_P(faults, tvnctl_check, testing::ValuesIn(check_cases()),
                         [](const testing::TestParamInfo<check_case> &info) {
                             return std::string(info.param.name);
                         });

TEST(tvnctl, check_accepts_a_configuration_that_starts_and_prints_its_warnings_without_listening) {
    server_options options;
    options.modules = {"pathmap.so"};
    options.start = false;
    tvnctl_root root(options);
    const command_result checked = tvnctl({"check", root.path()});
    EXPECT_EQ(checked.exit_status, 0) << checked.output;
    EXPECT_TRUE(contains(checked.output, "warning: no account module is loaded")) << checked.output;
    EXPECT_TRUE(contains(checked.output, "conf/tolvane.conf: the server would start\n"))
        << checked.output;
    EXPECT_FALSE(contains(checked.output, "Loading module library")) << checked.output;
    EXPECT_FALSE(port_listening(root.port()));
    EXPECT_FALSE(root.root().exists("log/tolvane.pid"));
}

// ---- status -----------------------------------------------------------------------------------

TEST(tvnctl, status_shows_the_master_and_each_session_with_its_login) {
    tvnctl_root root;
    ASSERT_EQ(tvnctl({"start", root.path()}).exit_status, 0);
    const pid_t master = root.master();
    auto owner = logged_in(root.server());
    auto guest = logged_in(root.server(), 0, "guest");
    auto anonymous = connect_to(root.server());

    const std::regex busy("workers: [0-9]+ idle, 3 busy\n");
    command_result status;
    const bool all_shown = wait_until(
        [&] {
            status = tvnctl({"status", root.path()});
            return std::regex_search(status.output, busy) &&
                   contains(status.output, "tester@test (owner)") &&
                   contains(status.output, "tester@test (guest)") &&
                   contains(status.output, "(logging in)");
        },
        10s);
    EXPECT_TRUE(all_shown) << status.output;
    EXPECT_EQ(status.exit_status, 0);
    EXPECT_TRUE(contains(status.output, "running: master pid " + std::to_string(master) + ", up "))
        << status.output;
    // One line per connection, each with its client and the request in service.
    const std::regex owner_line(
        "\n  127\\.0\\.0\\.1 +tester@test \\(owner\\) +"
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}  CONNECT\n");
    const std::regex guest_line(
        "\n  127\\.0\\.0\\.1 +tester@test \\(guest\\) +[0-9-]+ [0-9:]+  "
        "CONNECT\n");
    const std::regex login_line("\n  127\\.0\\.0\\.1 +\\(logging in\\) +[0-9-]+ [0-9:]+  login\n");
    EXPECT_TRUE(std::regex_search(status.output, owner_line)) << status.output;
    EXPECT_TRUE(std::regex_search(status.output, guest_line)) << status.output;
    EXPECT_TRUE(std::regex_search(status.output, login_line)) << status.output;
}

TEST(tvnctl, status_without_a_server_says_so_with_status_3) {
    tvnctl_root root;
    const command_result status = tvnctl({"status", root.path()});
    EXPECT_EQ(status.exit_status, 3);
    EXPECT_TRUE(contains(status.output, "tolvane is not running on " + root.path()))
        << status.output;
}

// ---- run --------------------------------------------------------------------------------------

TEST(tvnctl, run_serves_in_the_foreground_as_the_master_and_exits_0_on_sigterm) {
    tvnctl_root root;
    foreground_server run(root.root());
    ASSERT_TRUE(wait_until([&] { return contains(run.stdout_text(), root.listening_line()); }, 10s))
        << run.stdout_text() << run.stderr_text();
    // No fork: the process itself is the master, named in the PID file and the process list.
    EXPECT_EQ(root.master(), run.pid());
    EXPECT_EQ(title_of(run.pid()), "tvn: master " + root.path());
    EXPECT_FALSE(root.root().exists("log/tolvane.output"));
    ASSERT_TRUE(wait_until([&] { return children_of(run.pid()).size() >= 5; }, 10s));
    const std::vector<pid_t> workers = children_of(run.pid());
    const command_result status = tvnctl({"status", root.path()});
    EXPECT_TRUE(contains(status.output, "master pid " + std::to_string(run.pid())))
        << status.output;

    ASSERT_EQ(kill(run.pid(), SIGTERM), 0);
    EXPECT_EQ(run.wait_exit(20s), 0);
    EXPECT_TRUE(contains(run.stdout_text(), "... done\n")) << run.stdout_text();
    for (pid_t worker : workers) EXPECT_TRUE(gone(worker)) << "worker " << worker;
}

TEST(tvnctl, stop_ends_a_server_run_in_the_foreground) {
    tvnctl_root root;
    foreground_server run(root.root());
    ASSERT_TRUE(wait_until([&] { return contains(run.stdout_text(), root.listening_line()); }, 10s))
        << run.stdout_text() << run.stderr_text();
    const command_result stopped = tvnctl({"stop", root.path()});
    EXPECT_EQ(stopped.exit_status, 0) << stopped.output;
    EXPECT_EQ(run.wait_exit(10s), 0);
}

TEST(tvnctl, run_with_a_bad_configuration_exits_1_with_the_reason_on_its_output) {
    tvnctl_root root(test_modules("    Bogus 1\n"));
    foreground_server run(root.root());
    EXPECT_EQ(run.wait_exit(10s), 1);
    EXPECT_TRUE(
        contains(run.stdout_text(), "Unknown field Bogus, control your server configuration file"))
        << run.stdout_text();
}

TEST(tvnctl, run_on_a_port_in_use_exits_1) {
    tvnctl_root root;
    port_taker taken(root.port());
    ASSERT_TRUE(taken.taken());
    foreground_server run(root.root());
    EXPECT_EQ(run.wait_exit(10s), 1);
    EXPECT_TRUE(contains(run.stdout_text(), "Keep Attention: the address is already in use"))
        << run.stdout_text();
}

TEST(tvnctl, run_leaves_a_running_server_alone) {
    tvnctl_root root;
    ASSERT_EQ(tvnctl({"start", root.path()}).exit_status, 0);
    const pid_t master = root.master();
    foreground_server run(root.root());
    EXPECT_EQ(run.wait_exit(10s), 1);
    EXPECT_TRUE(contains(run.stderr_text(), "already running on " + root.path() + " (pid " +
                                                std::to_string(master) + ")"))
        << run.stderr_text();
    EXPECT_EQ(root.master(), master);
    EXPECT_FALSE(gone(master));
}

// ---- the command line -------------------------------------------------------------------------

TEST(tvnctl, a_wrong_command_line_prints_one_usage_line_and_exits_2) {
    for (const std::vector<std::string> &words : std::vector<std::vector<std::string>>{
             {}, {"restart"}, {"start", "--drain"}, {"status", "--bogus"}, {"stop", "--timeout"}}) {
        const command_result result = tvnctl(words);
        EXPECT_EQ(result.exit_status, 2) << result.output;
        EXPECT_TRUE(contains(result.output, "usage: tvnctl ")) << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    }
}

TEST(tvnctl, help_and_version_come_before_anything_else) {
    const command_result version = tvnctl({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_TRUE(std::regex_match(version.output, std::regex("tvnctl [0-9]+\\.[0-9]+\n")))
        << version.output;
#ifdef TVN_VERSION
    EXPECT_EQ(version.output, std::string("tvnctl ") + TVN_VERSION + "\n");
#endif
    // Even after a command that would fail on this root.
    const command_result help = tvnctl({"stop", "--help", "/nonexistent/root"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_TRUE(contains(help.output, "Usage: tvnctl COMMAND")) << help.output;
}

} // namespace
