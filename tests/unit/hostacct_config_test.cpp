// The host-account module's configuration: the VirtualDomain subsections with their group and
// shell rules, every message, what is an error and what is not, and the module record.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostacct_fixture.h"

namespace {

using hostacct::host_domain;

const std::string cant_read = "Can't read config file for mod_system_users module\n";
const std::string no_passwd_file = "unix_auth_sys module: passwd_file field is not specified.\n";

std::vector<std::string> names(const name_node *list) {
    std::vector<std::string> found;
    for (; list != nullptr; list = list->next) found.push_back(list->name);
    return found;
}

class hostacct_config_test : public tvn_test::hostacct_fixture {
protected:
    // A module section holding lines, after a Server section and a list-account section that
    // must be skipped.
    int load_section(const std::string &lines) {
        return load("<Server>\n  LoadModule hostacct.so\n</Server>\n"
                    "<module mod_virtual_users>\n  TvnUser nobody\n</module>\n"
                    "<module mod_system_users>\n" + lines + "</module>\n");
    }
};

TEST_F(hostacct_config_test, an_error_prints_its_message_and_fails_the_module) {
    struct case_row {
        std::string section;
        std::string message;
    };
    const std::string head = "<VirtualDomain d>\nPasswdFile /db\n";
    const case_row rows[] = {
        // The section holds subsections only: the list-account keys are unknown here.
        {"TvnUser nobody\n",
         "Module mod_system_users: section not complete\n"
         "Module mod_system_users: unknown filed TvnUser\n"},
        {head + "</VirtualDomain>\n  \"Quoted key\" value\n",
         "Module mod_system_users: section not complete\n"
         "Module mod_system_users: unknown filed Quoted key\n"},
        {"<VirtualDomainX d>\n",
         "Module mod_system_users: section not complete\n"
         "Module mod_system_users: unknown filed <VirtualDomainX\n"},
        {head + "EnableDomain 2\n</VirtualDomain>\n", "Invalid value 2  for EnableDomain\n"},
        {head + "OwnerChangePassword enabled\n</VirtualDomain>\n",
         "Invalid value enabled  for OwnerChangePassword\n"},
        {head + "GuestChangePassword On\n</VirtualDomain>\n",
         "Invalid value On  for GuestChangePassword\n"},
        {head + "ShowSymLink 1\n</VirtualDomain>\n", "Invalid value 1  for ShowSymLink\n"},
        {head + "FollowSymLink\n</VirtualDomain>\n", "Invalid value   for FollowSymLink\n"},
        {head + "TvnGroup bin\n</VirtualDomain>\n", "Unknown field TvnGroup\n"},
        {head + "authorizedgroup staff\n</VirtualDomain>\n", "Unknown field authorizedgroup\n"},
        {head + "<VirtualDomain e>\n", "Domain section badly closed\n"},
        // A subsection without any key fails without a message of its own.
        {"<VirtualDomain d>\n</VirtualDomain>\n", ""},
        {"<VirtualDomain d>\n  # only a comment\n\n</VirtualDomain>\n", ""},
        {head + "</VirtualDomain>\n<VirtualDomain e>\n</VirtualDomain>\n", ""},
        // No subsection at all.
        {"", ""},
        {"  # nothing but a comment\n", ""},
    };
    for (const case_row &row : rows) {
        EXPECT_EQ(load_section(row.section), INTERNAL_SERVER_ERR) << row.section;
        EXPECT_EQ(printed, row.message + cant_read) << row.section;
        EXPECT_EQ(module.init_module_data, nullptr);
        EXPECT_EQ(module.auth_check, nullptr);
        // Nothing of a failed reading stays in the start-up pool.
        EXPECT_EQ(mpool->init_pool->in_use, 0) << row.section;
    }
}

TEST_F(hostacct_config_test, a_missing_file_or_section_fails_the_module) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(hostacct::init(&module), INTERNAL_SERVER_ERR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), cant_read);

    EXPECT_EQ(load("<Server>\n</Server>\n<module mod_virtual_users>\n</module>\n"),
              INTERNAL_SERVER_ERR);
    EXPECT_EQ(printed, "I can't find <module mod_system_users> section, I can't go on\n" + cant_read);
    EXPECT_EQ(module.auth_check, nullptr);
}

