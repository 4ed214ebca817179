// rm -r end to end: whole trees removed depth first, the area roots refused before any
// request, a failure in the middle that stops the removal and names its path, and a link to
// a directory that is never followed.
#include <gtest/gtest.h>

#include <filesystem>

#include "tolvane/protocol.h"
#include "tvnclient_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

class tvnclient_remove_test : public tvnclient_fixture {
protected:
    // Private/t: a.txt, empty/, sub/b.txt, sub/deeper/c.txt.
    void make_tree() {
        fs::create_directories(area("Private/t/sub/deeper"));
        fs::create_directory(area("Private/t/empty"));
        write_file(area("Private/t/a.txt"), "a");
        write_file(area("Private/t/sub/b.txt"), "b");
        write_file(area("Private/t/sub/deeper/c.txt"), "c");
    }
};

TEST_F(tvnclient_remove_test,
       rm_r_removes_a_whole_tree_listing_only_the_directories_that_hold_something) {
    make_tree();
    const std::size_t before = journal_size();
    client_result removed = run({"rm", "-r", "/Private/t"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.err, "");
    EXPECT_EQ(removed.out, "");
    EXPECT_FALSE(fs::exists(area("Private/t")));
    EXPECT_TRUE(fs::is_directory(area("Private")));
    const std::vector<int> methods = journal_methods(before);
    // One listing per directory that held something (t, sub, deeper); each of them is asked to
    // go twice, before and after it is emptied; the files and the empty directory once.
    EXPECT_EQ(count_of(methods, GETDIR), 3u);
    EXPECT_EQ(count_of(methods, DELETE), 3u * 2 + 3 + 1);
}

TEST_F(tvnclient_remove_test, rm_r_takes_files_empty_directories_and_several_paths) {
    make_tree();
    write_file(area("Public/lone.txt"), "x");
    fs::create_directory(area("Web/nothing"));
    client_result removed = run({"rm", "-r", "/Public/lone.txt", "/Web/nothing/", "/Private/t"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_FALSE(fs::exists(area("Public/lone.txt")));
    EXPECT_FALSE(fs::exists(area("Web/nothing")));
    EXPECT_FALSE(fs::exists(area("Private/t")));
    // A missing path is reported like any rm's; the others still go.
    write_file(area("Public/other.txt"), "x");
    client_result missing = run({"rm", "-r", "/Public/none", "/Public/other.txt"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "tvnclient: /Public/none: not found\n");
    EXPECT_FALSE(fs::exists(area("Public/other.txt")));
}

TEST_F(tvnclient_remove_test, rm_r_works_in_the_shell_on_relative_paths) {
    make_tree();
    client_result shell = run({"shell"}, "secret", "cd /Private\nrm -r t/sub\nls t\nrm -r t\nls\n");
    EXPECT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out, "a.txt\nempty/\n");
    EXPECT_FALSE(fs::exists(area("Private/t")));
}

TEST_F(tvnclient_remove_test, the_root_and_the_areas_are_refused_before_any_request) {
    make_tree();
    struct refusal {
        std::vector<std::string> arguments;
        std::string err;
    };
    const std::vector<refusal> refusals = {
        {{"rm", "-r", "/"}, "tvnclient: /: the root cannot be removed\n"},
        {{"rm", "-r", "/Private"}, "tvnclient: /Private: an area cannot be removed\n"},
        {{"rm", "-r", "/public/"}, "tvnclient: /public: an area cannot be removed\n"},
        {{"rm", "-r", "/Private/t/.."}, "tvnclient: /Private: an area cannot be removed\n"},
        {{"rm", "-r", "."}, "tvnclient: /: the root cannot be removed\n"},
        {{"rm", "/Web"}, "tvnclient: /Web: an area cannot be removed\n"},
        {{"rmdir", "/Web"}, "tvnclient: /Web: an area cannot be removed\n"},
        // The whole command is refused: the first operand stays too.
        {{"rm", "-r", "/Private/t", "/Public"}, "tvnclient: /Public: an area cannot be removed\n"},
    };
    for (const refusal &one : refusals) {
        const std::size_t before = journal_size();
        client_result refused = run(one.arguments);
        EXPECT_EQ(refused.status, 4) << one.arguments.back();
        EXPECT_EQ(refused.err, one.err);
        // The session opened and closed, and nothing was asked in between.
        EXPECT_EQ(journal_methods(before), (std::vector<int>{CONNECT, DISCONNECT}))
            << one.arguments.back();
    }
    EXPECT_TRUE(fs::exists(area("Private/t/sub/deeper/c.txt")));
}

TEST_F(tvnclient_remove_test, a_failure_stops_the_removal_names_its_path_and_no_link_is_followed) {
    // The session may follow links, so the listing shows the link as the directory it
    // points to; the server refuses to remove it as a directory.
    server.root().write_file("conf/test_auth", "links\n");
    const std::string outside = server.root().file("outside");
    fs::create_directory(outside);
    write_file(outside + "/precious.txt", "keep me");
    fs::create_directory(area("Private/t"));
    write_file(area("Private/t/a.txt"), "a");
    fs::create_directory_symlink(outside, area("Private/t/link"));
    write_file(area("Private/t/z.txt"), "z");

    client_result stopped = run({"rm", "-r", "/Private/t"});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_EQ(stopped.err, "tvnclient: /Private/t/link: refused by the server\n");
    // In name order: a.txt went, the link stopped the removal, z.txt and the tree stay, and
    // nothing behind the link was touched.
    EXPECT_FALSE(fs::exists(area("Private/t/a.txt")));
    EXPECT_TRUE(fs::is_symlink(area("Private/t/link")));
    EXPECT_TRUE(fs::exists(area("Private/t/z.txt")));
    EXPECT_EQ(read_file(outside + "/precious.txt"), "keep me");
}

TEST_F(tvnclient_remove_test, a_guest_is_refused_rm_r_and_the_tree_stays) {
    make_tree();
    fs::create_directories(area("Public/t/sub"));
    write_file(area("Public/t/sub/f"), "f");
    const std::size_t before = journal_size();
    client_result refused = run({"rm", "-r", "/Public/t"}, "guest");
    EXPECT_EQ(refused.status, 4);
    EXPECT_EQ(refused.err,
              "tvnclient: /Public/t: permission denied (a guest login can only read)\n");
    EXPECT_TRUE(fs::exists(area("Public/t/sub/f")));
    EXPECT_EQ(journal_methods(before), (std::vector<int>{CONNECT, DELETE, DISCONNECT}));
}

} // namespace
