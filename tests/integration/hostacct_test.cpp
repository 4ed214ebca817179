// The host-account module end to end, with the real server, over host users made for the
// test: logins with the host password and the record's guest password, the group and shell
// rules, the worker's identity after a login, and password changes that rewrite the host's
// shadow file under the host's password-file lock, even while another local user plants files
// in the server root.
//
// Every test runs in a mount namespace of its own over a private copy of /etc (ctest runs
// each test in a process of its own); the server root lies in that copy, so the rename onto
// /etc/shadow stays on one file system. The machine's own account files are compared before
// and after every test.
#include <crypt.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_run.h"
#include "client_session.h"
#include "host_accounts.h"
#include "private_etc.h"
#include "rename_attacker.h"
#include "tool_dialogue.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_client;

struct host_user_row {
    const char *name;
    const char *primary_group;
    const char *other_group; // nullptr: none
    const char *shell;
    const char *password; // the host password
    const char *guest;    // the record's guest password; nullptr: no record
};

const host_user_row host_users[] = {
    {"hana", "tvnstaff", "tvnother", "/bin/sh", "hana-host", "hana-guest"},
    // Member of tvnstaff, but not by its primary group.
    {"ivo", "tvnother", "tvnstaff", "/bin/sh", "ivo-host", "ivo-guest"},
    {"jan", "tvnstaff", nullptr, "/bin/bash", "jan-host", "jan-guest"},
    {"kim", "tvnstaff", nullptr, "/bin/sh", "kim-host", nullptr},
    {"same", "tvnstaff", nullptr, "/bin/sh", "both", "both"},
    // Entries the shadow file may hold that match no password: locked, "!", "*", empty.
    {"lockx", "tvnstaff", nullptr, "/bin/sh", "lock-host", "lock-guest"},
    {"bangx", "tvnstaff", nullptr, "/bin/sh", "bang-host", "bang-guest"},
    {"starx", "tvnstaff", nullptr, "/bin/sh", "star-host", "star-guest"},
    {"emptyx", "tvnstaff", nullptr, "/bin/sh", "empty-host", "empty-guest"},
    // Two host users whose names differ in letter case only, the capital one first.
    {"Dana", "tvnstaff", nullptr, "/bin/sh", "dana-capital", nullptr},
    {"dana", "tvnstaff", nullptr, "/bin/sh", "dana-host", "dana-guest"},
};

