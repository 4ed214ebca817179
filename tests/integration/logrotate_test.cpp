// The installed logrotate file, run by logrotate on a test server's root: the journal is
// rotated, the master is told with SIGHUP and writes the next session into a new file, and a
// PID file left behind by a server that ended signals nobody.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "child_guard.h"
#include "client_session.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;

std::string text_of(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool have_logrotate() {
    return run_command({"/bin/sh", "-c", "command -v logrotate"}).exit_status == 0;
}

// The built logrotate file with the configured server root replaced by root (its path without
// the trailing "/"), written into the root's conf/ with a state file beside it.
struct logrotate_run {
    std::string config;
    std::string state;
};

logrotate_run logrotate_for(const temp_root &root) {
    std::string text = text_of(TVN_LOGROTATE_FILE);
    const std::string configured = TVN_CONFIGURED_SERVER_ROOT;
    const std::string here = root.path().substr(0, root.path().size() - 1);
    for (size_t at = text.find(configured); at != std::string::npos;
         at = text.find(configured, at + here.size()))
        text.replace(at, configured.size(), here);
    root.write_file("conf/logrotate.conf", text);
    chmod(root.file("conf/logrotate.conf").c_str(), 0644);
    return {root.file("conf/logrotate.conf"), root.file("conf/logrotate.state")};
}

command_result rotate(const logrotate_run &run) {
    return run_command({"/bin/sh", "-c",
                        "exec logrotate --force --state '" + run.state + "' '" + run.config + "'"});
}

server_options journalled_server() {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "journal.so"};
    options.module_sections = "<module mod_log>\n"
                              "    <VirtualDomain everyone>\n"
                              "        LoggingFile log/journal.log\n"
                              "        LogConnection yes\n"
                              "        LogGetdir yes\n"
                              "    </VirtualDomain>\n"
                              "</module>\n";
    return options;
}

// One session that lists /; returns once its lines can be in the journal.
void one_session(const test_server &server) {
    auto session = logged_in(server);
    EXPECT_EQ(exchange(session, tvn_client::getdir_request("/")).status(), OK);
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST(logrotate, the_journal_is_rotated_and_the_master_writes_on_into_a_new_file) {
    if (!have_logrotate()) GTEST_SKIP() << "logrotate is not installed";
    test_server server(journalled_server());
    ASSERT_TRUE(server.running()) << server.output();
    const temp_root &root = server.root();
    one_session(server);
    ASSERT_TRUE(wait_until(
        [&] { return count_of(root.read_file("log/journal.log"), "GETDIR") == 1; }, 10s));

    const command_result rotated = rotate(logrotate_for(root));
    ASSERT_EQ(rotated.exit_status, 0) << rotated.output;
    // The rotated file keeps the first session, uncompressed until the next rotation.
    EXPECT_EQ(count_of(root.read_file("log/journal.log.1"), "GETDIR"), 1u);
    EXPECT_FALSE(root.exists("log/journal.log.1.gz"));

    // The master reopened its file on SIGHUP: the next session lands in a new journal.log.
    one_session(server);
    EXPECT_TRUE(wait_until(
        [&] { return count_of(root.read_file("log/journal.log"), "GETDIR") == 1; }, 10s))
        << root.read_file("log/journal.log");
    EXPECT_EQ(count_of(root.read_file("log/journal.log.1"), "GETDIR"), 1u);
    EXPECT_EQ(kill(server.pid(), 0), 0);
}

TEST(logrotate, a_pid_file_left_behind_signals_nobody) {
    if (!have_logrotate()) GTEST_SKIP() << "logrotate is not installed";
    temp_root root;
    root.write_file("log/journal.log", "a line of an earlier run\n");
    // A process that now holds the pid the file names, and that SIGHUP would end.
    child_guard stranger(fork());
    if (stranger.pid() == 0) {
        signal(SIGHUP, SIG_DFL);
        for (;;) pause();
    }
    root.write_file("log/tolvane.pid", std::to_string(stranger.pid()));

    const command_result rotated = rotate(logrotate_for(root));
    EXPECT_EQ(rotated.exit_status, 0) << rotated.output;
    EXPECT_TRUE(root.exists("log/journal.log.1"));
    EXPECT_FALSE(root.exists("log/journal.log")); // the server makes the new file itself
    EXPECT_EQ(wait_for_exit(stranger.pid(), 200ms), -1); // still running
    EXPECT_NE(process_state_of(stranger.pid()), 'Z');
    EXPECT_EQ(kill(stranger.pid(), 0), 0);
}

} // namespace
