// The launcher: argument checks, detaching, the PID and output files, loading the library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "server_root.h"
#include "test_server.h"

namespace {

using tvn_test::launched_server;
using tvn_test::run_command;
using tvn_test::temp_root;
using namespace std::chrono_literals;

const std::string USAGE = "\ntvn: usage: tvn [-d work_directory]\n";

TEST(launcher, rejected_arguments_print_the_usage_and_exit_255) {
    temp_root root;
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{TVN_BINARY, "-d"},
          std::vector<std::string>{TVN_BINARY, "-d", root.path(), "extra"},
          std::vector<std::string>{TVN_BINARY, "-x", root.path()},
          std::vector<std::string>{TVN_BINARY, root.path(), "-d"}}) {
        auto result = run_command(args);
        EXPECT_EQ(result.exit_status, 255) << args.size();
        EXPECT_EQ(result.output, USAGE);
    }
}

TEST(launcher, a_missing_directory_is_named_before_the_usage) {
    auto result = run_command({TVN_BINARY, "-d", "/nonexistent/tvn-root"});
    EXPECT_EQ(result.exit_status, 255);
    EXPECT_EQ(result.output, "The directory /nonexistent/tvn-root must exist\n" + USAGE);
}

TEST(launcher, starts_a_daemon_that_writes_its_pid_without_newline) {
    temp_root root;
    root.install_server_library();
    root.write_config(tvn_test::loopback_server_section());
    launched_server server(root);
    ASSERT_TRUE(server.start()) << root.output();
    EXPECT_EQ(server.launcher_status(), 0);
    const std::string pid_text = root.read_file("log/tolvane.pid");
    EXPECT_EQ(pid_text, std::to_string(server.pid()));
    EXPECT_EQ(getsid(server.pid()), server.pid()); // leads a session of its own
    EXPECT_EQ(server.stop(SIGINT), 0);
    EXPECT_TRUE(root.exists("log/tolvane.pid")); // left in place after the stop
}

TEST(launcher, an_option_written_dfoo_is_accepted_and_a_trailing_slash_is_added) {
    temp_root root;
    root.install_server_library();
    root.write_config(tvn_test::loopback_server_section());
    std::string without_slash = root.path().substr(0, root.path().size() - 1);
    tvn_test::become_subreaper();
    auto result = run_command({TVN_BINARY, "-dfoo", without_slash});
    EXPECT_EQ(result.exit_status, 0);
    ASSERT_TRUE(tvn_test::wait_until([&] { return tvn_test::read_pid_file(root) > 0; }, 10s));
    pid_t pid = tvn_test::read_pid_file(root);
    ASSERT_TRUE(tvn_test::wait_until([&] { return tvn_test::catches_signal(pid, SIGINT); }, 10s));
    kill(pid, SIGINT);
    EXPECT_EQ(tvn_test::wait_for_exit(pid, 20s), 0);
    EXPECT_NE(root.output().find("... done\n\n"), std::string::npos);
}

TEST(launcher, a_root_without_log_reports_success_to_the_shell_and_ends_with_1) {
    temp_root root;
    std::filesystem::remove_all(root.file("log"));
    tvn_test::become_subreaper();
    auto result = run_command({TVN_BINARY, "-d", root.path()});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(tvn_test::wait_for_exit(-1, 10s), 1); // the detached process
}

TEST(launcher, a_missing_server_library_is_reported_in_the_output_file) {
    temp_root root;
    root.write_file("log/tolvane.output", "left from an earlier run\n");
    tvn_test::become_subreaper();
    EXPECT_EQ(run_command({TVN_BINARY, "-d", root.path()}).exit_status, 0);
    EXPECT_EQ(tvn_test::wait_for_exit(-1, 10s), 0);
    EXPECT_EQ(root.output(), "Can't load " + root.path() + "lib/tolvane.so\n\n");
}

TEST(launcher, an_existing_file_is_accepted_as_the_directory) {
    temp_root root;
    root.write_file("plainfile", "x");
    tvn_test::become_subreaper();
    // The file passes the check; the daemon then cannot open plainfile/log/... and ends with 1.
    EXPECT_EQ(run_command({TVN_BINARY, "-d", root.file("plainfile")}).exit_status, 0);
    EXPECT_EQ(tvn_test::wait_for_exit(-1, 10s), 1);
}

} // namespace