class hostacct_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "host accounts and identity switches need root";
        if (!account_tools_present())
            GTEST_SKIP() << "useradd, usermod, groupadd or chpasswd is not installed";
        machine_before = machine_account_files();
        etc = std::make_unique<private_etc>();
        if (!etc->entered()) GTEST_SKIP() << "no private copy of /etc: " << etc->failure();
        ASSERT_NO_FATAL_FAILURE(make_host_users());

        server_options options;
        options.parent_dir = "/etc";
        options.modules = {"hostacct.so", "pathmap.so", "test_logger_module.so"};
        options.start = false;
        options.module_sections =
            "<module mod_system_users>\n"
            "    <VirtualDomain staff>\n"
            "        PasswdFile @ROOT@users/hosts.db\n"
            "        EnableDomain 1\n"
            "        OwnerChangePassword Enabled\n"
            "        GuestChangePassword Enabled\n"
            "        AuthorizedGroup tvnstaff\n"
            "        Alias staff.example\n"
            "    </VirtualDomain>\n"
            "    <VirtualDomain shells>\n"
            "        PasswdFile @ROOT@users/hosts.db\n"
            "        EnableDomain 1\n"
            "        AuthorizedShell /bin/sh\n"
            "        Alias shells.example\n"
            "    </VirtualDomain>\n"
            "    <VirtualDomain strong>\n"
            "        PasswdFile @ROOT@users/hosts.db\n"
            "        EnableDomain 1\n"
            "        GuestChangePassword Enabled\n"
            "        PasswordHash sha512\n"
            "        Alias strong.example\n"
            "    </VirtualDomain>\n"
            "    <VirtualDomain open>\n"
            "        PasswdFile @ROOT@users/hosts.db\n"
            "        EnableDomain 1\n"
            "        OwnerChangePassword Enabled\n"
            "        GuestChangePassword Enabled\n"
            "        Alias open.example\n"
            "    </VirtualDomain>\n"
            "</module>\n";
        server = std::make_unique<test_server>(options);
        temp_root &root = server->root();
        // The worker becomes the host user, who must reach the home directories.
        ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
        fs::create_directory(root.file("users"));
        database = root.file("users/hosts.db");
        std::ofstream records(database);
        for (const host_user_row &user : host_users) {
            if (user.guest == nullptr) continue;
            const std::string home = root.file(std::string("home/") + user.name);
            records << user.name << "!" << crypt(user.guest, "$1$guestslt") << "!" << home
                    << "!!!!\n";
            const passwd *account = getpwnam(user.name);
            ASSERT_NE(account, nullptr) << user.name;
            for (const char *area : {"", "/Private", "/Public", "/Web"}) {
                fs::create_directories(home + area);
                ASSERT_EQ(chown((home + area).c_str(), account->pw_uid, account->pw_gid), 0);
            }
        }
        records.close();
        ASSERT_TRUE(server->start()) << server->output();
    }

    void TearDown() override {
        server.reset();
        if (etc) etc->leave();
        if (!machine_before.empty()) {
            EXPECT_EQ(machine_account_files(), machine_before)
                << "the machine's own account files changed";
        }
    }

    void make_host_users() {
        for (const char *group : {"tvnstaff", "tvnother"})
            ASSERT_EQ(run_command({"/usr/sbin/groupadd", group}).exit_status, 0) << group;
        std::string passwords;
        for (const host_user_row &user : host_users) {
            // No home directory and no lastlog or faillog entry: nothing outside /etc.
            std::vector<std::string> argv = {
                "/usr/sbin/useradd", "--badname", "-l",       "-M", "-d",
                "/nonexistent",      "-s",        user.shell, "-g", user.primary_group};
            if (user.other_group != nullptr) argv.insert(argv.end(), {"-G", user.other_group});
            argv.push_back(user.name);
            const command_result made = run_command(argv);
            ASSERT_EQ(made.exit_status, 0) << user.name << ": " << made.output;
            passwords += std::string(user.name) + ":" + user.password + "\n";
        }
        ASSERT_EQ(run_with_input({"/usr/sbin/chpasswd"}, passwords), 0);
        for (const auto &[name, option] :
             std::vector<std::pair<std::string, std::vector<std::string>>>{
                 {"lockx", {"-L"}},
                 {"bangx", {"-p", "!"}},
                 {"starx", {"-p", "*"}},
                 {"emptyx", {"-p", ""}}}) {
            std::vector<std::string> argv = {"/usr/sbin/usermod"};
            argv.insert(argv.end(), option.begin(), option.end());
            argv.push_back(name);
            ASSERT_EQ(run_command(argv).exit_status, 0) << name;
        }
    }

    answer login(connection &c, const std::string &login_text, const std::string &password) {
        return exchange(c, connect_request(login_text, password));
    }
    // A session's view of its private area: OK for an owner, ACCESS_DENIED for a guest with a
    // home directory.
    std::uint8_t private_area(connection &c) {
        return exchange(c, getdir_request("/Private")).status();
    }
    answer change(const std::string &login_text, const std::string &current,
                  const std::string &fresh, bool owner) {
        connection c = connect_to(*server);
        answer done = exchange(c, changepwd_request(login_text, current, fresh, owner));
        EXPECT_TRUE(c.wait_closed(ANSWER_TIMEOUT)) << "a password change ends the connection";
        return done;
    }
    bool journal_has(const std::string &text) {
        return wait_until(
            [&] {
                return server->root().read_file("log/test_journal").find(text) != std::string::npos;
            },
            10s);
    }
    static std::string shadow_text() { return read_text("/etc/shadow"); }
    // "$y$", "$6$", ...: how the host's library begins the hashes of its default method.
    static std::string host_method_prefix() {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, int(sizeof setting)) == nullptr)
            return "?";
        const char *end = std::strchr(setting + 1, '$');
        return end != nullptr ? std::string(setting, std::size_t(end + 1 - setting)) : "?";
    }
    // The guest hash of user's record in the database.
    std::string guest_hash_of(const std::string &user) const {
        for (const std::string &line : lines_of(read_text(database)))
            if (line.rfind(user + "!", 0) == 0) {
                const size_t start = user.size() + 1;
                return line.substr(start, line.find('!', start) - start);
            }
        return "";
    }
    // Every line of before but user's is in after, unchanged and in place.
    static void expect_only_entry_changed(const std::string &before, const std::string &after,
                                          const std::string &user) {
        const auto old_lines = lines_of(before), new_lines = lines_of(after);
        ASSERT_EQ(new_lines.size(), old_lines.size());
        for (size_t i = 0; i < old_lines.size(); ++i) {
            if (old_lines[i].rfind(user + ":", 0) == 0) {
                const auto old_fields = fields_of(old_lines[i]),
                           new_fields = fields_of(new_lines[i]);
                ASSERT_EQ(new_fields.size(), old_fields.size());
                for (size_t f = 2; f < old_fields.size(); ++f)
                    EXPECT_EQ(new_fields[f], old_fields[f]) << user << " field " << f;
                EXPECT_EQ(new_fields[0], old_fields[0]);
            } else {
                EXPECT_EQ(new_lines[i], old_lines[i]);
            }
        }
    }

    std::string machine_before;
    std::unique_ptr<private_etc> etc;
    std::unique_ptr<test_server> server;
    std::string database;
};

