// tvnclient's words for the commonest mistakes: a path outside the areas, a login without a
// domain, a guest's write (worded from what the session knows, without asking the server),
// and cat of a directory.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tolvane/protocol.h"
#include "tvnclient_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

class tvnclient_messages_test : public tvnclient_fixture {};

TEST_F(tvnclient_messages_test, a_path_outside_the_three_areas_is_no_such_area) {
    write_file(area("Public/a"), "a");
    write_file(local("f"), "f");
    struct expected {
        std::vector<std::string> arguments;
        std::string err;
    };
    const std::vector<expected> cases = {
        {{"ls", "/Nope"}, "tvnclient: /Nope: no such area\n"},
        {{"ls", "/Nope/deeper"}, "tvnclient: /Nope/deeper: no such area\n"},
        {{"get", "/Nope/x", "x"}, "tvnclient: /Nope/x: no such area\n"},
        {{"cat", "/Pub/a"}, "tvnclient: /Pub/a: no such area\n"},
        {{"mkdir", "/Nope"}, "tvnclient: /Nope: no such area\n"},
        {{"mv", "/Public/a", "/Nope/b"}, "tvnclient: /Nope/b: no such area\n"},
        {{"put", "f", "/"}, "tvnclient: /f: no such area\n"},
    };
    for (const expected &one : cases) {
        client_result result = run(one.arguments);
        EXPECT_EQ(result.status, 3) << one.arguments[1];
        EXPECT_EQ(result.err, one.err);
    }
    EXPECT_TRUE(fs::exists(area("Public/a")));
    // Inside an area, any case, a missing name is still "not found".
    client_result missing = run({"ls", "/public/none"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "tvnclient: /public/none: not found\n");
    // ls asks once: there is nothing to look for in "/".
    const std::size_t before = journal_size();
    run({"ls", "/Nope"});
    EXPECT_EQ(journal_methods(before), (std::vector<int>{CONNECT, GETDIR, DISCONNECT}));
}

TEST_F(tvnclient_messages_test, in_the_shell_cd_outside_the_areas_is_no_such_area) {
    client_result shell = run({"shell"}, "secret", "cd /Nope\npwd\n");
    EXPECT_EQ(shell.status, 3);
    EXPECT_EQ(shell.err, "tvnclient: /Nope: no such area\n");
    EXPECT_EQ(shell.out, "/\n");
}

TEST_F(tvnclient_messages_test, a_login_without_a_domain_is_a_usage_error_before_connecting) {
    for (const char *login : {"alice", "alice@", "@test"}) {
        client_settings asked = settings({"ls", "/"});
        asked.arguments[5] = login; // after -u
        const std::size_t before = journal_size();
        client_result refused = run_client(asked);
        EXPECT_EQ(refused.status, 2) << login;
        EXPECT_EQ(refused.err, "tvnclient: -u: '" + std::string(login) +
                                   "' is not a login: give USER@DOMAIN\nTry 'tvnclient --help'.\n");
        EXPECT_EQ(journal_size(), before) << login;
    }
    client_settings from_environment = settings({});
    from_environment.arguments.resize(4); // no -u
    from_environment.environment.push_back("TVN_USER=alice");
    client_settings listing = from_environment;
    listing.arguments.insert(listing.arguments.end(), {"ls", "/"});
    client_result refused = run_client(listing);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err,
              "tvnclient: TVN_USER: 'alice' is not a login: give USER@DOMAIN\nTry 'tvnclient "
              "--help'.\n");
    // Commands that need no server do not mind.
    from_environment.arguments.push_back("help");
    EXPECT_EQ(run_client(from_environment).status, 0);
}

TEST_F(tvnclient_messages_test, a_guests_refused_change_is_worded_without_asking_the_server_more) {
    write_file(area("Public/a"), "a");
    struct expected {
        std::vector<std::string> arguments;
        std::string err;
        std::vector<int> methods;
    };
    const std::vector<expected> cases = {
        {{"mkdir", "/Public/new"},
         "tvnclient: /Public/new: permission denied (a guest login can only read)\n",
         {CONNECT, MKDIR, DISCONNECT}},
        {{"rm", "/Public/a"},
         "tvnclient: /Public/a: permission denied (a guest login can only read)\n",
         {CONNECT, DELETE, DISCONNECT}},
        {{"mv", "/Public/a", "/Public/b"},
         "tvnclient: /Public/a: permission denied (a guest login can only read)\n",
         {CONNECT, GETDIR, RENAME, DISCONNECT}}, // the GETDIR: is /Public/b a directory?
        // On an area root everybody is refused: no word about guests.
        {{"mkdir", "/Public"},
         "tvnclient: /Public: permission denied\n",
         {CONNECT, MKDIR, DISCONNECT}},
    };
    for (const expected &one : cases) {
        const std::size_t before = journal_size();
        client_result refused = run(one.arguments, "guest");
        EXPECT_EQ(refused.status, 4) << one.arguments[0];
        EXPECT_EQ(refused.err, one.err);
        EXPECT_EQ(journal_methods(before), one.methods) << one.arguments[0];
    }
    EXPECT_TRUE(fs::exists(area("Public/a")));
}

// An owner refused by the host's permissions (the worker becomes nobody, who may write in
// one directory only): the reminder about guests comes only while the session has not shown
// it is an owner's.
TEST_F(tvnclient_messages_test,
       an_owners_refusal_drops_the_guest_reminder_once_a_change_succeeded) {
    if (getuid() != 0) GTEST_SKIP() << "the worker switches to nobody: needs root";
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    server.root().write_file("conf/test_auth", "switch\n");
    for (const std::string &dir :
         {server.root().path(), server.root().file("home"), area("Private")})
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0) << dir;
    fs::create_directory(area("Private/mine"));
    // The journal is written by the worker, as nobody.
    const std::string journal = server.root().file("log/test_journal");
    write_file(journal, "");
    for (const std::string &path : {area("Private/mine"), journal})
        ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << path;

    client_result first = run({"mkdir", "/Private/locked"});
    EXPECT_EQ(first.status, 4);
    EXPECT_EQ(first.err,
              "tvnclient: /Private/locked: permission denied (a guest login can only read)\n");

    const std::size_t before = journal_size();
    client_result shell =
        run({"shell"}, "secret", "mkdir /Private/mine/ok\nmkdir /Private/locked\n");
    EXPECT_EQ(shell.status, 4);
    EXPECT_EQ(shell.err, "tvnclient: /Private/locked: permission denied\n");
    EXPECT_TRUE(fs::is_directory(area("Private/mine/ok")));
    EXPECT_EQ(journal_methods(before), (std::vector<int>{CONNECT, MKDIR, MKDIR, DISCONNECT}));
}

TEST_F(tvnclient_messages_test, cat_of_a_directory_says_so_without_suggesting_an_option_it_lacks) {
    fs::create_directory(area("Public/docs"));
    client_result refused = run({"cat", "/Public/docs"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "tvnclient: /Public/docs: is a directory\n");
    // get has -r, and says so.
    client_result get = run({"get", "/Public/docs", "d"});
    EXPECT_EQ(get.err, "tvnclient: /Public/docs: is a directory (use -r for a whole tree)\n");
}

} // namespace
