// tvnclient's one-shot commands end to end: the built program against a real server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <map>

#include "client_session.h"
#include "tvnclient_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

class tvnclient_test : public tvnclient_fixture {};

constexpr std::size_t chunk = 500000;

// Every file and directory below `root`, by relative path; directories map to "/".
std::map<std::string, std::string> tree_of(const std::string &root) {
    std::map<std::string, std::string> tree;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).string();
        tree[relative] = entry.is_directory() ? "/" : read_file(entry.path().string());
    }
    return tree;
}

void set_mtime(const std::string &path, time_t when) {
    const utimbuf times{when, when};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

// ---- transfers ------------------------------------------------------------------------------

TEST_F(tvnclient_test, a_20_mb_random_file_goes_up_and_comes_back_with_the_same_checksum) {
    const std::string original = random_bytes(20u << 20, 1);
    write_file(local("big.bin"), original);
    const std::size_t before_put = journal_size();
    client_result put = run({"put", "big.bin", "/Private/"});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(put.err, ""); // no progress bar without a terminal
    EXPECT_EQ(checksum(read_file(area("Private/big.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(area("Private/big.bin.tvnpart")));
    // 500000-byte chunks: 42 WRITEs for 20 MiB.
    const std::size_t chunks = (original.size() + chunk - 1) / chunk;
    EXPECT_EQ(count_of(journal_methods(before_put), WRITE), chunks);

    const std::size_t before_get = journal_size();
    client_result get = run({"get", "/Private/big.bin", "back.bin"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.err, "");
    EXPECT_EQ(checksum(read_file(local("back.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(local("back.bin.tvnpart")));
    EXPECT_EQ(count_of(journal_methods(before_get), READ), chunks);
}

TEST_F(tvnclient_test, get_and_put_name_the_file_inside_a_directory_target) {
    write_file(area("Public/hello.txt"), "hello\n");
    fs::create_directory(local("inbox"));
    ASSERT_EQ(run({"get", "/Public/hello.txt", "inbox"}).status, 0);
    EXPECT_EQ(read_file(local("inbox/hello.txt")), "hello\n");
    ASSERT_EQ(run({"get", "/Public/hello.txt"}).status, 0);
    EXPECT_EQ(read_file(local("hello.txt")), "hello\n");
    fs::create_directory(area("Private/docs"));
    ASSERT_EQ(run({"put", "inbox/hello.txt", "/Private/docs"}).status, 0);
    EXPECT_EQ(read_file(area("Private/docs/hello.txt")), "hello\n");
    // A relative remote path starts from "/".
    ASSERT_EQ(run({"put", "hello.txt", "Private/renamed.txt"}).status, 0);
    EXPECT_EQ(read_file(area("Private/renamed.txt")), "hello\n");
}

TEST_F(tvnclient_test, a_replaced_local_file_keeps_its_permissions) {
    write_file(area("Public/data"), "new contents");
    write_file(local("data"), "old");
    ASSERT_EQ(chmod(local("data").c_str(), 0600), 0);
    ASSERT_EQ(run({"get", "/Public/data", "data"}).status, 0);
    EXPECT_EQ(read_file(local("data")), "new contents");
    struct stat status {};
    ASSERT_EQ(stat(local("data").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(tvnclient_test, whole_trees_go_up_and_come_back) {
    fs::create_directories(local("tree/sub/deeper"));
    fs::create_directories(local("tree/empty"));
    write_file(local("tree/a.txt"), "top level\n");
    write_file(local("tree/sub/b.bin"), random_bytes(700000, 2)); // two chunks
    write_file(local("tree/sub/deeper/c.txt"), "");
    client_result put = run({"put", "-r", "tree", "/Public"});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(tree_of(area("Public/tree")), tree_of(local("tree")));

    client_result get = run({"get", "-r", "/Public/tree", "copy"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(tree_of(local("copy")), tree_of(local("tree")));
    // Into an existing directory, the tree keeps its name.
    fs::create_directory(local("existing"));
    ASSERT_EQ(run({"get", "-r", "/Public/tree", "existing"}).status, 0);
    EXPECT_EQ(tree_of(local("existing/tree")), tree_of(local("tree")));
}

TEST_F(tvnclient_test, an_interrupted_download_continues_from_its_local_size) {
    const std::string first = random_bytes(3000000, 3);
    write_file(area("Private/film"), first);
    // The file size limit kills the client (SIGXFSZ) when it writes past 1000000 bytes, as
    // a crash would, in the middle of the download.
    client_settings limited = settings({"get", "/Private/film", "film"});
    limited.file_size_limit = 1000000;
    const client_result killed = run_client(limited);
    EXPECT_EQ(killed.status, 128 + SIGXFSZ);
    EXPECT_FALSE(fs::exists(local("film"))); // never half a file under the final name
    ASSERT_EQ(read_file(local("film.tvnpart")), first.substr(0, 1000000));

    // The remote file's head changes: only a resumed download keeps the old head.
    const std::string second = random_bytes(1000000, 4) + first.substr(1000000);
    write_file(area("Private/film"), second);
    client_result resumed = run({"get", "--continue", "/Private/film", "film"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(read_file(local("film")), first);
    EXPECT_FALSE(fs::exists(local("film.tvnpart")));

    // Without --continue it starts again.
    ASSERT_EQ(run({"get", "/Private/film", "film"}).status, 0);
    EXPECT_EQ(read_file(local("film")), second);
    // A complete file is left alone.
    const std::size_t before = journal_size();
    ASSERT_EQ(run({"get", "-c", "/Private/film", "film"}).status, 0);
    EXPECT_EQ(count_of(journal_methods(before), READ), 0u);
}

// ---- the namespace --------------------------------------------------------------------------

TEST_F(tvnclient_test, cp_copies_on_the_server_without_moving_data) {
    const std::string source = random_bytes(1200000, 5);
    write_file(area("Public/src"), source);
    const std::size_t before = journal_size();
    client_result copied = run({"cp", "/Public/src", "/Private/dst"});
    ASSERT_EQ(copied.status, 0) << copied.err;
    EXPECT_EQ(read_file(area("Private/dst")), source);
    const std::vector<int> methods = journal_methods(before);
    EXPECT_EQ(count_of(methods, COPYFILE), 3u);
    EXPECT_EQ(count_of(methods, READ) + count_of(methods, WRITE), 0u);
    EXPECT_FALSE(fs::exists(area("Private/dst.tvnpart")));

    fs::create_directory(area("Web/site"));
    ASSERT_EQ(run({"cp", "/Public/src", "/Web/site"}).status, 0);
    EXPECT_EQ(read_file(area("Web/site/src")), source);

    client_result missing = run({"cp", "/Public/none", "/Private/dst"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "tvnclient: /Public/none: not found\n");
    EXPECT_EQ(read_file(area("Private/dst")), source);
}

TEST_F(tvnclient_test, mkdir_mv_rm_and_rmdir_change_the_tree) {
    EXPECT_EQ(run({"mkdir", "/Private/new"}).status, 0);
    EXPECT_TRUE(fs::is_directory(area("Private/new")));
    client_result again = run({"mkdir", "/Private/new"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "tvnclient: /Private/new: already exists\n");
    EXPECT_EQ(run({"mkdir", "-p", "/Private/a/b/c", "/Private/new"}).status, 0);
    EXPECT_TRUE(fs::is_directory(area("Private/a/b/c")));

    write_file(area("Public/f"), "moving");
    EXPECT_EQ(run({"mv", "/Public/f", "/Private/new"}).status, 0);
    EXPECT_EQ(read_file(area("Private/new/f")), "moving");
    EXPECT_FALSE(fs::exists(area("Public/f")));
    EXPECT_EQ(run({"mv", "/Private/new/f", "/Private/new/g"}).status, 0);
    EXPECT_EQ(read_file(area("Private/new/g")), "moving");

    client_result full = run({"rm", "/Private/new"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "tvnclient: /Private/new: directory not empty\n");
    client_result not_dir = run({"rmdir", "/Private/new/g"});
    EXPECT_EQ(not_dir.status, 1);
    EXPECT_EQ(not_dir.err, "tvnclient: /Private/new/g: not a directory\n");
    EXPECT_EQ(run({"rm", "/Private/new/g"}).status, 0);
    EXPECT_FALSE(fs::exists(area("Private/new/g")));
    EXPECT_EQ(run({"rmdir", "/Private/new", "/Private/a/b/c"}).status, 0);
    EXPECT_FALSE(fs::exists(area("Private/new")));
    EXPECT_FALSE(fs::exists(area("Private/a/b/c")));
    EXPECT_TRUE(fs::exists(area("Private/a/b")));
}

TEST_F(tvnclient_test, listings_show_names_or_kind_size_time_and_name) {
    write_file(area("Public/a.txt"), "hello");
    fs::create_directory(area("Public/docs"));
    set_mtime(area("Public/a.txt"), 1714564800); // 2024-05-01 12:00 UTC
    set_mtime(area("Public/docs"), 1714638600);  // 2024-05-02 08:30 UTC
    write_file(area("Public/big"), std::string(123456, 'x'));
    set_mtime(area("Public/big"), 1704067200); // 2024-01-01 00:00 UTC

    client_result plain = run({"ls", "/Public"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, "a.txt\nbig\ndocs/\n");
    const std::string long_form =
        "-       5  2024-05-01 12:00  a.txt\n"
        "-  123456  2024-01-01 00:00  big\n"
        "d       -  2024-05-02 08:30  docs/\n";
    EXPECT_EQ(run({"ls", "-l", "/Public"}).out, long_form);
    EXPECT_EQ(run({"-x", "ls", "/Public/"}).out, long_form);
    EXPECT_EQ(run({"ls", "-l", "/Public/a.txt"}).out, "-  5  2024-05-01 12:00  a.txt\n");
    EXPECT_EQ(run({"ls"}).out, "Private/\nPublic/\nWeb/\n");
    EXPECT_EQ(run({"ls", "/Public/docs", "/Web"}).out, "/Public/docs:\n\n/Web:\n");
    EXPECT_EQ(run({"cat", "/Public/a.txt", "/Public/a.txt"}).out, "hellohello");
}

// ---- errors ---------------------------------------------------------------------------------

TEST_F(tvnclient_test, refusals_name_the_path_in_words_with_their_exit_status) {
    fs::create_directories(area("Private/full/inner"));
    write_file(area("Public/a.txt"), "a");
    struct expected {
        std::vector<std::string> arguments;
        int status;
        std::string err;
    };
    const std::vector<expected> cases = {
        {{"get", "/Private/x", "x"}, 3, "tvnclient: /Private/x: not found\n"},
        {{"ls", "/Private/x"}, 3, "tvnclient: /Private/x: not found\n"},
        {{"rm", "/Private/full"}, 1, "tvnclient: /Private/full: directory not empty\n"},
        {{"rm", "/Public"}, 4, "tvnclient: /Public: an area cannot be removed\n"},
        {{"get", "/Private/full", "f"},
         1,
         "tvnclient: /Private/full: is a directory (use -r for a whole tree)\n"},
        {{"get", "/Public/a.txt", "nowhere/a.txt"},
         7,
         "tvnclient: nowhere/a.txt.tvnpart: no such file or directory\n"},
        {{"put", "missing.txt", "/Private/"},
         7,
         "tvnclient: missing.txt: no such file or directory\n"},
    };
    for (const auto &one : cases) {
        client_result result = run(one.arguments);
        EXPECT_EQ(result.status, one.status) << one.arguments[0] << " " << one.arguments[1];
        EXPECT_EQ(result.err, one.err);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(fs::exists(local("f")));
    EXPECT_FALSE(fs::exists(local("f.tvnpart")));
}

TEST_F(tvnclient_test, login_and_connection_failures_have_their_own_statuses) {
    client_result wrong = run({"ls", "/"}, "wrong");
    EXPECT_EQ(wrong.status, 5);
    EXPECT_EQ(wrong.err,
              "tvnclient: tester@test: login refused (wrong user name, domain or password)\n");

    const std::uint16_t closed_port = free_port();
    client_settings nobody = settings({"-p", std::to_string(closed_port), "ls", "/"});
    client_result refused = run_client(nobody);
    EXPECT_EQ(refused.status, 6);
    EXPECT_EQ(refused.err, "tvnclient: 127.0.0.1 port " + std::to_string(closed_port) +
                               ": connection refused\n");

    // A server that takes the connection and never answers.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    client_result silent =
        run_client(settings({"-p", std::to_string(ntohs(address.sin_port)), "-t", "1", "ls", "/"}));
    close(listener);
    EXPECT_EQ(silent.status, 6);
    EXPECT_EQ(silent.err, "tvnclient: tester@test: no answer from the server within 1 second\n");
}

TEST_F(tvnclient_test, a_wrong_command_line_is_a_usage_error) {
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"mv", "one"}, {"ls", "-z"}, {"frobnicate"}, {"cd", "/"}, {}}) {
        client_result result = run(arguments);
        EXPECT_EQ(result.status, 2) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_NE(result.err.find("Try 'tvnclient --help'."), std::string::npos) << result.err;
    }
    EXPECT_EQ(run({"mv", "one"}).err,
              "tvnclient: mv: missing operand (usage: mv OLD NEW)\nTry 'tvnclient --help'.\n");
    // Without a password and without a terminal to ask at.
    client_result no_password = run({"ls", "/"}, "");
    EXPECT_EQ(no_password.status, 2);
    EXPECT_EQ(no_password.err.rfind("tvnclient: no password: set TVN_PASSWORD", 0), 0u);
}

TEST_F(tvnclient_test, a_guest_reads_but_is_refused_put_with_a_clear_message) {
    write_file(area("Public/shared"), "for everyone");
    write_file(local("mine"), "mine");
    client_result read = run({"cat", "/Public/shared"}, "guest");
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.out, "for everyone");
    client_result put = run({"put", "mine", "/Public/"}, "guest");
    EXPECT_EQ(put.status, 4);
    EXPECT_EQ(put.err,
              "tvnclient: /Public/mine: permission denied (a guest login can only read)\n");
    EXPECT_FALSE(fs::exists(area("Public/mine")));
    EXPECT_FALSE(fs::exists(area("Public/mine.tvnpart")));
    // Outside the areas there is nowhere to write, for owners and guests alike.
    client_result owner = run({"put", "mine", "/"});
    EXPECT_EQ(owner.status, 3);
    EXPECT_EQ(owner.err, "tvnclient: /mine: no such area\n");
}

// ---- help -----------------------------------------------------------------------------------

TEST_F(tvnclient_test, help_pages_need_no_server) {
    client_settings offline = settings({"-p", std::to_string(free_port()), "--help"}, "");
    client_result program = run_client(offline);
    EXPECT_EQ(program.status, 0);
    for (const char *section : {"SYNOPSIS", "OPTIONS", "COMMANDS", "EXIT STATUS", "TVN_PASSWORD"})
        EXPECT_NE(program.out.find(section), std::string::npos) << section;
    for (const char *command : {"ls", "get", "put", "cat", "mkdir", "rm", "rmdir", "mv", "cp",
                                "passwd", "shell", "cd", "pwd", "lcd", "help", "exit"})
        EXPECT_NE(program.out.find("\n    " + std::string(command) + " "), std::string::npos)
            << command;
    offline.arguments.back() = "get";
    offline.arguments.push_back("--help");
    client_result get = run_client(offline);
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out.rfind("NAME\n    tvnclient get - ", 0), 0u);
    EXPECT_NE(get.out.find("--continue"), std::string::npos);
    offline.arguments.resize(offline.arguments.size() - 2);
    offline.arguments.insert(offline.arguments.end(), {"help", "cp"});
    EXPECT_NE(run_client(offline).out.find("no data\n    cross the network"), std::string::npos);
}

} // namespace