TEST_F(hostacct_test, owners_use_the_host_password_and_guests_the_records) {
    struct case_row {
        const char *login;
        const char *password;
        std::uint8_t status;
        std::uint8_t private_area; // after a login
    };
    const case_row rows[] = {
        {"hana@staff.example", "hana-host", OK, OK},
        {"hana@staff.example", "hana-guest", OK, ACCESS_DENIED},
        // One password that is both the host's and the guest's makes an owner.
        {"same@staff.example", "both", OK, OK},
        {"hana@staff.example", "wrong", WRONG_AUTH, 0},
        {"hana@staff.example", "", WRONG_AUTH, 0},
        {"hana@elsewhere.example", "hana-host", WRONG_AUTH, 0},
        // A host user without a record cannot log in, not even with the host password.
        {"kim@staff.example", "kim-host", WRONG_AUTH, 0},
        {"kim@open.example", "kim-host", WRONG_AUTH, 0},
    };
    for (const case_row &row : rows) {
        connection c = connect_to(*server);
        ASSERT_EQ(login(c, row.login, row.password).status(), row.status)
            << row.login << " " << row.password;
        if (row.status == OK) {
            EXPECT_EQ(private_area(c), row.private_area) << row.login << " " << row.password;
        }
    }
}

TEST_F(hostacct_test, a_record_written_by_tvnsysadduser_lets_its_host_user_in) {
    using namespace tvn_tools_test;
    const std::string home = server->root().file("home/kim");
    const std::string private_dir = home + "-private", public_dir = home + "-public",
                      web_dir = home + "-web";
    const run_result added = run_dialogue(
        {sysadduser_program, database},
        std::vector<step>{said(login_prompt, "kim")} + password_steps(guest_prompt, "kim-guest") +
            std::vector<step>{said(system_home_prompt, "n"), said(private_prompt, private_dir),
                              said(public_prompt, public_dir), said(web_prompt, web_dir)});
    ASSERT_EQ(added.status, 0) << added.output;
    connection owner = connect_to(*server);
    ASSERT_EQ(login(owner, "kim@open.example", "kim-host").status(), OK);
    EXPECT_EQ(private_area(owner), OK);
    connection guest = connect_to(*server);
    ASSERT_EQ(login(guest, "kim@open.example", "kim-guest").status(), OK);
    EXPECT_EQ(exchange(guest, getdir_request("/Public")).status(), OK);
}

TEST_F(hostacct_test, only_the_primary_group_counts_for_an_authorized_group) {
    connection refused = connect_to(*server);
    EXPECT_EQ(login(refused, "ivo@staff.example", "ivo-host").status(), WRONG_AUTH);
    EXPECT_TRUE(journal_has("ivo [ Wrong user's group or shell]"));
    connection open = connect_to(*server);
    EXPECT_EQ(login(open, "ivo@open.example", "ivo-host").status(), OK);
    connection staff = connect_to(*server);
    EXPECT_EQ(login(staff, "hana@staff.example", "hana-host").status(), OK);
}

