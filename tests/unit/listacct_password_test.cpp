// Changing a list account's passwords: who may change what, the form of the new hash, the
// rewritten database, the failures that leave it unchanged, and another local user who plants
// files in the root while changes run. What the change shares with the host-account module is
// tested in account_password_test.cpp. The module works in the root, where its marker file is
// made; the new database is written beside the database.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "child_run.h"
#include "listacct_fixture.h"
#include "pooled_request.h"
#include "rename_attacker.h"

namespace {

using tvn_test::pooled_request;

constexpr uint32_t owner_password = 1;
constexpr uint32_t guest_password = 2;

struct change_result {
    int status = -1;
    std::string new_hash; // local_path1
    int disconnect = -1;
};

class listacct_password_test : public tvn_test::listacct_fixture {
protected:
    void SetUp() override {
        listacct_fixture::SetUp();
        if (testing::Test::HasFatalFailure()) return;
        owner_hash = hash("owner-pw", "$1$aaaaaaaa");
        guest_hash = hash("guest-pw", "$1$bbbbbbbb");
        database =
            "first!F1!F2!/home/first!!!!\n"
            "\talice!" +
            owner_hash + "!" + guest_hash +
            "!/home/alice!!!!\n"
            "last!L1!L2!!/p!/q!/w!\n";
        root.write_file("sales.db", database);
        ASSERT_EQ(load("<module mod_virtual_users>\n"
                       "  <VirtualDomain sales>\n"
                       "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n    Alias sales\n"
                       "    OwnerChangePassword Enabled\n    GuestChangePassword Enabled\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain owner_only>\n"
                       "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n    Alias owner.only\n"
                       "    OwnerChangePassword Enabled\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain strong>\n"
                       "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n    Alias strong\n"
                       "    OwnerChangePassword Enabled\n    GuestChangePassword Enabled\n"
                       "    PasswordHash sha512\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain yes>\n"
                       "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n    Alias yes\n"
                       "    OwnerChangePassword Enabled\n    GuestChangePassword Enabled\n"
                       "    PasswordHash yescrypt\n"
                       "  </VirtualDomain>\n"
                       "</module>\n"),
                  1)
            << printed;
    }

    change_result change(const char *user, const char *domain, const char *current,
                         const char *fresh, uint32_t which) {
        pooled_request request;
        request->username = request.text(user);
        request->domain = request.text(domain);
        request->password = request.text(current);
        request->remote_path1 = request.text(fresh);
        request->method_options = which;
        request->init_module_data = settings();
        change_result result;
        ::testing::internal::CaptureStdout();
        result.status = listacct::change_password(request.get());
        std::fflush(stdout);
        printed = ::testing::internal::GetCapturedStdout();
        if (request->local_path1 != nullptr) result.new_hash = request->local_path1;
        result.disconnect = request->disconnect;
        return result;
    }

    std::string alice_line(const std::string &owner, const std::string &guest) const {
        return "\talice!" + owner + "!" + guest + "!/home/alice!!!!\n";
    }
    std::string database_with(const std::string &owner, const std::string &guest) const {
        return "first!F1!F2!/home/first!!!!\n" + alice_line(owner, guest) +
               "last!L1!L2!!/p!/q!/w!\n";
    }

