// tvnclient's shell, terminal and password handling end to end: the shell driven through a
// pipe, keep-alive packets, a server that goes away, the password prompt, the progress bar
// and password changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>

#include "client_session.h"
#include "tvnclient_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

class tvnclient_shell_test : public tvnclient_fixture {};

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::string proc_file(pid_t pid, const char *name) {
    return read_file("/proc/" + std::to_string(pid) + "/" + name);
}

// True when the process has ended (gone, or a zombie whose descriptors are closed).
bool process_gone(pid_t pid) {
    const std::string stat = proc_file(pid, "stat");
    const std::size_t close_paren = stat.rfind(')');
    return close_paren == std::string::npos || stat.compare(close_paren + 1, 3, " Z ") == 0;
}

// ---- the shell through a pipe ---------------------------------------------------------------

TEST_F(tvnclient_shell_test, a_script_piped_into_the_shell_runs_command_after_command) {
    write_file(local("notes.txt"), "remember\n");
    fs::create_directory(local("down"));
    const std::string script =
        "# comment lines and blank lines are skipped\n"
        "\n"
        "cd /Public\n"
        "pwd\n"
        "put notes.txt\n"
        "mkdir 'two words'\n"
        "ls\n"
        "cd \"two words\"\n"
        "put notes.txt copy.txt\n"
        "pwd\n"
        "cd /Public/none\n"
        "lcd down\n"
        "get copy.txt\n"
        "exit\n"
        "mkdir /Public/after-exit\n";
    client_result shell = run({"shell"}, "secret", script);
    EXPECT_EQ(shell.status, 3); // the last command that failed: cd to a missing directory
    EXPECT_EQ(shell.out, "/Public\nnotes.txt\ntwo words/\n/Public/two words\n");
    EXPECT_EQ(shell.err, "tvnclient: /Public/none: not found\n");
    EXPECT_EQ(read_file(area("Public/notes.txt")), "remember\n");
    EXPECT_EQ(read_file(area("Public/two words/copy.txt")), "remember\n");
    EXPECT_EQ(read_file(local("down/copy.txt")), "remember\n");
    EXPECT_FALSE(fs::exists(area("Public/after-exit")));
}

TEST_F(tvnclient_shell_test, the_shell_exits_with_0_at_the_end_of_its_input) {
    client_result shell = run({"shell"}, "secret", "pwd\nhelp ls\n");
    EXPECT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out.rfind("/\nNAME\n    tvnclient ls - ", 0), 0u);
    EXPECT_EQ(shell.err, "");
}

TEST_F(tvnclient_shell_test, the_shell_ends_when_the_server_closes_the_connection) {
    write_file(area("Public/a"), "a");
    client_process shell(settings({"shell"}));
    shell.send("ls /Public\n");
    ASSERT_TRUE(shell.wait_for([&] { return shell.out() == "a\n"; }));
    const std::vector<pid_t> workers = server.workers();
    ASSERT_EQ(server.stop(SIGINT), 0);
    // The master kills its workers as it ends; the shell's connection is closed once the
    // one that served it is gone.
    ASSERT_TRUE(
        wait_until([&] { return std::all_of(workers.begin(), workers.end(), process_gone); }, 10s));
    shell.send("ls /Public\nmkdir /Public/never\n");
    EXPECT_EQ(shell.wait_exit(), 6);
    EXPECT_EQ(shell.err(), "tvnclient: server closed the connection\n");
    EXPECT_FALSE(fs::exists(area("Public/never")));
    EXPECT_EQ(shell.out(), "a\n");
}

// ---- keep-alive -----------------------------------------------------------------------------

// The server announces a keep-alive interval of 1 second and drops a connection that stays
// silent for 2.
class tvnclient_keepalive_test : public tvnclient_fixture {
protected:
    tvnclient_keepalive_test()
            : tvnclient_fixture(client_server_options("    ConnectionKeepalive 1\n"
                                                      "    ConnectionKeepaliveTimeout 2\n")) {}
};

TEST_F(tvnclient_keepalive_test, an_idle_shell_keeps_its_session_while_a_silent_client_is_dropped) {
    write_file(area("Public/a"), "a");
    client_process shell(settings({"shell"}));
    shell.send("ls /Public\n");
    ASSERT_TRUE(shell.wait_for([&] { return shell.out() == "a\n"; }));
    // A connection that says nothing after its login is dropped; the shell, idle for as
    // long, is not.
    tvn_client::connection silent = logged_in(server);
    EXPECT_TRUE(silent.wait_closed(10s));
    shell.send("ls /Public\nexit\n");
    EXPECT_EQ(shell.wait_exit(), 0) << shell.err();
    EXPECT_EQ(shell.out(), "a\na\n");
    EXPECT_EQ(shell.err(), "");
}

// ---- the password ---------------------------------------------------------------------------