TEST_F(hostacct_test, only_listed_shells_are_admitted_where_shells_are_listed) {
    connection refused = connect_to(*server);
    EXPECT_EQ(login(refused, "jan@shells.example", "jan-host").status(), WRONG_AUTH);
    EXPECT_TRUE(journal_has("jan [ Wrong user's group or shell]"));
    connection listed = connect_to(*server);
    EXPECT_EQ(login(listed, "hana@shells.example", "hana-host").status(), OK);
    connection anywhere = connect_to(*server);
    EXPECT_EQ(login(anywhere, "jan@open.example", "jan-host").status(), OK);
}

TEST_F(hostacct_test, the_worker_becomes_the_host_user_with_the_users_groups) {
    const passwd *hana = getpwnam("hana");
    ASSERT_NE(hana, nullptr);
    const std::string uid = std::to_string(hana->pw_uid);
    const std::string staff = std::to_string(getgrnam("tvnstaff")->gr_gid);
    const std::string other = std::to_string(getgrnam("tvnother")->gr_gid);
    connection c = connect_to(*server);
    ASSERT_EQ(login(c, "hana@staff.example", "hana-host").status(), OK);
    pid_t serving = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            for (pid_t worker : server->workers())
                if (proc_status(worker)["Uid"].rfind(uid + "\t", 0) == 0) serving = worker;
            return serving > 0;
        },
        10s));
    auto status = proc_status(serving);
    EXPECT_EQ(status["Uid"], uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(status["Gid"], staff + "\t" + staff + "\t" + staff + "\t" + staff);
    std::istringstream listed(status["Groups"]);
    std::set<std::string> groups{std::istream_iterator<std::string>(listed), {}};
    EXPECT_EQ(groups, (std::set<std::string>{staff, other}));
}

TEST_F(hostacct_test, shadow_entries_that_match_no_password_refuse_the_owner) {
    struct case_row {
        const char *login;
        const char *password;
    };
    const case_row rows[] = {
        {"lockx@staff.example", "lock-host"}, // the right password of a locked entry
        {"lockx@staff.example", ""},
        {"bangx@staff.example", "!"},
        {"bangx@staff.example", "bang-host"},
        {"starx@staff.example", "*"},
        {"starx@staff.example", ""},
        {"emptyx@staff.example", ""},
        {"emptyx@staff.example", "empty-host"},
    };
    for (const case_row &row : rows) {
        connection c = connect_to(*server);
        // An answer, not a worker gone without one.
        EXPECT_EQ(login(c, row.login, row.password).status(), WRONG_AUTH)
            << row.login << " '" << row.password << "'";
    }
    EXPECT_TRUE(journal_has("emptyx [ Wrong password]"));
}

TEST_F(hostacct_test, an_owner_change_rewrites_only_the_users_shadow_entry) {
    const std::string before = shadow_text();
    const std::string records_before = read_text(database);
    struct stat old_status {};
    ASSERT_EQ(stat("/etc/shadow", &old_status), 0);

    const answer done = change("hana@staff.example", "hana-host", "hana-new1", true);
    EXPECT_EQ(done.status(), OK);
    EXPECT_EQ(done.method(), CONNECT);

    const std::string after = shadow_text();
    const auto old_lines = lines_of(before), new_lines = lines_of(after);
    ASSERT_EQ(new_lines.size(), old_lines.size());
    for (size_t i = 0; i < old_lines.size(); ++i) {
        if (old_lines[i].rfind("hana:", 0) == 0) continue;
        EXPECT_EQ(new_lines[i], old_lines[i]);
    }
    const auto old_fields = fields_of(entry_of(before, "hana"));
    const auto new_fields = fields_of(entry_of(after, "hana"));
    ASSERT_EQ(new_fields.size(), old_fields.size());
    EXPECT_NE(new_fields[1], old_fields[1]);
    for (size_t i = 2; i < old_fields.size(); ++i) EXPECT_EQ(new_fields[i], old_fields[i]);
    // The method the host's own password tool would have used.
    EXPECT_EQ(new_fields[1].rfind(host_method_prefix(), 0), 0u) << new_fields[1];
    // The host's own check of the new hash.
    const char *check = crypt("hana-new1", new_fields[1].c_str());
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(std::string(check), new_fields[1]);
    const spwd *entry = getspnam("hana");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::string(entry->sp_pwdp), new_fields[1]);

    // The replaced file is still the shadow file the host made: mode, owner and group.
    struct stat new_status {};
    ASSERT_EQ(stat("/etc/shadow", &new_status), 0);
    EXPECT_EQ(new_status.st_mode, old_status.st_mode);
    EXPECT_EQ(new_status.st_uid, old_status.st_uid);
    EXPECT_EQ(new_status.st_gid, old_status.st_gid);
    EXPECT_NE(new_status.st_ino, old_status.st_ino); // replaced, not rewritten in place
    EXPECT_FALSE(server->root().exists("tvn_aux_file"));
    EXPECT_EQ(read_text(database), records_before);

    connection with_new = connect_to(*server);
    ASSERT_EQ(login(with_new, "hana@staff.example", "hana-new1").status(), OK);
    EXPECT_EQ(private_area(with_new), OK);
    connection with_old = connect_to(*server);
    EXPECT_EQ(login(with_old, "hana@staff.example", "hana-host").status(), WRONG_AUTH);
}

