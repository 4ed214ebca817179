// What the two account modules' configurations share: the keys of a VirtualDomain subsection
// (PasswordHash among them), their messages, the order of the domains, the end of the section,
// the module record, and giving everything back. Each module's own keys and rules are tested
// in its own file.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "account_module_fixture.h"

namespace {

template <typename Module>
class account_config_test : public tvn_test::account_module_fixture<Module> {
protected:
    using domain = typename Module::domain_type;
    const domain *first() const { return Module::first_domain(this->module); }

    static std::vector<std::string> aliases(const domain *found) {
        std::vector<std::string> names;
        for (const name_node *alias = found->aliases; alias != nullptr; alias = alias->next)
            names.push_back(alias->name);
        return names;
    }
    // Two domains: the first with the given PasswordHash line (none when empty), the second
    // without one.
    int load_with_hash(const std::string &line) {
        return this->load(std::string("<module ") + Module::section +
                          ">\n"
                          "  <VirtualDomain first>\n    PasswdFile /db\n    EnableDomain 1\n" +
                          line +
                          "  </VirtualDomain>\n"
                          "  <VirtualDomain second>\n    PasswdFile /db\n  </VirtualDomain>\n"
                          "</module>\n");
    }
};

TYPED_TEST_SUITE(account_config_test, tvn_test::account_modules, tvn_test::account_module_label);

TYPED_TEST(account_config_test, a_bad_key_or_value_prints_its_message_and_fails_the_module) {
    const std::string head = "<VirtualDomain d>\nPasswdFile /db\n";
    this->expect_refusals({
        {head + "EnableDomain 2\n</VirtualDomain>\n", "Invalid value 2  for EnableDomain\n"},
        {head + "EnableDomain yes\n</VirtualDomain>\n", "Invalid value yes  for EnableDomain\n"},
        {head + "OwnerChangePassword enabled\n</VirtualDomain>\n",
         "Invalid value enabled  for OwnerChangePassword\n"},
        {head + "GuestChangePassword On\n</VirtualDomain>\n",
         "Invalid value On  for GuestChangePassword\n"},
        {head + "ShowSymLink 1\n</VirtualDomain>\n", "Invalid value 1  for ShowSymLink\n"},
        {head + "FollowSymLink\n</VirtualDomain>\n", "Invalid value   for FollowSymLink\n"},
        // Keys compare with their case, and keys of the service account belong outside.
        {head + "passwdfile /db\n</VirtualDomain>\n", "Unknown field passwdfile\n"},
        {head + "authorizedgroup staff\n</VirtualDomain>\n", "Unknown field authorizedgroup\n"},
        {head + "TvnGroup bin\n</VirtualDomain>\n", "Unknown field TvnGroup\n"},
        {head + "<VirtualDomain e>\n", "Domain section badly closed\n"},
    });
}

TYPED_TEST(account_config_test, a_missing_file_or_section_fails_the_module) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(TypeParam::init(&this->module), INTERNAL_SERVER_ERR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), this->cant_read());

    EXPECT_EQ(this->load(std::string("<Server>\n</Server>\n<module ") + TypeParam::other_section +
                         ">\n</module>\n"),
              INTERNAL_SERVER_ERR);
    EXPECT_EQ(this->printed, std::string("I can't find <module ") + TypeParam::section +
                                 "> section, I can't go on\n" + this->cant_read());
    EXPECT_EQ(this->module.auth_check, nullptr);
}

TYPED_TEST(account_config_test, the_module_record_is_filled_on_success) {
    ASSERT_EQ(this->load_section("<VirtualDomain d>\nPasswdFile /db\n</VirtualDomain>\n"), 1);
    EXPECT_EQ(this->printed, "");
    const tvn_module &module = this->module;
    EXPECT_STREQ(module.module_name, TypeParam::section);
    EXPECT_EQ(module.module_major_version, 1);
    EXPECT_EQ(module.module_minor_version, 1);
    EXPECT_NE(module.init_module_data, nullptr);
    EXPECT_NE(module.auth_check, nullptr);
    EXPECT_EQ(module.auth_check2, nullptr);
    EXPECT_EQ(module.message_lookup, nullptr);
    EXPECT_NE(module.access_check, nullptr);
    EXPECT_EQ(module.path_translation, nullptr);
    EXPECT_EQ(module.logging, nullptr);
    EXPECT_NE(module.connection_closing, nullptr);
    EXPECT_NE(module.change_pwd, nullptr);
    EXPECT_NE(module.server_exit, nullptr);
}

