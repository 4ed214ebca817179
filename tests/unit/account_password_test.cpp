// What the two account modules' password changes share: the changes a module passes on
// without looking at any password (the domain does not allow them, no domain serves the name,
// the user has no record) and a database that cannot be opened. Each module's own rules for
// the current password, and the changes themselves, are tested in the module's own file.
#include <gtest/gtest.h>

#include <string>

#include "account_module_fixture.h"
#include "pooled_request.h"

namespace {

using tvn_test::pooled_request;

constexpr uint32_t owner_password = 1;
constexpr uint32_t guest_password = 2;

template <typename Module>
class account_password_test : public tvn_test::account_module_fixture<Module> {
protected:
    void SetUp() override {
        tvn_test::account_module_fixture<Module>::SetUp();
        if (testing::Test::HasFatalFailure()) return;
        database = Module::record("first", "F", "/home/first") +
                   Module::record("alice", this->hash("guest-pw", "$1$gggggggg"), "/home/alice");
        this->root.write_file("sales.db", database);
        ASSERT_EQ(this->load_section("  <VirtualDomain sales>\n"
                                     "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n"
                                     "    Alias sales\n"
                                     "    OwnerChangePassword Enabled\n"
                                     "    GuestChangePassword Enabled\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain owner_only>\n"
                                     "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n"
                                     "    Alias owner.only\n    OwnerChangePassword Enabled\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain fixed>\n"
                                     "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n"
                                     "    Alias fixed\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain gone>\n"
                                     "    PasswdFile @ROOT@missing.db\n    EnableDomain 1\n"
                                     "    Alias gone\n"
                                     "    OwnerChangePassword Enabled\n"
                                     "    GuestChangePassword Enabled\n"
                                     "  </VirtualDomain>\n"),
                  1)
            << this->printed;
    }

    struct change_result {
        int status = -1;
        bool new_hash = false; // local_path1 set
        int disconnect = -1;
    };

    change_result change(const char *user, const char *domain, uint32_t which) {
        pooled_request request;
        request->username = request.text(user);
        request->domain = request.text(domain);
        request->password = request.text("guest-pw");
        request->remote_path1 = request.text("fresh-pw");
        request->method_options = which;
        request->init_module_data = this->module.init_module_data;
        change_result result;
        ::testing::internal::CaptureStdout();
        result.status = Module::change_password(request.get());
        std::fflush(stdout);
        this->printed = ::testing::internal::GetCapturedStdout();
        result.new_hash = request->local_path1 != nullptr;
        result.disconnect = request->disconnect;
        return result;
    }

    std::string database;
};

TYPED_TEST_SUITE(account_password_test, tvn_test::account_modules, tvn_test::account_module_label);

TYPED_TEST(account_password_test, changes_the_module_does_not_make_are_passed_on) {
    struct case_row {
        const char *user;
        const char *domain;
        uint32_t which;
    };
    const case_row rows[] = {
        {"alice", "owner.only", guest_password}, // the domain allows owner changes only
        {"alice", "fixed", owner_password},      // the domain allows no change
        {"alice", "fixed", guest_password},
        {"alice", "elsewhere", owner_password}, // no domain serves the name
        {"carol", "sales", owner_password},     // users without a record
        {"root", "sales", owner_password},
        {"tvn-no-such-user", "sales", guest_password},
        {"alice!", "sales", owner_password},
    };
    for (const case_row &row : rows) {
        const auto refused = this->change(row.user, row.domain, row.which);
        const std::string what =
            std::string(row.user) + "@" + row.domain + " " + std::to_string(row.which);
        EXPECT_EQ(refused.status, NOT_HANDLED) << what;
        EXPECT_FALSE(refused.new_hash) << what;
        EXPECT_EQ(refused.disconnect, 0) << what;
        EXPECT_EQ(this->printed, "") << what;
        EXPECT_EQ(this->root.read_file("sales.db"), this->database) << what;
        EXPECT_FALSE(this->root.exists("tvn_aux_file")) << what;
    }
}

TYPED_TEST(account_password_test, a_database_that_cannot_be_opened_is_reported_and_passed_on) {
    for (uint32_t which : {owner_password, guest_password}) {
        const auto refused = this->change("alice", "gone", which);
        EXPECT_EQ(refused.status, NOT_HANDLED) << which;
        EXPECT_FALSE(refused.new_hash) << which;
        EXPECT_EQ(this->printed, "Can't open " + this->root.file("missing.db") + " file\n");
        EXPECT_FALSE(this->root.exists("missing.db"));
    }
}

} // namespace