TEST_F(hostacct_test, a_guest_change_rewrites_the_record_and_needs_the_host_password) {
    const std::string shadow_before = shadow_text();
    const std::string records_before = read_text(database);
    EXPECT_EQ(change("hana@staff.example", "hana-guest", "g-new", false).status(), WRONG_AUTH);
    EXPECT_EQ(read_text(database), records_before);

    const answer done = change("hana@staff.example", "hana-host", "g-new", false);
    EXPECT_EQ(done.status(), OK);
    EXPECT_EQ(shadow_text(), shadow_before);
    const auto old_lines = lines_of(records_before), new_lines = lines_of(read_text(database));
    ASSERT_EQ(new_lines.size(), old_lines.size());
    for (size_t i = 0; i < old_lines.size(); ++i) {
        if (old_lines[i].rfind("hana!", 0) == 0) {
            EXPECT_NE(new_lines[i], old_lines[i]);
            EXPECT_EQ(new_lines[i].substr(new_lines[i].find('!', 5)),
                      old_lines[i].substr(old_lines[i].find('!', 5)));
        } else {
            EXPECT_EQ(new_lines[i], old_lines[i]);
        }
    }
    connection guest = connect_to(*server);
    ASSERT_EQ(login(guest, "hana@staff.example", "g-new").status(), OK);
    EXPECT_EQ(private_area(guest), ACCESS_DENIED);
    connection old_guest = connect_to(*server);
    EXPECT_EQ(login(old_guest, "hana@staff.example", "hana-guest").status(), WRONG_AUTH);
    connection owner = connect_to(*server);
    EXPECT_EQ(login(owner, "hana@staff.example", "hana-host").status(), OK);
}

TEST_F(hostacct_test, changes_the_module_refuses_leave_the_shadow_file_alone) {
    const std::string before = shadow_text();
    struct case_row {
        const char *login;
        const char *current;
    };
    const case_row rows[] = {
        {"kim@staff.example", "kim-host"}, // a host user without a record
        {"kim@open.example", "kim-host"},
        {"ivo@staff.example", "ivo-host"}, // refused by the group rule
        {"hana@staff.example", "wrong"},
        {"hana@shells.example", "hana-host"}, // the domain allows no change
        {"lockx@staff.example", "lock-host"},
    };
    for (const case_row &row : rows)
        EXPECT_EQ(change(row.login, row.current, "taken-over", true).status(), WRONG_AUTH)
            << row.login;
    EXPECT_EQ(shadow_text(), before);
}

TEST_F(hostacct_test, only_the_entry_of_the_very_name_is_rewritten) {
    const std::string before = shadow_text();
    // Dana's entry comes first and differs in letter case only: it stays as it is.
    const answer done = change("dana@open.example", "dana-host", "dana-new", true);
    EXPECT_EQ(done.status(), OK);
    const std::string after = shadow_text();
    expect_only_entry_changed(before, after, "dana");
    EXPECT_EQ(entry_of(after, "Dana"), entry_of(before, "Dana"));
    const std::string hash = fields_of(entry_of(after, "dana"))[1];
    EXPECT_EQ(std::string(crypt("dana-new", hash.c_str())), hash);
    EXPECT_FALSE(server->root().exists("tvn_aux_file"));
    connection c = connect_to(*server);
    EXPECT_EQ(login(c, "dana@open.example", "dana-new").status(), OK);
}