TEST_F(hostacct_config_test, only_the_first_domain_must_name_its_database) {
    EXPECT_EQ(load_section("<VirtualDomain d>\nEnableDomain 1\nAlias a\n</VirtualDomain>\n"
                           "<VirtualDomain e>\nPasswdFile /db\n</VirtualDomain>\n"),
              INTERNAL_SERVER_ERR);
    EXPECT_EQ(printed, no_passwd_file);
    EXPECT_EQ(module.init_module_data, nullptr);
    EXPECT_EQ(mpool->init_pool->in_use, 0);

    ASSERT_EQ(load_section("<VirtualDomain d>\nPasswdFile /db\n</VirtualDomain>\n"
                           "<VirtualDomain e>\nEnableDomain 1\nAlias later\n</VirtualDomain>\n"),
              1);
    EXPECT_EQ(printed, "");
    ASSERT_NE(domains()->next, nullptr);
    EXPECT_EQ(domains()->next->passwd_file, nullptr);
    EXPECT_EQ(names(domains()->next->aliases), std::vector<std::string>{"later"});
}

TEST_F(hostacct_config_test, a_second_database_is_a_warning_and_the_first_one_stays) {
    ASSERT_EQ(load_section("<VirtualDomain d>\nPasswdFile /first\nPasswdFile /second\n"
                           "EnableDomain 1\n</VirtualDomain>\n"),
              1);
    EXPECT_EQ(printed,
              "Keep attention, field 'PasswdFile' inserted two times.\nWe are storing the first one\n");
    EXPECT_STREQ(domains()->passwd_file, "/first");
    EXPECT_EQ(domains()->enabled, 1);
}

TEST_F(hostacct_config_test, the_module_record_is_filled_on_success) {
    ASSERT_EQ(load_section("<VirtualDomain d>\nPasswdFile /db\n</VirtualDomain>\n"), 1);
    EXPECT_EQ(printed, "");
    EXPECT_STREQ(module.module_name, "mod_system_users");
    EXPECT_EQ(module.module_major_version, 1);
    EXPECT_EQ(module.module_minor_version, 1);
    EXPECT_EQ(module.init_module_data, domains());
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

TEST_F(hostacct_config_test, domains_keep_file_order_their_values_and_their_lists) {
    const std::string long_path = "/srv/" + std::string(150, 'p') + "/hosts.db";
    ASSERT_EQ(load_section("  # the first domain\n"
                           "  <VirtualDomain first>\n"
                           "    PasswdFile \"/srv/with blank/first.db\" trailing words\n"
                           "    EnableDomain 1\n"
                           "\n"
                           "    # a comment inside\n"
                           "    OwnerChangePassword Enabled\n"
                           "    GuestChangePassword Disabled\n"
                           "    ShowSymLink Enabled\n"
                           "    FollowSymLink Enabled\n"
                           "    AuthorizedGroup staff\n"
                           "    AuthorizedShell /bin/sh\n"
                           "    AuthorizedGroup users\n"
                           "    Alias one.example\n"
                           "    AuthorizedShell /bin/bash\n"
                           "    Alias two.example\n"
                           "  </VirtualDomain>\n"
                           "  <VirtualDomain second>\n"
                           "    PasswdFile " + long_path + "\n"
                           "    EnableDomain 0\n"
                           "    GuestChangePassword Enabled\n"
                           "    FollowSymLink Enabled\n"
                           "    ShowSymLink Disabled\n"
                           "  </VirtualDomain>\n"
                           "  <VirtualDomain third>\n"
                           "    PasswdFile /srv/third.db\n"
                           "  </AnyClosingTag>\n"),
              1)
        << printed;
    const host_domain *first = domains();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->passwd_file, "/srv/with blank/first.db");
    EXPECT_EQ(first->enabled, 1);
    EXPECT_EQ(first->owner_change_password, 1);
    EXPECT_EQ(first->guest_change_password, 0);
    EXPECT_EQ(first->link_flags, TVN_LINK_SHOW | TVN_LINK_FOLLOW);
    // Every list keeps its values last first.
    EXPECT_EQ(names(first->aliases), (std::vector<std::string>{"two.example", "one.example"}));
    EXPECT_EQ(names(first->authorized_groups), (std::vector<std::string>{"users", "staff"}));
    EXPECT_EQ(names(first->authorized_shells), (std::vector<std::string>{"/bin/bash", "/bin/sh"}));

    const host_domain *second = first->next;
    ASSERT_NE(second, nullptr);
    // Lines longer than the first buffer are read whole.
    EXPECT_EQ(second->passwd_file, long_path);
    EXPECT_EQ(second->enabled, 0);
    EXPECT_EQ(second->owner_change_password, 0);
    EXPECT_EQ(second->guest_change_password, 1);
    EXPECT_EQ(second->link_flags, TVN_LINK_FOLLOW);
    EXPECT_EQ(second->aliases, nullptr);
    EXPECT_EQ(second->authorized_groups, nullptr);
    EXPECT_EQ(second->authorized_shells, nullptr);

    const host_domain *third = second->next;
    ASSERT_NE(third, nullptr);
    EXPECT_STREQ(third->passwd_file, "/srv/third.db");
    EXPECT_EQ(third->enabled, 0); // EnableDomain absent
    EXPECT_EQ(third->link_flags, 0);
    EXPECT_EQ(third->next, nullptr);
}

