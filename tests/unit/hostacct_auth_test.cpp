// Logging in a host account without creating any: the host's own locked system users
// (daemon, bin, nobody, whose shadow entries match no password) log in with the guest
// password of their record. Covered here: the record, the host's databases, the group and
// shell rules, owner before guest, the messages, the switch to the user's identity with the
// user's groups, and the link flags after a login. A login that succeeds changes the
// process's user and groups, so every login runs in a forked child that reports back. What the
// login shares with the list-account module is tested in account_auth_test.cpp.
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "account_login.h"
#include "hostacct_fixture.h"

namespace {

using report = tvn_test::login_report;

// Takes one capability out of the process's effective set: root that cannot do that one thing.
bool drop_capability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[capability / 32].effective &= ~(1u << (capability % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

// The host groups of a user, as the host's own group lookup gives them, sorted.
std::string groups_of(const passwd *user) {
    std::vector<gid_t> groups(256);
    int count = int(groups.size());
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return "?";
    groups.resize(std::size_t(count));
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    std::string text;
    for (gid_t group : groups) text += (text.empty() ? "" : ",") + std::to_string(group);
    return text;
}

// True when the host has the user and its shadow entry matches no password.
bool locked_host_user(const char *name) {
    const passwd *user = getpwnam(name);
    const spwd *shadow = getspnam(name);
    if (user == nullptr || shadow == nullptr || getgrgid(user->pw_gid) == nullptr) return false;
    const char first = shadow->sp_pwdp[0];
    return first == '\0' || first == '*' || first == '!';
}

class hostacct_auth_test : public tvn_test::hostacct_fixture {
protected:
    void SetUp() override {
        hostacct_fixture::SetUp();
        if (HasFatalFailure()) return;
        if (geteuid() != 0)
            GTEST_SKIP() << "reading the shadow database and switching users need root";
        for (const char *name : {"daemon", "bin", "nobody"})
            if (!locked_host_user(name))
                GTEST_SKIP() << "the host has no locked system user " << name;
        if (getpwnam(stranger) != nullptr) GTEST_SKIP() << "the host has a user " << stranger;
        daemon_user = *getpwnam("daemon");
        daemon_groups = groups_of(getpwnam("daemon"));
        daemon_group_name = getgrgid(daemon_user.pw_gid)->gr_name;
        daemon_shell = daemon_user.pw_shell;
        bin_group_name = getgrgid(getpwnam("bin")->pw_gid)->gr_name;
        home = root.file("home/daemon");
        root.write_file("hosts.db", "daemon!" + hash("daemon-guest", "$1$dddddddd") + "!" + home +
                                        "!!!!\n"
                                        "  bin!" +
                                        hash("bin-guest", "$1$bbbbbbbb") +
                                        "!!/srv/bin/p!/srv/bin/pub!!\n" + stranger + "!" +
                                        hash("stranger-guest", "gs") +
                                        "!/home/stranger!!!!\n"
                                        "broken!" +
                                        hash("broken-guest", "gx") +
                                        "!!/p!\n"
                                        "nobody!!/home/nobody!!!!\n");
        ASSERT_EQ(load("<module mod_system_users>\n"
                       "  <VirtualDomain hosts>\n"
                       "    PasswdFile @ROOT@hosts.db\n    EnableDomain 1\n    Alias hosts\n"
                       "    ShowSymLink Enabled\n    FollowSymLink Enabled\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain groups>\n"
                       "    PasswdFile @ROOT@hosts.db\n    EnableDomain 1\n    Alias groups\n"
                       "    AuthorizedGroup tvn-no-such-group\n"
                       "    AuthorizedGroup " +
                       bin_group_name +
                       "\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain shells>\n"
                       "    PasswdFile @ROOT@hosts.db\n    EnableDomain 1\n    Alias shells\n"
                       "    AuthorizedShell /bin/sh\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain both>\n"
                       "    PasswdFile @ROOT@hosts.db\n    EnableDomain 1\n    Alias both\n"
                       "    AuthorizedShell /bin/sh\n    AuthorizedShell " +
                       daemon_shell +
                       "\n"
                       "    AuthorizedGroup " +
                       daemon_group_name +
                       "\n"
                       "    ShowSymLink Enabled\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain gone>\n"
                       "    PasswdFile @ROOT@missing.db\n    EnableDomain 1\n    Alias gone\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain nodb>\n"
                       "    EnableDomain 1\n    Alias nodb\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain closed>\n"
                       "    PasswdFile @ROOT@missing.db\n    EnableDomain 0\n    Alias closed\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain fallback>\n"
                       "    PasswdFile @ROOT@hosts.db\n    EnableDomain 1\n"
                       "  </VirtualDomain>\n"
                       "</module>\n"),
                  1)
            << printed;
        ASSERT_TRUE(tvn_test::make_login_link(root));
    }

    // Logs in within a child that first runs prepare, and reports what auth left behind.
    report login(const char *user, const char *domain, const char *password,
                 const std::function<void()> &prepare = {}) {
        return tvn_test::log_in_child(hostacct::auth, hostacct::access_check, domains(),
                                      {user, domain, password}, root.file("link"), prepare);
    }

    std::string database_of(const char *client_domain) const {
        const hostacct::host_domain *domain = hostacct::check_address(domains(), client_domain);
        if (domain == nullptr) return "none";
        return domain->passwd_file != nullptr ? domain->passwd_file : "NULL";
    }

    static constexpr const char *stranger = "tvn-no-such-user";
    passwd daemon_user{};
    std::string daemon_groups, daemon_group_name, daemon_shell, bin_group_name, home;
};

TEST_F(hostacct_auth_test, check_list_admits_everyone_when_empty_and_else_exact_names) {
    name_node second{const_cast<char *>("staff"), nullptr};
    name_node first{const_cast<char *>("/bin/sh"), &second};
    EXPECT_EQ(hostacct::check_list(nullptr, "anything"), 1);
    EXPECT_EQ(hostacct::check_list(&first, "staff"), 1);
    EXPECT_EQ(hostacct::check_list(&first, "/bin/sh"), 1);
    EXPECT_EQ(hostacct::check_list(&first, "Staff"), 0);
    EXPECT_EQ(hostacct::check_list(&first, "staf"), 0);
    EXPECT_EQ(hostacct::check_list(&first, "/bin/sh "), 0);
    EXPECT_EQ(hostacct::check_list(&first, ""), 0);
}

TEST_F(hostacct_auth_test, the_domain_is_found_by_alias_or_else_is_the_last_default) {
    EXPECT_EQ(database_of("groups"), root.file("hosts.db"));
    EXPECT_EQ(database_of("gone"), root.file("missing.db"));
    EXPECT_EQ(database_of("nodb"), "NULL");
    EXPECT_EQ(database_of("closed"), root.file("hosts.db")); // the default, not the closed one
    EXPECT_EQ(database_of("elsewhere"), root.file("hosts.db"));
    const hostacct::host_domain *groups = hostacct::check_address(domains(), "groups");
    for (int i = 0; i < 100; ++i) ASSERT_EQ(hostacct::check_address(domains(), "groups"), groups);
    // The lookup leaves the lists as they were.
    EXPECT_STREQ(groups->authorized_groups->name, bin_group_name.c_str());
    EXPECT_STREQ(groups->authorized_groups->next->name, "tvn-no-such-group");
}

TEST_F(hostacct_auth_test, a_guest_takes_on_the_host_users_identity_and_groups) {
    report done = login("daemon", "hosts", "daemon-guest");
    ASSERT_FALSE(done.empty()) << "the child did not report";
    EXPECT_EQ(done["status"], std::to_string(OK)) << done["log"];
    EXPECT_EQ(done["is_guest"], "1");
    // A guest with a home directory gets only its Public subdirectory.
    EXPECT_EQ(done["private"], "NULL");
    EXPECT_EQ(done["public"], home + "/Public");
    EXPECT_EQ(done["web"], "NULL");
    EXPECT_EQ(done["log"], "NULL");
    const std::string uid = std::to_string(daemon_user.pw_uid);
    const std::string gid = std::to_string(daemon_user.pw_gid);
    EXPECT_EQ(done["uid"], uid + "," + uid);
    EXPECT_EQ(done["gid"], gid + "," + gid);
    // root's own groups are gone; the user's are there.
    EXPECT_EQ(done["groups"], daemon_groups);
    EXPECT_EQ(done["umask"], "22");
    EXPECT_EQ(done["flags"], "3");
    EXPECT_EQ(done["access"], std::to_string(OK));
}

TEST_F(hostacct_auth_test, a_record_with_three_directories_gives_them_to_a_guest) {
    report done = login("bin", "groups", "bin-guest");
    EXPECT_EQ(done["status"], std::to_string(OK)) << done["log"];
    EXPECT_EQ(done["is_guest"], "1");
    EXPECT_EQ(done["private"], "/srv/bin/p");
    EXPECT_EQ(done["public"], "/srv/bin/pub");
    EXPECT_EQ(done["web"], "NULL");
    EXPECT_EQ(done["uid"], std::to_string(getpwnam("bin")->pw_uid) + "," +
                               std::to_string(getpwnam("bin")->pw_uid));
    EXPECT_EQ(done["flags"], "0");
    // This domain allows no links at all: a link is refused.
    EXPECT_EQ(done["access"], std::to_string(ACCESS_DENIED));
}

TEST_F(hostacct_auth_test, listed_groups_and_shells_admit_the_user) {
    report done = login("daemon", "both", "daemon-guest");
    EXPECT_EQ(done["status"], std::to_string(OK)) << done["log"];
    EXPECT_EQ(done["flags"], "1");
    // Links shown but not followed: a link itself is refused.
    EXPECT_EQ(done["access"], std::to_string(ACCESS_DENIED));
}

TEST_F(hostacct_auth_test, refused_logins_say_why_and_leave_the_process_as_it_was) {
    struct case_row {
        std::string user;
        const char *domain;
        const char *password;
        int status;
        std::string log;
    };
    const case_row rows[] = {
        // A locked shadow entry ("*") matches no password, not even itself.
        {"daemon", "hosts", "wrong", WRONG_AUTH, " Wrong password"},
        {"daemon", "hosts", "*", WRONG_AUTH, " Wrong password"},
        {"daemon", "hosts", "", WRONG_AUTH, " Wrong password"},
        {"daemon", "hosts", "daemon-guest ", WRONG_AUTH, " Wrong password"},
        {"nobody", "hosts", "", WRONG_AUTH, " Wrong password"}, // empty guest hash too
        {"daemon", "groups", "daemon-guest", WRONG_AUTH, " Wrong user's group or shell"},
        {"daemon", "shells", "daemon-guest", WRONG_AUTH, " Wrong user's group or shell"},
        {"bin", "shells", "bin-guest", WRONG_AUTH, " Wrong user's group or shell"},
        {stranger, "hosts", "stranger-guest", WRONG_AUTH,
         " Control your system configuration for the user"},
        // Host user names differ by letter case: daemon's record is not DAEMON's.
        {"DAEMON", "hosts", "daemon-guest", NOT_HANDLED, "NULL"},
        {"broken", "hosts", "broken-guest", WRONG_AUTH,
         " Corrupted database file " + root.file("hosts.db")},
        // Host users without a record are not this module's users.
        {"root", "hosts", "anything", NOT_HANDLED, "NULL"},
        {"daemon", "gone", "daemon-guest", NOT_HANDLED,
         "Can't open database file " + root.file("missing.db")},
        {"daemon", "nodb", "daemon-guest", NOT_HANDLED, "Can't open database file "},
    };
    for (const case_row &row : rows) {
        report done = login(row.user.c_str(), row.domain, row.password);
        ASSERT_FALSE(done.empty()) << row.user;
        const std::string what = row.user + "@" + row.domain + " '" + row.password + "'";
        EXPECT_EQ(done["status"], std::to_string(row.status)) << what;
        EXPECT_EQ(done["log"], row.log) << what;
        EXPECT_EQ(done["flags"], "0") << what;
        EXPECT_EQ(done["private"], "NULL") << what;
        EXPECT_EQ(done["public"], "NULL") << what;
        EXPECT_EQ(done["uid"], "0,0") << what;
        if (row.status == WRONG_AUTH) {
            EXPECT_EQ(done["is_guest"], "2") << what;
        }
    }
}

TEST_F(hostacct_auth_test, a_failed_switch_refuses_the_login_and_leaves_no_session_behind) {
    struct case_row {
        int capability;
        const char *message;
        std::string uid;
    };
    const case_row rows[] = {
        // Without the right to set groups the user's groups cannot be had: no login.
        {CAP_SETGID, " Can't change process group", "0,0"},
        {CAP_SETUID, " Can't change process owner", "0,0"},
    };
    for (const case_row &row : rows) {
        report done = login("daemon", "hosts", "daemon-guest", [&] {
            if (!drop_capability(row.capability)) _exit(3);
        });
        ASSERT_FALSE(done.empty()) << row.message;
        EXPECT_EQ(done["status"], std::to_string(WRONG_AUTH)) << row.message;
        EXPECT_EQ(done["log"], row.message);
        EXPECT_EQ(done["flags"], "0");
        EXPECT_EQ(done["is_guest"], "2");
        EXPECT_EQ(done["private"], "NULL");
        EXPECT_EQ(done["public"], "NULL");
        EXPECT_EQ(done["uid"], row.uid);
    }
}

} // namespace
