// Changing a list account's passwords: who may change what, the rewritten database, and the
// failures that leave it unchanged. The module works in the root, where its temporary file is
// made.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "child_run.h"
#include "listacct_fixture.h"
#include "pooled_request.h"

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
        database = "first!F1!F2!/home/first!!!!\n"
                   "\talice!" + owner_hash + "!" + guest_hash + "!/home/alice!!!!\n"
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
                       "  <VirtualDomain fixed>\n"
                       "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n    Alias fixed\n"
                       "  </VirtualDomain>\n"
                       "  <VirtualDomain gone>\n"
                       "    PasswdFile @ROOT@missing.db\n    EnableDomain 1\n    Alias gone\n"
                       "    OwnerChangePassword Enabled\n    GuestChangePassword Enabled\n"
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
        return "first!F1!F2!/home/first!!!!\n" + alice_line(owner, guest) + "last!L1!L2!!/p!/q!/w!\n";
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

TEST_F(listacct_password_test, changes_the_module_does_not_make_are_passed_on) {
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
        {"alice", "owner.only", "owner-pw", guest_password},
        {"alice", "fixed", "owner-pw", owner_password},
        {"alice", "fixed", "owner-pw", guest_password},
        {"alice", "elsewhere", "owner-pw", owner_password},
        {"carol", "sales", "owner-pw", owner_password},
        {"alice!" , "sales", "owner-pw", owner_password},
    };
    for (const case_row &row : rows) {
        const change_result refused = change(row.user, row.domain, row.current, "x", row.which);
        EXPECT_EQ(refused.status, NOT_HANDLED) << row.domain << " " << row.current << " " << row.which;
        EXPECT_EQ(refused.disconnect, 0);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(root.read_file("sales.db"), database);
    }
    // The owner-only domain does change the owner password.
    EXPECT_EQ(change("alice", "owner.only", "owner-pw", "x", owner_password).status, OK);
}

TEST_F(listacct_password_test, a_database_that_cannot_be_opened_is_reported_and_passed_on) {
    const change_result refused = change("alice", "gone", "owner-pw", "x", owner_password);
    EXPECT_EQ(refused.status, NOT_HANDLED);
    EXPECT_EQ(printed, "Can't open " + root.file("missing.db") + " file\n");
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

}  // namespace