TEST_F(tvnclient_shell_test, the_password_is_never_in_the_process_list) {
    client_process shell(settings({"shell"}));
    shell.send("pwd\n");
    ASSERT_TRUE(shell.wait_for([&] { return shell.out() == "/\n"; }));
    const std::string command_line = proc_file(shell.pid(), "cmdline");
    const std::string environment = proc_file(shell.pid(), "environ");
    EXPECT_TRUE(contains(command_line, "shell"));
    EXPECT_TRUE(contains(environment, "TZ=UTC"));
    EXPECT_FALSE(contains(command_line, "secret"));
    EXPECT_FALSE(contains(environment, "secret"));
    EXPECT_FALSE(contains(environment, "TVN_PASSWORD=s"));
    shell.close_input();
    EXPECT_EQ(shell.wait_exit(), 0);
}

TEST_F(tvnclient_shell_test, a_password_typed_at_the_terminal_is_not_echoed) {
    client_settings typed = settings({"shell"}, "");
    typed.terminal = true;
    client_process shell(typed);
    ASSERT_TRUE(
        shell.wait_for([&] { return contains(shell.out(), "Password for tester@test: "); }));
    shell.send("secret\n");
    ASSERT_TRUE(shell.wait_for([&] { return contains(shell.out(), "tvn:/> "); })) << shell.out();
    shell.send("cd /Public\n");
    ASSERT_TRUE(shell.wait_for([&] { return contains(shell.out(), "tvn:/Public> "); }))
        << shell.out();
    shell.send("exit\n");
    EXPECT_EQ(shell.wait_exit(), 0);
    EXPECT_FALSE(contains(shell.out(), "secret"));
}

TEST_F(tvnclient_shell_test, passwd_changes_a_password_and_ends_the_session) {
    client_settings change = settings({"passwd", "--guest"});
    change.environment.push_back("TVN_NEW_PASSWORD=fresh");
    const std::size_t before = journal_size();
    client_result changed = run_client(change);
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_EQ(changed.out, "guest password changed; the server ended the session\n");
    const std::vector<std::string> lines = wait_journal(server.root(), before + 1);
    ASSERT_GT(lines.size(), before);
    EXPECT_EQ(lines[before], "16 1 tester []");

    client_settings wrong = settings({"passwd"}, "guest");
    wrong.environment.push_back("TVN_NEW_PASSWORD=fresh");
    client_result refused = run_client(wrong);
    EXPECT_EQ(refused.status, 5);
    EXPECT_EQ(refused.err,
              "tvnclient: tester@test: password not changed: wrong password, or this "
              "login may not change it\n");

    client_settings too_long = settings({"passwd"});
    too_long.environment.push_back("TVN_NEW_PASSWORD=seventeen-letters");
    EXPECT_EQ(run_client(too_long).status, 2);

    // In the shell, passwd is the last command.
    client_settings in_shell = settings({"shell"});
    in_shell.environment.push_back("TVN_NEW_PASSWORD=fresh");
    client_result shell = run_client(in_shell, "passwd\nmkdir /Private/after\n");
    EXPECT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out, "owner password changed; the server ended the session\n");
    EXPECT_FALSE(fs::exists(area("Private/after")));
}

// ---- the progress bar -----------------------------------------------------------------------

// Opens a FIFO for writing once its reader has opened it; -1 at the time-out.
int open_fifo_writer(const std::string &path) {
    int fd = -1;
    wait_until([&] { return (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
               10s);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Sends a FIFO's contents with put: the test decides when the data come, so the transfer
// takes longer than the second after which a bar appears. Returns what the client printed.
std::string output_of_slow_put(const std::string &fifo_path, client_settings settings,
                               bool terminal) {
    settings.terminal = terminal;
    client_process client(settings);
    const int fifo = open_fifo_writer(fifo_path);
    EXPECT_GE(fifo, 0);
    const std::string part(600000, 'p');
    EXPECT_EQ(write(fifo, part.data(), part.size()), ssize_t(part.size()));
    // Nothing to wait for here but time itself: the bar appears after a second.
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(write(fifo, part.data(), part.size()), ssize_t(part.size()));
    close(fifo);
    EXPECT_EQ(client.wait_exit(), 0) << client.out() << client.err();
    return client.out() + client.err();
}

TEST_F(tvnclient_shell_test, a_slow_transfer_shows_a_progress_bar_on_a_terminal_only) {
    // A client that dies must fail the test, not end it with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    const std::string fifo = local("stream");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const client_settings put = settings({"put", "stream", "/Private/streamed"});
    const std::string on_terminal = output_of_slow_put(fifo, put, true);
    EXPECT_TRUE(contains(on_terminal, "\rstreamed  1.1 MiB  ")) << on_terminal;
    EXPECT_TRUE(contains(on_terminal, "/s  in 0:0")) << on_terminal;
    EXPECT_EQ(read_file(area("Private/streamed")), std::string(1200000, 'p'));

    EXPECT_EQ(output_of_slow_put(fifo, put, false), "");
    client_settings quiet = settings({"-q", "put", "stream", "/Private/streamed"});
    EXPECT_EQ(output_of_slow_put(fifo, quiet, true), "");
}

} // namespace
