// What the two account modules' logins share: the domain lookup, the logins a module passes
// on, the symbolic-link rule of the hooks that follow a login, and forgetting the login when
// the connection closes. Logins that succeed, and each module's own refusals, are tested in
// the module's own file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "account_login.h"
#include "account_module_fixture.h"
#include "pooled_request.h"

namespace {

using tvn_test::pooled_request;

template <typename Module>
class account_auth_test : public tvn_test::account_module_fixture<Module> {
protected:
    void SetUp() override {
        tvn_test::account_module_fixture<Module>::SetUp();
        if (testing::Test::HasFatalFailure()) return;
        const std::string guest = this->hash("guest-pw", "$1$gggggggg");
        this->root.write_file("sales.db", Module::record("alice", guest, "/home/alice"));
        this->root.write_file("first.db", Module::record("alice", guest, "/first"));
        this->root.write_file("last.db", Module::record("lena", guest, "/home/lena"));
        ASSERT_EQ(this->load_section("  <VirtualDomain first>\n"
                                     "    PasswdFile @ROOT@first.db\n    EnableDomain 1\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain sales>\n"
                                     "    PasswdFile @ROOT@sales.db\n    EnableDomain 1\n"
                                     "    Alias sales.example\n    Alias sales\n"
                                     "    ShowSymLink Enabled\n    FollowSymLink Enabled\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain closed>\n"
                                     "    PasswdFile @ROOT@sales.db\n    EnableDomain 0\n"
                                     "    Alias closed.example\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain gone>\n"
                                     "    PasswdFile @ROOT@missing.db\n    EnableDomain 1\n"
                                     "    Alias gone.example\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain last>\n"
                                     "    PasswdFile @ROOT@last.db\n    EnableDomain 1\n"
                                     "    ShowSymLink Enabled\n"
                                     "  </VirtualDomain>\n"
                                     "  <VirtualDomain off>\n"
                                     "    PasswdFile @ROOT@first.db\n    EnableDomain 0\n"
                                     "  </VirtualDomain>\n"),
                  1)
            << this->printed;
        ASSERT_TRUE(tvn_test::make_login_link(this->root));
    }

    std::string database_of(const char *client_domain) const {
        const auto *domain = Module::check_address(this->module, client_domain);
        return domain != nullptr ? domain->passwd_file : "none";
    }
};

TYPED_TEST_SUITE(account_auth_test, tvn_test::account_modules, tvn_test::account_module_label);

TYPED_TEST(account_auth_test, the_domain_is_found_by_alias_or_else_is_the_last_default) {
    struct case_row {
        const char *client_domain;
        std::string database;
    };
    const tvn_test::temp_root &root = this->root;
    const case_row rows[] = {
        {"sales.example", root.file("sales.db")}, // an alias beats the earlier default
        {"sales", root.file("sales.db")},
        {"gone.example", root.file("missing.db")},
        {"SALES.example", root.file("last.db")},  // aliases compare exactly
        {"closed.example", root.file("last.db")}, // a disabled domain never matches
        {"elsewhere", root.file("last.db")},      // the last enabled default wins
        {"", root.file("last.db")},
        {nullptr, root.file("last.db")},
    };
    for (const case_row &row : rows)
        EXPECT_EQ(this->database_of(row.client_domain), row.database)
            << (row.client_domain ? row.client_domain : "NULL");
}

TYPED_TEST(account_auth_test, looking_a_name_up_many_times_gives_the_same_domain) {
    const auto *first = TypeParam::check_address(this->module, "sales");
    const auto *fallback = TypeParam::check_address(this->module, "elsewhere");
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(TypeParam::check_address(this->module, "sales"), first);
        ASSERT_EQ(TypeParam::check_address(this->module, "elsewhere"), fallback);
    }
    EXPECT_EQ(std::string(fallback->passwd_file), this->root.file("last.db"));
    // The lookup leaves the aliases as they were.
    EXPECT_STREQ(first->aliases->name, "sales");
    EXPECT_STREQ(first->aliases->next->name, "sales.example");
    EXPECT_EQ(first->aliases->next->next, nullptr);
}

TYPED_TEST(account_auth_test, without_a_default_domain_an_unknown_name_is_not_handled) {
    this->unload();
    ASSERT_EQ(this->load_section("<VirtualDomain sales>\nPasswdFile @ROOT@sales.db\n"
                                 "EnableDomain 1\nAlias sales\n</VirtualDomain>\n"
                                 "<VirtualDomain off>\nPasswdFile @ROOT@first.db\nEnableDomain 0\n"
                                 "</VirtualDomain>\n"),
              1);
    EXPECT_EQ(TypeParam::check_address(this->module, "elsewhere"), nullptr);
    pooled_request request;
    request->username = request.text("alice");
    request->domain = request.text("elsewhere");
    request->password = request.text("guest-pw");
    request->init_module_data = this->module.init_module_data;
    EXPECT_EQ(TypeParam::auth(request.get()), NOT_HANDLED);
    EXPECT_EQ(request->log_message, nullptr);
}

