// Logging in a list account: owners and guests, their directories, the failures and their
// messages, the switch to the service account, and the domain's link flags after a login. A
// login that succeeds changes the process's user and groups, so every login runs in a forked
// child that reports back. What the login shares with the host-account module is tested in
// account_auth_test.cpp.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "account_login.h"
#include "listacct_fixture.h"

namespace {

using report = tvn_test::login_report;

class listacct_auth_test : public tvn_test::listacct_fixture {
protected:
    void SetUp() override {
        listacct_fixture::SetUp();
        if (testing::Test::IsSkipped() || testing::Test::HasFatalFailure()) return;
        const passwd *daemon_user = getpwnam("daemon");
        const group *bin_group = getgrnam("bin");
        ASSERT_NE(daemon_user, nullptr);
        ASSERT_NE(bin_group, nullptr);
        service_uid = daemon_user->pw_uid;
        service_gid = bin_group->gr_gid;
        home = root.file("home/alice");
        root.write_file(
            "sales.db",
            "alice!" + hash("owner-pw", "$1$aaaaaaaa") + "!" + hash("guest-pw", "gg") + "!" + home +
                "!!!!\n"
                "  bob!" +
                hash("bob-owner", "$1$bbbbbbbb") + "!" + hash("bob-guest", "$1$cccccccc") +
                "!!/srv/bob/p!/srv/bob/pub!!\n"
                "same!" +
                hash("both", "$1$dddddddd") + "!" + hash("both", "$1$eeeeeeee") +
                "!/home/same!!!!\n"
                "broken!" +
                hash("x", "$1$ffffffff") + "!" + hash("y", "$1$gggggggg") +
                "!!/p!/pub!\n"
                "eve!!!/home/eve!!!!\n"
                "tok!*0!*1!/home/tok!!!!\n");
        root.write_file("last.db", "lena!" + hash("lena-pw", "$1$hhhhhhhh") +
                                       "!!/home/lena!!!!\n"
                                       "anonymous!" +
                                       hash("", "$1$iiiiiiii") + "!!/home/anon!!!!\n");
        root.write_file("first.db", "alice!" + hash("first-pw", "$1$jjjjjjjj") + "!!/first!!!!\n");
        ASSERT_EQ(load("<module mod_virtual_users>\n"
                       "  TvnUser daemon\n"
                       "  TvnGroup bin\n"
                       "  <VirtualDomain first>\n"
                       "    PasswdFile @ROOT@first.db\n"
                       "    EnableDomain 1\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain sales>\n"
                       "    PasswdFile @ROOT@sales.db\n"
                       "    EnableDomain 1\n"
                       "    Alias sales.example\n"
                       "    Alias sales\n"
                       "    ShowSymLink Enabled\n"
                       "    FollowSymLink Enabled\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain closed>\n"
                       "    PasswdFile @ROOT@sales.db\n"
                       "    EnableDomain 0\n"
                       "    Alias closed.example\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain gone>\n"
                       "    PasswdFile @ROOT@missing.db\n"
                       "    EnableDomain 1\n"
                       "    Alias gone.example\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain last>\n"
                       "    PasswdFile @ROOT@last.db\n"
                       "    EnableDomain 1\n"
                       "    ShowSymLink Enabled\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain off>\n"
                       "    PasswdFile @ROOT@first.db\n"
                       "    EnableDomain 0\n"
                       "  </VirtualDomain>\n"
                       "</module>\n"),
                  1)
            << printed;
        ASSERT_TRUE(tvn_test::make_login_link(root));
    }

    // Logs in within a child that first runs prepare, and reports what auth left behind.
    report login(const char *user, const char *domain, const char *password,
                 const std::function<void(listacct::list_settings *)> &prepare = {}) {
        return tvn_test::log_in_child(listacct::auth, listacct::access_check, settings(),
                                      {user, domain, password}, root.file("link"), [&] {
                                          if (prepare) prepare(settings());
                                      });
    }