TEST_F(hostacct_test, a_record_counts_only_for_the_host_user_of_its_very_name) {
    const std::string before = shadow_text();
    // Dana has no record; dana's, in other letter case, is not hers.
    for (const char *password : {"dana-capital", "dana-guest"}) {
        connection c = connect_to(*server);
        EXPECT_EQ(login(c, "Dana@open.example", password).status(), WRONG_AUTH) << password;
    }
    EXPECT_EQ(change("Dana@open.example", "dana-capital", "taken-over", true).status(), WRONG_AUTH);
    EXPECT_EQ(change("Dana@open.example", "dana-capital", "taken-over", false).status(),
              WRONG_AUTH);
    EXPECT_EQ(shadow_text(), before);
    connection owner = connect_to(*server);
    EXPECT_EQ(login(owner, "dana@open.example", "dana-host").status(), OK);
}

TEST_F(hostacct_test, a_host_user_of_user_id_0_never_logs_in_or_changes_a_password) {
    const command_result made =
        run_command({"/usr/sbin/useradd", "--badname", "-o", "-u", "0", "-g", "tvnstaff", "-l",
                     "-M", "-d", "/nonexistent", "-s", "/bin/sh", "toor"});
    ASSERT_EQ(made.exit_status, 0) << made.output;
    ASSERT_EQ(run_with_input({"/usr/sbin/chpasswd"}, "toor:toor-host\n"), 0);
    std::ofstream(database, std::ios::app) << "toor!" << crypt("toor-guest", "$1$guestslt") << "!"
                                           << server->root().file("home/hana") << "!!!!\n";
    const std::string before = shadow_text();
    for (const char *password : {"toor-host", "toor-guest"}) {
        connection c = connect_to(*server);
        EXPECT_EQ(login(c, "toor@open.example", password).status(), WRONG_AUTH) << password;
    }
    EXPECT_TRUE(journal_has("toor [ Logins of user id 0 are refused]"));
    EXPECT_EQ(change("toor@open.example", "toor-host", "toor-new", true).status(), WRONG_AUTH);
    EXPECT_EQ(change("toor@open.example", "toor-host", "toor-new", false).status(), WRONG_AUTH);
    EXPECT_EQ(shadow_text(), before);
}

TEST_F(hostacct_test, a_guest_change_takes_the_domains_hash_method) {
    const std::string shadow_before = shadow_text();
    EXPECT_EQ(change("hana@strong.example", "hana-host", "g-strong", false).status(), OK);
    const std::string hash = guest_hash_of("hana");
    EXPECT_EQ(hash.rfind("$6$", 0), 0u) << hash;
    EXPECT_EQ(std::string(crypt("g-strong", hash.c_str())), hash);
    EXPECT_EQ(change("jan@open.example", "jan-host", "g-md5", false).status(), OK);
    EXPECT_EQ(guest_hash_of("jan").rfind("$1$", 0), 0u) << guest_hash_of("jan");
    EXPECT_EQ(shadow_text(), shadow_before);
}

TEST_F(hostacct_test, an_empty_new_password_is_refused_and_nothing_is_written) {
    const std::string shadow_before = shadow_text();
    const std::string records_before = read_text(database);
    for (bool owner : {true, false}) {
        const answer done = change("hana@staff.example", "hana-host", "", owner);
        EXPECT_EQ(done.status(), 0) << "the module failed the change";
    }
    EXPECT_EQ(shadow_text(), shadow_before);
    EXPECT_EQ(read_text(database), records_before);
    EXPECT_TRUE(journal_has("hana [ Empty new password refused]"));
    connection c = connect_to(*server);
    EXPECT_EQ(login(c, "hana@staff.example", "hana-host").status(), OK);
}