TYPED_TEST(account_auth_test, users_the_database_does_not_know_are_passed_on) {
    struct case_row {
        const char *user;
        const char *domain;
        std::string log;
    };
    const case_row rows[] = {
        {"carol", "sales", "NULL"},
        {"al", "sales", "NULL"}, // a name is no prefix of another
        {"alice!", "sales", "NULL"},
        {"lena", "sales", "NULL"}, // known in another domain only
        {"alice", "gone.example", "Can't open database file " + this->root.file("missing.db")},
    };
    for (const case_row &row : rows) {
        const tvn_test::login_report done = tvn_test::log_in_child(
            TypeParam::auth, TypeParam::access_check, this->module.init_module_data,
            {row.user, row.domain, "guest-pw"}, this->root.file("link"));
        ASSERT_FALSE(done.empty()) << row.user;
        EXPECT_EQ(done.at("status"), std::to_string(NOT_HANDLED)) << row.user;
        EXPECT_EQ(done.at("log"), row.log) << row.user;
        EXPECT_EQ(done.at("flags"), "0") << row.user;
        EXPECT_EQ(done.at("private"), "NULL") << row.user;
        EXPECT_EQ(done.at("public"), "NULL") << row.user;
        EXPECT_EQ(done.at("uid"), std::to_string(getuid()) + "," + std::to_string(geteuid()));
        // Without a login of the module's own, it says nothing of links.
        EXPECT_EQ(done.at("access"), std::to_string(NOT_HANDLED)) << row.user;
    }
}

TYPED_TEST(account_auth_test, symbolic_links_are_allowed_only_when_shown_and_followed) {
    const tvn_test::temp_root &root = this->root;
    root.write_file("plain", "x");
    ASSERT_EQ(symlink(root.file("nowhere").c_str(), root.file("dangling").c_str()), 0);
    const std::string link = root.file("link"), plain = root.file("plain"),
                      dangling = root.file("dangling");
    struct case_row {
        uintptr_t flags;
        const char *path1;
        const char *path2;
        int status;
    };
    const case_row rows[] = {
        {0, link.c_str(), nullptr, ACCESS_DENIED}, // a domain that allows no links
        {0, plain.c_str(), nullptr, NOT_HANDLED},
        {3, link.c_str(), nullptr, OK},
        {1, link.c_str(), nullptr, ACCESS_DENIED},
        {2, link.c_str(), nullptr, ACCESS_DENIED},
        {3, dangling.c_str(), nullptr, OK},
        {1, dangling.c_str(), nullptr, ACCESS_DENIED},
        {3, plain.c_str(), nullptr, NOT_HANDLED},
        {1, plain.c_str(), link.c_str(), ACCESS_DENIED},
        {3, plain.c_str(), link.c_str(), OK},
        {1, nullptr, link.c_str(), ACCESS_DENIED},
        {1, plain.c_str(), plain.c_str(), NOT_HANDLED},
        {1, nullptr, nullptr, NOT_HANDLED},
    };
    for (const case_row &row : rows) {
        pooled_request request;
        request->user_module_data = login_data(uint8_t(row.flags));
        request->local_path1 = row.path1 != nullptr ? request.text(row.path1) : nullptr;
        request->local_path2 = row.path2 != nullptr ? request.text(row.path2) : nullptr;
        EXPECT_EQ(TypeParam::access_check(request.get()), row.status)
            << row.flags << " " << (row.path1 ? row.path1 : "NULL") << " "
            << (row.path2 ? row.path2 : "NULL");
        EXPECT_EQ(request->link_permission, row.flags) << row.flags;
    }
}

TYPED_TEST(account_auth_test, without_a_login_of_its_own_the_module_says_nothing_of_links) {
    pooled_request request;
    request->local_path1 = request.text(this->root.file("link"));
    EXPECT_EQ(TypeParam::access_check(request.get()), NOT_HANDLED);
    EXPECT_EQ(request->link_permission, 0);
}

TYPED_TEST(account_auth_test, closing_the_connection_forgets_the_login) {
    pooled_request request;
    request->user_module_data = login_data(3);
    request->local_path1 = request.text(this->root.file("link"));
    EXPECT_EQ(TypeParam::access_check(request.get()), OK);
    EXPECT_EQ(TypeParam::connection_closing(request.get()), OK);
    EXPECT_EQ(request->user_module_data, nullptr);
    EXPECT_EQ(TypeParam::access_check(request.get()), NOT_HANDLED);
}

} // namespace