    // Drops this child's root rights before the login, as a worker of a restricted server.
    static void become_nobody() {
        const passwd *nobody = getpwnam("nobody");
        const gid_t group = nobody->pw_gid;
        if (setgroups(1, &group) != 0 || setgid(group) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(3);
    }
    static bool needs_root() { return geteuid() != 0; }

    uid_t service_uid = 0;
    gid_t service_gid = 0;
    std::string home;
};

// ---- auth ----------------------------------------------------------------------------------

TEST_F(listacct_auth_test,
       an_owner_gets_three_directories_and_the_worker_becomes_the_service_account) {
    if (needs_root()) GTEST_SKIP() << "the login switches user and groups: needs root";
    report done = login("alice", "sales.example", "owner-pw");
    ASSERT_FALSE(done.empty()) << "the child did not report";
    EXPECT_EQ(done["status"], std::to_string(OK)) << done["log"];
    EXPECT_EQ(done["is_guest"], "0");
    EXPECT_EQ(done["private"], home + "/Private");
    EXPECT_EQ(done["public"], home + "/Public");
    EXPECT_EQ(done["web"], home + "/Web");
    EXPECT_EQ(done["flags"], "3");
    EXPECT_EQ(done["log"], "NULL");
    const std::string uid = std::to_string(service_uid), gid = std::to_string(service_gid);
    EXPECT_EQ(done["uid"], uid + "," + uid);
    EXPECT_EQ(done["gid"], gid + "," + gid);
    EXPECT_EQ(done["groups"], gid);
    EXPECT_EQ(done["umask"], "22");
    // The domain shows and follows links: a link is allowed.
    EXPECT_EQ(done["access"], std::to_string(OK));
    EXPECT_EQ(done["link_permission"], "3");
}

TEST_F(listacct_auth_test, owners_and_guests_get_their_directories) {
    if (needs_root()) GTEST_SKIP() << "the login switches user and groups: needs root";
    struct case_row {
        const char *user;
        const char *domain;
        const char *password;
        const char *is_guest;
        std::string private_dir, public_dir, web_dir;
    };
    const case_row rows[] = {
        // A guest with a home directory gets only its Public subdirectory.
        {"alice", "sales", "guest-pw", "1", "NULL", home + "/Public", "NULL"},
        {"ALICE", "sales", "guest-pw", "1", "NULL", home + "/Public", "NULL"},
        // Records with three directories give them to owners and guests alike.
        {"bob", "sales", "bob-owner", "0", "/srv/bob/p", "/srv/bob/pub", "NULL"},
        {"bob", "sales", "bob-guest", "1", "/srv/bob/p", "/srv/bob/pub", "NULL"},
        // One password for both is the owner's.
        {"same", "sales", "both", "0", "/home/same/Private", "/home/same/Public", "/home/same/Web"},
        // The default domain serves any other name, and the first default is not it.
        {"lena", "elsewhere", "lena-pw", "0", "/home/lena/Private", "/home/lena/Public",
         "/home/lena/Web"},
        {"anonymous", "", "", "0", "/home/anon/Private", "/home/anon/Public", "/home/anon/Web"},
    };
    for (const case_row &row : rows) {
        report done = login(row.user, row.domain, row.password);
        EXPECT_EQ(done["status"], std::to_string(OK)) << row.user << " " << row.password;
        EXPECT_EQ(done["is_guest"], row.is_guest) << row.user << " " << row.password;
        EXPECT_EQ(done["private"], row.private_dir) << row.user << " " << row.password;
        EXPECT_EQ(done["public"], row.public_dir) << row.user << " " << row.password;
        EXPECT_EQ(done["web"], row.web_dir) << row.user << " " << row.password;
    }
}

TEST_F(listacct_auth_test, refused_logins_say_why_and_leave_the_process_as_it_was) {
    struct case_row {
        const char *user;
        const char *domain;
        const char *password;
        int status;
        std::string log;
    };
    const case_row rows[] = {
        {"alice", "sales", "wrong", WRONG_AUTH, "NULL"},
        {"alice", "sales", "owner-pw ", WRONG_AUTH, "NULL"},
        {"alice", "sales", "first-pw", WRONG_AUTH, "NULL"},
        {"broken", "sales", "x", WRONG_AUTH, " Corrupted database file " + root.file("sales.db")},
        // Empty hash fields and failure tokens match no password.
        {"eve", "sales", "", WRONG_AUTH, "NULL"},
        {"eve", "sales", "anything", WRONG_AUTH, "NULL"},
        {"tok", "sales", "*0", WRONG_AUTH, "NULL"},
        {"tok", "sales", "", WRONG_AUTH, "NULL"},
    };
    for (const case_row &row : rows) {
        report done = login(row.user, row.domain, row.password);
        ASSERT_FALSE(done.empty()) << row.user;
        EXPECT_EQ(done["status"], std::to_string(row.status)) << row.user << " " << row.password;
        EXPECT_EQ(done["log"], row.log) << row.user << " " << row.password;
        EXPECT_EQ(done["flags"], "0") << row.user;
        EXPECT_EQ(done["private"], "NULL") << row.user;
        EXPECT_EQ(done["uid"], std::to_string(getuid()) + "," + std::to_string(geteuid()));
        if (row.status == WRONG_AUTH) {
            EXPECT_EQ(done["is_guest"], "2") << row.user;
        }
    }
}

TEST_F(listacct_auth_test, an_unknown_service_user_refuses_the_login) {
    const uid_t unknown = 54321;
    if (getpwuid(unknown) != nullptr) GTEST_SKIP() << "user id 54321 exists on this host";
    report done = login("alice", "sales", "owner-pw",
                        [&](listacct::list_settings *s) { s->user_id = unknown; });
    EXPECT_EQ(done["status"], std::to_string(WRONG_AUTH));
    EXPECT_EQ(done["log"], " User doesn't exist in database");
    EXPECT_EQ(done["flags"], "0");
}

TEST_F(listacct_auth_test, a_failed_switch_refuses_the_login_and_leaves_no_session_behind) {
    if (needs_root()) GTEST_SKIP() << "the test drops to nobody first: needs root";
    const passwd *nobody = getpwnam("nobody");
    struct case_row {
        gid_t group;
        uid_t user;
        const char *message;
    };
    const case_row rows[] = {
        {service_gid, service_uid, " Can't change process group"},
        // The group is the process's own, so only the user switch fails.
        {nobody->pw_gid, service_uid, " Can't change process owner"},
    };
    for (const case_row &row : rows) {
        report done = login("alice", "sales", "owner-pw", [&](listacct::list_settings *s) {
            become_nobody();
            s->group_id = row.group;
            s->user_id = row.user;
        });
        ASSERT_FALSE(done.empty());
        EXPECT_EQ(done["status"], std::to_string(WRONG_AUTH));
        EXPECT_EQ(done["log"], row.message);
        EXPECT_EQ(done["flags"], "0");
        EXPECT_EQ(done["is_guest"], "2");
        EXPECT_EQ(done["private"], "NULL");
        EXPECT_EQ(done["public"], "NULL");
    }
}

TEST_F(listacct_auth_test, the_domain_link_flags_reach_link_permission) {
    if (needs_root()) GTEST_SKIP() << "the login switches user and groups: needs root";
    report done = login("lena", "elsewhere", "lena-pw");
    ASSERT_EQ(done["status"], std::to_string(OK));
    EXPECT_EQ(done["flags"], "1");
    EXPECT_EQ(done["link_permission"], "1");
    // Links are shown but not followed: a link itself is refused.
    EXPECT_EQ(done["access"], std::to_string(ACCESS_DENIED));
}

} // namespace