TYPED_TEST(account_config_test, domains_keep_file_order_and_their_values) {
    const std::string long_path = "/srv/" + std::string(150, 'p') + "/accounts.db";
    ASSERT_EQ(this->load_section("  # the first domain\n"
                                 "  <VirtualDomain first>\n"
                                 "    PasswdFile \"/srv/with blank/first.db\" trailing words\n"
                                 "    EnableDomain 1\n"
                                 "\n"
                                 "    # a comment inside\n"
                                 "    OwnerChangePassword Enabled\n"
                                 "    GuestChangePassword Disabled\n"
                                 "    Alias one.example\n"
                                 "    Alias two.example\n"
                                 "    ShowSymLink Enabled\n"
                                 "    FollowSymLink Enabled\n"
                                 "  </VirtualDomain>\n"
                                 "  <VirtualDomain second>\n"
                                 "    PasswdFile " +
                                 long_path +
                                 "\n"
                                 "    EnableDomain 0\n"
                                 "    GuestChangePassword Enabled\n"
                                 "    FollowSymLink Enabled\n"
                                 "    ShowSymLink Disabled\n"
                                 "  </VirtualDomain>\n"
                                 "  <VirtualDomain third>\n"
                                 "    PasswdFile /srv/third.db\n"
                                 "  </AnyClosingTag>\n"),
              1)
        << this->printed;
    const auto *first = this->first();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->passwd_file, "/srv/with blank/first.db");
    EXPECT_EQ(first->enabled, 1);
    EXPECT_EQ(first->owner_change_password, 1);
    EXPECT_EQ(first->guest_change_password, 0);
    // The aliases keep their values last first.
    EXPECT_EQ(this->aliases(first), (std::vector<std::string>{"two.example", "one.example"}));
    EXPECT_EQ(first->link_flags, TVN_LINK_SHOW | TVN_LINK_FOLLOW);

    const auto *second = first->next;
    ASSERT_NE(second, nullptr);
    // Lines longer than the first buffer are read whole.
    EXPECT_EQ(second->passwd_file, long_path);
    EXPECT_EQ(second->enabled, 0);
    EXPECT_EQ(second->owner_change_password, 0);
    EXPECT_EQ(second->guest_change_password, 1);
    EXPECT_EQ(second->aliases, nullptr);
    EXPECT_EQ(second->link_flags, TVN_LINK_FOLLOW);

    const auto *third = second->next;
    ASSERT_NE(third, nullptr);
    EXPECT_STREQ(third->passwd_file, "/srv/third.db");
    EXPECT_EQ(third->enabled, 0); // EnableDomain absent
    EXPECT_EQ(third->link_flags, 0);
    EXPECT_EQ(third->next, nullptr);
}

TYPED_TEST(account_config_test, md5_is_the_default_hash_and_each_method_is_taken_per_domain) {
    struct case_row {
        const char *line;
        salt_form form;
    };
    const case_row rows[] = {
        {"", salt_form::md5},
        {"    PasswordHash md5\n", salt_form::md5},
        {"    PasswordHash sha512\n", salt_form::sha512},
        {"    PasswordHash yescrypt\n", salt_form::yescrypt},
        {"    PasswordHash \"yescrypt\"\n", salt_form::yescrypt},
    };
    for (const case_row &row : rows) {
        ASSERT_EQ(this->load_with_hash(row.line), 1) << row.line << this->printed;
        EXPECT_EQ(this->printed, "");
        EXPECT_EQ(this->first()->password_hash, row.form) << row.line;
        EXPECT_EQ(this->first()->next->password_hash, salt_form::md5) << row.line;
        this->unload();
    }
}

TYPED_TEST(account_config_test, any_other_password_hash_is_invalid) {
    for (const char *value : {"MD5", "des", "sha256", "bcrypt", "md5x"}) {
        EXPECT_EQ(this->load_with_hash(std::string("    PasswordHash ") + value + "\n"),
                  INTERNAL_SERVER_ERR)
            << value;
        EXPECT_EQ(this->printed, std::string("Invalid value ") + value + "  for PasswordHash\n" +
                                     this->cant_read());
        EXPECT_EQ(this->module.init_module_data, nullptr);
    }
    EXPECT_EQ(this->load_with_hash("    PasswordHash\n"), INTERNAL_SERVER_ERR);
    EXPECT_EQ(this->printed, "Invalid value   for PasswordHash\n" + this->cant_read());
}

TYPED_TEST(account_config_test, the_section_ends_at_its_closing_tag_or_the_end_of_the_file) {
    ASSERT_EQ(this->load_section("<VirtualDomain d>\nPasswdFile /db\n</VirtualDomain>\n"
                                 "</module>\nNot a key of this section at all\n"),
              1)
        << this->printed;
    this->unload();
    ASSERT_EQ(this->load(std::string("<module ") + TypeParam::section +
                         ">\n<VirtualDomain d>\nPasswdFile /db"),
              1)
        << this->printed;
    ASSERT_NE(this->first(), nullptr);
    EXPECT_STREQ(this->first()->passwd_file, "/db");
}

TYPED_TEST(account_config_test, server_exit_gives_everything_back_to_the_start_up_pool) {
    ASSERT_EQ(this->load_section("<VirtualDomain a>\nPasswdFile /a\nAlias x\nAlias y\n"
                                 "</VirtualDomain>\n"
                                 "<VirtualDomain b>\nPasswdFile /b\nAlias z\n</VirtualDomain>\n"),
              1);
    EXPECT_GT(this->mpool->init_pool->in_use, 0);
    EXPECT_EQ(this->module.server_exit(&this->module), 1);
    EXPECT_EQ(this->mpool->init_pool->in_use, 0);
    EXPECT_EQ(this->module.init_module_data, nullptr);
}

TYPED_TEST(account_config_test, the_built_library_exports_init_module) {
    this->root.write_config(std::string("<module ") + TypeParam::section +
                            ">\n<VirtualDomain d>\nPasswdFile /db\n</VirtualDomain>\n</module>\n");
    void *library =
        dlopen((std::string(TVN_BUILT_MODULE_DIR "/") + TypeParam::library).c_str(), RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = reinterpret_cast<tvn_init_module_fn>(dlsym(library, "init_module"));
    ASSERT_NE(init, nullptr);
    // The utility code and the modules' common code inside stay private to the library.
    EXPECT_EQ(dlsym(library, "_Z8tvnprintP11tvn_requestPKcz"), nullptr);
    EXPECT_EQ(dlsym(library, "_Z10holds_namePK9name_nodePKc"), nullptr);
    tvn_module loaded{};
    loaded.mpool = this->mpool;
    EXPECT_EQ(init(&loaded, this->root.path().c_str()), 1);
    EXPECT_STREQ(loaded.module_name, TypeParam::section);
    ASSERT_NE(loaded.server_exit, nullptr);
    EXPECT_EQ(loaded.server_exit(&loaded), 1);
    dlclose(library);
}

} // namespace