TEST_F(hostacct_test, files_planted_in_the_root_never_become_the_shadow_file) {
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    // The service account may write the server root, where the marker of a rewrite lies.
    temp_root &root = server->root();
    ASSERT_EQ(chown(root.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const std::string before = shadow_text();
    struct stat old_status {};
    ASSERT_EQ(stat("/etc/shadow", &old_status), 0);
    rename_attacker attacker(root.path(), {root.file("tvn_aux_file"), "/etc/shadow"},
                             {"/etc", root.path()}, "root::0:0:99999:7:::\nhana::0:0:99999:7:::\n");
    ASSERT_TRUE(attacker.start());
    std::string current = "hana-host";
    int changed = 0;
    for (int attempt = 0; attempt < 12 && changed < 4; ++attempt) {
        const std::string fresh = "hana-race" + std::to_string(attempt);
        const std::string shadow_before = shadow_text();
        const std::uint8_t status = change("hana@staff.example", current, fresh, true).status();
        if (status != OK) {
            // The attacker's file took the marker's name just as a rewrite ended: a stale
            // marker, so this change gave up and changed nothing. The test clears it.
            EXPECT_EQ(status, 0) << "the module failed the change";
            EXPECT_EQ(shadow_text(), shadow_before);
            unlink(root.file("tvn_aux_file").c_str());
            continue;
        }
        current = fresh;
        ++changed;
    }
    attacker.stop();
    ASSERT_EQ(changed, 4);

    struct stat new_status {};
    ASSERT_EQ(stat("/etc/shadow", &new_status), 0);
    EXPECT_EQ(new_status.st_uid, 0u);
    EXPECT_EQ(new_status.st_gid, old_status.st_gid);
    EXPECT_EQ(new_status.st_mode, old_status.st_mode);
    const std::string after = shadow_text();
    expect_only_entry_changed(before, after, "hana");
    const std::string hash = fields_of(entry_of(after, "hana"))[1];
    EXPECT_EQ(std::string(crypt(current.c_str(), hash.c_str())), hash);
}

TEST_F(hostacct_test, an_owner_change_waits_for_the_hosts_password_file_lock) {
    const std::string before = shadow_text();
    password_lock_holder holder;
    ASSERT_TRUE(holder.hold());
    connection c = connect_to(*server);
    ASSERT_TRUE(c.send_all(
        changepwd_request("hana@staff.example", "hana-host", "hana-new2", true).build()));
    // Nothing is answered or written while the host's tools hold their lock.
    EXPECT_TRUE(c.nothing_received(1500ms));
    EXPECT_EQ(shadow_text(), before);
    holder.release();
    answer done;
    ASSERT_EQ(c.read_answer(done, ANSWER_TIMEOUT), read_result::answer_read);
    EXPECT_EQ(done.status(), OK);
    const std::string after = shadow_text();
    EXPECT_NE(after, before);
    const std::string hash = fields_of(entry_of(after, "hana"))[1];
    EXPECT_EQ(std::string(crypt("hana-new2", hash.c_str())), hash);
}

TEST_F(hostacct_test, an_owner_change_fails_when_the_hosts_lock_cannot_be_had) {
    const std::string before = shadow_text();
    password_lock_holder holder;
    ASSERT_TRUE(holder.hold());
    connection c = connect_to(*server);
    answer done;
    // The host's lock function gives up after about 15 seconds.
    ASSERT_EQ(
        c.request(changepwd_request("hana@staff.example", "hana-host", "hana-new3", true).build(),
                  done, 40s),
        read_result::answer_read);
    EXPECT_EQ(done.status(), 0) << "the module failed the change";
    EXPECT_TRUE(c.wait_closed(ANSWER_TIMEOUT));
    EXPECT_EQ(shadow_text(), before);
    EXPECT_FALSE(server->root().exists("tvn_aux_file"));
    EXPECT_TRUE(journal_has("hana [ Can't lock the host's password files]"));
}

// The namespace itself: a user made in the private copy never shows outside it.
TEST(hostacct_private_etc, users_made_in_the_copy_never_reach_the_machine) {
    if (getuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
    if (!account_tools_present()) GTEST_SKIP() << "useradd is not installed";
    const char *name = "tvnprobe";
    if (getpwnam(name) != nullptr) GTEST_SKIP() << "the machine has a user " << name;
    const std::string before = machine_account_files();
    const auto inside = run_in_child(
        [&]() -> std::string {
            private_etc etc;
            if (!etc.entered()) return "skip " + etc.failure();
            if (run_command({"/usr/sbin/useradd", "-l", "-M", "-d", "/nonexistent", name})
                    .exit_status != 0)
                return "useradd failed";
            return run_command({"/usr/bin/getent", "passwd", name}).output;
        },
        30s);
    ASSERT_TRUE(inside.has_value());
    if (inside->rfind("skip ", 0) == 0) GTEST_SKIP() << *inside;
    EXPECT_EQ(inside->rfind(std::string(name) + ":", 0), 0u) << *inside;
    EXPECT_EQ(getpwnam(name), nullptr);
    EXPECT_NE(run_command({"/usr/bin/getent", "passwd", name}).exit_status, 0);
    EXPECT_EQ(machine_account_files(), before);
}

} // namespace