TEST_F(hostacct_config_test, the_section_ends_at_its_closing_tag_or_the_end_of_the_file) {
    ASSERT_EQ(load_section("<VirtualDomain d>\nPasswdFile /db\n</VirtualDomain>\n"
                           "</module>\nNot a key of this section at all\n"),
              1)
        << printed;
    module.server_exit(&module);
    ASSERT_EQ(load("<module mod_system_users>\n<VirtualDomain d>\nPasswdFile /db"), 1) << printed;
    ASSERT_NE(domains(), nullptr);
    EXPECT_STREQ(domains()->passwd_file, "/db");
}

TEST_F(hostacct_config_test, server_exit_gives_everything_back_to_the_start_up_pool) {
    ASSERT_EQ(load_section("<VirtualDomain a>\nPasswdFile /a\nAlias x\nAlias y\n"
                           "AuthorizedGroup g\nAuthorizedShell /bin/sh\n</VirtualDomain>\n"
                           "<VirtualDomain b>\nAuthorizedGroup h\n</VirtualDomain>\n"),
              1);
    EXPECT_GT(mpool->init_pool->in_use, 0);
    EXPECT_EQ(module.server_exit(&module), 1);
    EXPECT_EQ(mpool->init_pool->in_use, 0);
    EXPECT_EQ(module.init_module_data, nullptr);
}

TEST_F(hostacct_config_test, the_built_library_exports_init_module) {
    root.write_config("<module mod_system_users>\n<VirtualDomain d>\nPasswdFile /db\n"
                      "</VirtualDomain>\n</module>\n");
    void *library = dlopen(TVN_BUILT_MODULE_DIR "/hostacct.so", RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = reinterpret_cast<tvn_init_module_fn>(dlsym(library, "init_module"));
    ASSERT_NE(init, nullptr);
    // The utility code inside stays private to the library.
    EXPECT_EQ(dlsym(library, "_Z8tvnprintP11tvn_requestPKcz"), nullptr);
    tvn_module loaded{};
    loaded.mpool = mpool;
    EXPECT_EQ(init(&loaded, root.path().c_str()), 1);
    EXPECT_STREQ(loaded.module_name, "mod_system_users");
    ASSERT_NE(loaded.server_exit, nullptr);
    EXPECT_EQ(loaded.server_exit(&loaded), 1);
    dlclose(library);
}

}  // namespace