    std::string owner_hash, guest_hash, database;
};

TEST_F(listacct_password_test, the_owner_password_changes_to_an_md5_hash) {
    const change_result done = change("alice", "sales", "owner-pw", "fresh-pw", owner_password);
    ASSERT_EQ(done.status, OK) << printed;
    EXPECT_EQ(done.disconnect, 1);
    EXPECT_EQ(done.new_hash.size(), 34u);
    EXPECT_EQ(done.new_hash.rfind("$1$", 0), 0u);
    EXPECT_EQ(hash("fresh-pw", done.new_hash), done.new_hash);
    EXPECT_EQ(root.read_file("sales.db"), database_with(done.new_hash, guest_hash));
    EXPECT_FALSE(root.exists("tvn_aux_file"));
}

TEST_F(listacct_password_test, the_guest_password_changes_with_the_owner_password) {
    const change_result done = change("ALICE", "sales", "owner-pw", "new-guest", guest_password);
    ASSERT_EQ(done.status, OK) << printed;
    EXPECT_EQ(done.disconnect, 1);
    EXPECT_EQ(hash("new-guest", done.new_hash), done.new_hash);
    EXPECT_EQ(root.read_file("sales.db"), database_with(owner_hash, done.new_hash));
}

TEST_F(listacct_password_test, a_current_password_not_the_owners_is_passed_on) {
    struct case_row {
        const char *user;
        const char *domain;
        const char *current;
        uint32_t which;
    };
    const case_row rows[] = {
        {"alice", "sales", "guest-pw", guest_password}, // the guest's own password is not enough
        {"alice", "sales", "guest-pw", owner_password},
        {"alice", "sales", "wrong", owner_password},
        {"alice", "sales", "", guest_password},
    };
    for (const case_row &row : rows) {
        const change_result refused = change(row.user, row.domain, row.current, "x", row.which);
        EXPECT_EQ(refused.status, NOT_HANDLED)
            << row.domain << " " << row.current << " " << row.which;
        EXPECT_EQ(refused.disconnect, 0);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(root.read_file("sales.db"), database);
    }
    // The owner-only domain does change the owner password.
    EXPECT_EQ(change("alice", "owner.only", "owner-pw", "x", owner_password).status, OK);
}

TEST_F(listacct_password_test, a_rewrite_that_fails_leaves_the_database_unchanged) {
    root.write_file("tvn_aux_file", "stale");
    const change_result failed = change("alice", "sales", "owner-pw", "fresh-pw", owner_password);
    EXPECT_EQ(failed.status, INTERNAL_SERVER_ERR);
    EXPECT_EQ(failed.disconnect, 0);
    EXPECT_EQ(root.read_file("sales.db"), database);
}

TEST_F(listacct_password_test, the_new_password_logs_in_and_the_old_one_no_longer_does) {
    if (geteuid() != 0) GTEST_SKIP() << "the login switches user and groups: needs root";
    ASSERT_EQ(change("alice", "sales", "owner-pw", "fresh-pw", owner_password).status, OK);
    auto login = [&](const char *password) {
        return tvn_test::run_in_child([&] {
            pooled_request request;
            request->username = request.text("alice");
            request->domain = request.text("sales");
            request->password = request.text(password);
            request->init_module_data = settings();
            const int status = listacct::auth(request.get());
            return std::to_string(status) + "/" + std::to_string(request->is_guest);
        });
    };
    EXPECT_EQ(login("fresh-pw"), std::to_string(OK) + "/0");
    EXPECT_EQ(login("owner-pw"), std::to_string(WRONG_AUTH) + "/2");
    EXPECT_EQ(login("guest-pw"), std::to_string(OK) + "/1");
}

TEST_F(listacct_password_test, the_domains_password_hash_decides_the_form_of_the_new_hash) {
    struct case_row {
        const char *domain;
        uint32_t which;
        const char *prefix;
        std::size_t length; // 0: not fixed
    };
    const case_row rows[] = {
        {"strong", owner_password, "$6$", 106},
        {"strong", guest_password, "$6$", 106},
        {"yes", guest_password, "$y$", 0},
        {"sales", guest_password, "$1$", 34},
    };
    std::string owner = owner_hash, guest = guest_hash;
    std::string current = "owner-pw";
    for (const case_row &row : rows) {
        const std::string fresh = std::string("pw-") + row.domain + std::to_string(row.which);
        const change_result done =
            change("alice", row.domain, current.c_str(), fresh.c_str(), row.which);
        ASSERT_EQ(done.status, OK) << row.domain << " " << printed;
        EXPECT_EQ(done.new_hash.rfind(row.prefix, 0), 0u) << done.new_hash;
        if (row.length != 0) {
            EXPECT_EQ(done.new_hash.size(), row.length) << done.new_hash;
        }
        EXPECT_EQ(hash(fresh, done.new_hash), done.new_hash);
        (row.which == owner_password ? owner : guest) = done.new_hash;
        if (row.which == owner_password) current = fresh;
        EXPECT_EQ(root.read_file("sales.db"), database_with(owner, guest));
    }
}

TEST_F(listacct_password_test, an_empty_new_password_is_refused_and_nothing_is_written) {
    for (uint32_t which : {owner_password, guest_password}) {
        for (const char *fresh : {"", static_cast<const char *>(nullptr)}) {
            pooled_request request;
            request->username = request.text("alice");
            request->domain = request.text("sales");
            request->password = request.text("owner-pw");
            request->remote_path1 = fresh != nullptr ? request.text(fresh) : nullptr;
            request->method_options = which;
            request->init_module_data = settings();
            EXPECT_EQ(listacct::change_password(request.get()), INTERNAL_SERVER_ERR);
            EXPECT_EQ(request->disconnect, 0);
            EXPECT_EQ(request->local_path1, nullptr);
            ASSERT_NE(request->log_message, nullptr);
            EXPECT_STREQ(request->log_message, " Empty new password refused");
            EXPECT_EQ(root.read_file("sales.db"), database);
            EXPECT_FALSE(root.exists("tvn_aux_file"));
        }
    }
    // A wrong current password is still answered as one, empty new password or not.
    EXPECT_EQ(change("alice", "sales", "wrong", "", owner_password).status, NOT_HANDLED);
}

// The server root is writable by the service account, nobody; the database lies in a
// directory of root's. Another user working in the root must never get a file of theirs
// installed as the database.
class listacct_rewrite_attack_test : public tvn_test::listacct_fixture {
protected:
    void SetUp() override {
        listacct_fixture::SetUp();
        if (testing::Test::HasFatalFailure()) return;
        if (geteuid() != 0) GTEST_SKIP() << "the attacker runs as nobody: needs root";
        nobody = getpwnam("nobody");
        if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
        ASSERT_EQ(mkdir(root.file("users").c_str(), 0755), 0);
        original =
            "first!F1!F2!/home/first!!!!\n"
            "alice!" +
            hash("owner-pw", "$1$aaaaaaaa") +
            "!G!/home/alice!!!!\n"
            "last!L1!L2!!/p!/q!/w!\n";
        root.write_file("users/sales.db", original);
        ASSERT_EQ(chmod(root.file("users/sales.db").c_str(), 0640), 0);
        ASSERT_EQ(load("<module mod_virtual_users>\n"
                       "  <VirtualDomain sales>\n"
                       "    PasswdFile @ROOT@users/sales.db\n    EnableDomain 1\n"
                       "    OwnerChangePassword Enabled\n"
                       "  </VirtualDomain>\n"
                       "</module>\n"),
                  1)
            << printed;
        ASSERT_EQ(chown(root.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }

    int change(const std::string &current, const std::string &fresh) {
        pooled_request request;
        request->username = request.text("alice");
        request->domain = request.text("sales");
        request->password = request.text(current);
        request->remote_path1 = request.text(fresh);
        request->method_options = owner_password;
        request->init_module_data = settings();
        return listacct::change_password(request.get());
    }

    const passwd *nobody = nullptr;
    std::string original;
};

TEST_F(listacct_rewrite_attack_test, files_planted_in_the_root_never_become_the_database) {
    tvn_test::rename_attacker attacker(
        root.path(), {root.file("tvn_aux_file"), root.file("users/sales.db")},
        {root.file("users"), root.path()}, "alice!$1$planted$planted!G!/!!!!\n");
    ASSERT_TRUE(attacker.start());
    std::string current = "owner-pw";
    int changed = 0;
    for (int attempt = 0; attempt < 15 && changed < 6; ++attempt) {
        const std::string fresh = "new-pw-" + std::to_string(attempt);
        const std::string before = root.read_file("users/sales.db");
        const int status = change(current, fresh);
        if (status != OK) {
            // The attacker's file took the marker's name just as a rewrite ended: a stale
            // marker, so this change gave up and changed nothing. The test clears it.
            EXPECT_EQ(status, INTERNAL_SERVER_ERR);
            EXPECT_EQ(root.read_file("users/sales.db"), before);
            unlink(root.file("tvn_aux_file").c_str());
            continue;
        }
        current = fresh;
        ++changed;
    }
    attacker.stop();
    ASSERT_EQ(changed, 6);

    struct stat status {};
    ASSERT_EQ(stat(root.file("users/sales.db").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_gid, 0u);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    const std::string text = root.read_file("users/sales.db");
    const size_t start = text.find("alice!") + 6;
    const std::string owner = text.substr(start, text.find('!', start) - start);
    EXPECT_TRUE(password_matches(current.c_str(), owner.c_str())) << text;
    std::string expected = original;
    const size_t old_start = original.find("alice!") + 6;
    expected.replace(old_start, original.find('!', old_start) - old_start, owner);
    EXPECT_EQ(text, expected);
}

} // namespace
