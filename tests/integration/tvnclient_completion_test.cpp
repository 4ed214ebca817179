// TAB in tvnclient's shell at a terminal: remote names listed once per directory and kept
// until a command of the shell changes the directory, local names for lcd and put.
#include <gtest/gtest.h>

#include <filesystem>

#include "tolvane/protocol.h"
#include "tvnclient_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

class tvnclient_completion_test : public tvnclient_fixture {
protected:
    void SetUp() override {
#ifndef TVNCLIENT_EDITS_LINES
        GTEST_SKIP() << "tvnclient is built without libedit: its shell has no completion";
#endif
        write_file(area("Public/hello.txt"), "hello");
        fs::create_directory(area("Public/help"));
        write_file(area("Public/help/inside.txt"), "inside");
        fs::create_directory(local("subdir"));
        write_file(local("sub.txt"), "local");
    }

    // The shell at a terminal, logged in and showing its first prompt.
    std::unique_ptr<client_process> start_shell() {
        client_settings at_terminal = settings({"shell"});
        at_terminal.terminal = true;
        at_terminal.environment.push_back("TERM=dumb");
        auto shell = std::make_unique<client_process>(at_terminal);
        EXPECT_TRUE(shell->wait_for([&] { return contains(shell->out(), "tvn:/> "); }))
            << shell->out();
        return shell;
    }

    // Types `text` and waits until the terminal shows `shown` after what it showed before.
    static bool type(client_process &shell, const std::string &text, const std::string &shown) {
        const std::size_t from = shell.out().size();
        shell.send(text);
        return shell.wait_for([&] { return shell.out().find(shown, from) != std::string::npos; });
    }

    static bool contains(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(tvnclient_completion_test, remote_names_are_listed_once_per_directory_until_a_change) {
    const std::size_t before = journal_size();
    auto shell = start_shell();
    // The root's names are known without asking.
    ASSERT_TRUE(type(*shell, "ls /Pu\t", "ls /Public/")) << shell->out();
    // Two names begin with "he", and agree as far as "hel".
    ASSERT_TRUE(type(*shell, "he\t", "ls /Public/hel")) << shell->out();
    ASSERT_TRUE(type(*shell, "\t", "hello.txt  help/")) << shell->out();
    ASSERT_TRUE(type(*shell, "p\t", "ls /Public/help/")) << shell->out();
    ASSERT_TRUE(type(*shell, "\n", "inside.txt")) << shell->out();
    // The shell's own change makes /Public's names stale: the next TAB lists it again.
    ASSERT_TRUE(type(*shell, "mkdir /Public/hello-dir\n", "tvn:/> ")) << shell->out();
    ASSERT_TRUE(type(*shell, "ls /Public/hel\t", "hello-dir/  hello.txt   help/")) << shell->out();
    ASSERT_TRUE(type(*shell, "lo-\t", "ls /Public/hello-dir/")) << shell->out();
    ASSERT_TRUE(type(*shell, "\n", "tvn:/> ")) << shell->out();
    shell->send("exit\n");
    EXPECT_EQ(shell->wait_exit(), 0) << shell->out();
    // /Public listed for TAB twice (before and after mkdir), and the two ls commands.
    const std::vector<int> methods = journal_methods(before);
    EXPECT_EQ(count_of(methods, GETDIR), 4u) << testing::PrintToString(methods);
    EXPECT_EQ(count_of(methods, MKDIR), 1u);
}

TEST_F(tvnclient_completion_test, lcd_completes_local_directories_and_put_local_files) {
    auto shell = start_shell();
    // lcd wants a directory: of subdir/ and sub.txt only one fits.
    ASSERT_TRUE(type(*shell, "lcd su\t", "lcd subdir/")) << shell->out();
    ASSERT_TRUE(type(*shell, "\n", "tvn:/> ")) << shell->out();
    ASSERT_TRUE(type(*shell, "lcd ..\n", "tvn:/> ")) << shell->out();
    // put's first operand is local, its second remote.
    ASSERT_TRUE(type(*shell, "put sub.\t", "put sub.txt ")) << shell->out();
    ASSERT_TRUE(type(*shell, "/Pub\t", "put sub.txt /Public/")) << shell->out();
    ASSERT_TRUE(type(*shell, "\n", "tvn:/> ")) << shell->out();
    shell->send("exit\n");
    EXPECT_EQ(shell->wait_exit(), 0) << shell->out();
    EXPECT_EQ(read_file(area("Public/sub.txt")), "local");
}

TEST_F(tvnclient_completion_test, names_with_blanks_are_completed_quoted) {
    fs::create_directory(area("Public/two words"));
    write_file(area("Public/two words/it's.txt"), "quoted");
    auto shell = start_shell();
    ASSERT_TRUE(type(*shell, "cd /Public/tw\t", "cd /Public/two\\ words/")) << shell->out();
    ASSERT_TRUE(type(*shell, "\n", "tvn:/Public/two words> ")) << shell->out();
    ASSERT_TRUE(type(*shell, "get 'i\t", "get 'it'\\''s.txt' ")) << shell->out();
    ASSERT_TRUE(type(*shell, "\n", "tvn:/Public/two words> ")) << shell->out();
    shell->send("exit\n");
    EXPECT_EQ(shell->wait_exit(), 0) << shell->out();
    EXPECT_EQ(read_file(local("it's.txt")), "quoted");
}

} // namespace
