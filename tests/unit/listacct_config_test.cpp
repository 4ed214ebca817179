// The list-account module's configuration: the service account, the VirtualDomain
// subsections, every error message, and the module record it fills.
#include <dlfcn.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <string>
#include <vector>

#include "listacct_fixture.h"

namespace {

using listacct::list_domain;

const std::string cant_read = "Can't read config file for mod_virtual_users module\n";

class listacct_config_test : public tvn_test::listacct_fixture {
protected:
    // A module section holding lines, after a Server section that must be skipped.
    int load_section(const std::string &lines) {
        return load("<Server>\n  LoadModule listacct.so\n</Server>\n"
                    "<module mod_virtual_users>\n" + lines + "</module>\n");
    }
    int load_domain(const std::string &lines) {
        return load_section("  <VirtualDomain d>\n" + lines + "  </VirtualDomain>\n");
    }
    std::vector<std::string> aliases(const list_domain *domain) const {
        std::vector<std::string> names;
        for (const name_node *alias = domain->aliases; alias != nullptr; alias = alias->next)
            names.push_back(alias->name);
        return names;
    }
};

TEST_F(listacct_config_test, an_error_prints_its_message_and_fails_the_module) {
    struct case_row {
        std::string section;
        std::string message;
    };
    const std::string domain_head = "<VirtualDomain d>\nPasswdFile /db\n";
    const case_row rows[] = {
        {"TvnUser no_such_user_here\n",
         "Module mod_virtual_users: user no_such_user_here does't exist, please create it\n"},
        {"TvnGroup no_such_group_here\n",
         "Module mod_virtual_users: group no_such_group_here does't exist, please create it\n"},
        {"SomethingElse 1\n", "Module mod_virtual_users: section not complete\n"},
        {"<VirtualDomainX d>\n", "Module mod_virtual_users: section not complete\n"},
        {domain_head + "PasswdFile /other\n</VirtualDomain>\n",
         "You have already inserted field 'PasswdFile' \n"},
        {domain_head + "EnableDomain 2\n</VirtualDomain>\n", "Invalid value 2  for EnableDomain\n"},
        {domain_head + "EnableDomain yes\n</VirtualDomain>\n",
         "Invalid value yes  for EnableDomain\n"},
        {domain_head + "OwnerChangePassword enabled\n</VirtualDomain>\n",
         "Invalid value enabled  for OwnerChangePassword\n"},
        {domain_head + "GuestChangePassword On\n</VirtualDomain>\n",
         "Invalid value On  for GuestChangePassword\n"},
        {domain_head + "ShowSymLink 1\n</VirtualDomain>\n", "Invalid value 1  for ShowSymLink\n"},
        {domain_head + "FollowSymLink\n</VirtualDomain>\n", "Invalid value   for FollowSymLink\n"},
        {domain_head + "passwdfile /db\n</VirtualDomain>\n", "Unknown field passwdfile\n"},
        {domain_head + "<VirtualDomain e>\n", "Domain section badly closed\n"},
        {"<VirtualDomain d>\nEnableDomain 1\n</VirtualDomain>\n",
         "Module mod_virtual_users: can't read PasswdFile field, please insert one\n"},
        {"<VirtualDomain d>\n</VirtualDomain>\n",
         "Module mod_virtual_users: can't read PasswdFile field, please insert one\n"},
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

TEST_F(listacct_config_test, a_missing_file_or_section_fails_the_module) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(listacct::init(&module), INTERNAL_SERVER_ERR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), cant_read);

    EXPECT_EQ(load("<Server>\n</Server>\n<module mod_system_users>\n</module>\n"),
              INTERNAL_SERVER_ERR);
    EXPECT_EQ(printed, "I can't find <module mod_virtual_users> section, I can't go on\n" + cant_read);
}

TEST_F(listacct_config_test, the_module_record_is_filled_on_success) {
    ASSERT_EQ(load_section(""), 1);
    EXPECT_EQ(printed, "");
    EXPECT_STREQ(module.module_name, "mod_virtual_users");
    EXPECT_EQ(module.module_major_version, 1);
    EXPECT_EQ(module.module_minor_version, 1);
    EXPECT_EQ(module.init_module_data, settings());
    EXPECT_NE(module.auth_check, nullptr);
    EXPECT_EQ(module.auth_check2, nullptr);
    EXPECT_EQ(module.message_lookup, nullptr);
    EXPECT_NE(module.access_check, nullptr);
    EXPECT_EQ(module.path_translation, nullptr);
    EXPECT_EQ(module.logging, nullptr);
    EXPECT_NE(module.connection_closing, nullptr);
    EXPECT_NE(module.change_pwd, nullptr);
    EXPECT_NE(module.server_exit, nullptr);
    EXPECT_EQ(settings()->domains, nullptr);
}

TEST_F(listacct_config_test, the_service_account_defaults_to_nobody_and_is_never_root) {
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t nobody_uid = nobody->pw_uid;
    const gid_t nobody_gid = nobody->pw_gid;
    const passwd *daemon_user = getpwnam("daemon");
    const group *bin_group = getgrnam("bin");
    ASSERT_NE(daemon_user, nullptr);
    ASSERT_NE(bin_group, nullptr);
    struct case_row {
        std::string lines;
        uid_t uid;
        gid_t gid;
    };
    const case_row rows[] = {
        {"", nobody_uid, nobody_gid},
        {"TvnUser root\nTvnGroup root\n", nobody_uid, nobody_gid},
        {"TvnUser daemon\nTvnGroup bin\n", daemon_user->pw_uid, bin_group->gr_gid},
        {"TvnGroup bin\n", nobody_uid, bin_group->gr_gid},
        {"  # a comment\n\n \t\nTvnUser daemon\n", daemon_user->pw_uid, nobody_gid},
    };
    for (const case_row &row : rows) {
        ASSERT_EQ(load_section(row.lines), 1) << row.lines << printed;
        EXPECT_EQ(settings()->user_id, row.uid) << row.lines;
        EXPECT_EQ(settings()->group_id, row.gid) << row.lines;
        module.server_exit(&module);
    }
}

TEST_F(listacct_config_test, domains_keep_file_order_and_their_values) {
    ASSERT_EQ(load_section("  # the first domain\n"
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
                           "    PasswdFile /srv/second.db\n"
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
    const list_domain *first = settings()->domains;
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->passwd_file, "/srv/with blank/first.db");
    EXPECT_EQ(first->enabled, 1);
    EXPECT_EQ(first->owner_change_password, 1);
    EXPECT_EQ(first->guest_change_password, 0);
    EXPECT_EQ(aliases(first), (std::vector<std::string>{"two.example", "one.example"}));
    EXPECT_EQ(first->link_flags, TVN_LINK_SHOW | TVN_LINK_FOLLOW);

    const list_domain *second = first->next;
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->passwd_file, "/srv/second.db");
    EXPECT_EQ(second->enabled, 0);
    EXPECT_EQ(second->owner_change_password, 0);
    EXPECT_EQ(second->guest_change_password, 1);
    EXPECT_TRUE(aliases(second).empty());
    EXPECT_EQ(second->link_flags, TVN_LINK_FOLLOW);

    const list_domain *third = second->next;
    ASSERT_NE(third, nullptr);
    EXPECT_STREQ(third->passwd_file, "/srv/third.db");
    EXPECT_EQ(third->enabled, 0); // EnableDomain absent
    EXPECT_EQ(third->link_flags, 0);
    EXPECT_EQ(third->next, nullptr);
}

TEST_F(listacct_config_test, the_section_ends_at_its_closing_tag_or_the_end_of_the_file) {
    ASSERT_EQ(load_section("<VirtualDomain d>\nPasswdFile /db\n</VirtualDomain>\n"
                           "</module>\nNot a key of this section at all\n"),
              1)
        << printed;
    module.server_exit(&module);
    ASSERT_EQ(load("<module mod_virtual_users>\n<VirtualDomain d>\nPasswdFile /db"), 1) << printed;
    ASSERT_NE(settings()->domains, nullptr);
    EXPECT_STREQ(settings()->domains->passwd_file, "/db");
}

TEST_F(listacct_config_test, server_exit_gives_everything_back_to_the_start_up_pool) {
    ASSERT_EQ(load_section("<VirtualDomain a>\nPasswdFile /a\nAlias x\nAlias y\n</VirtualDomain>\n"
                           "<VirtualDomain b>\nPasswdFile /b\nAlias z\n</VirtualDomain>\n"),
              1);
    EXPECT_GT(mpool->init_pool->in_use, 0);
    EXPECT_EQ(module.server_exit(&module), 1);
    EXPECT_EQ(mpool->init_pool->in_use, 0);
    EXPECT_EQ(module.init_module_data, nullptr);
}

TEST_F(listacct_config_test, the_built_library_exports_init_module) {
    root.write_config("<module mod_virtual_users>\n<VirtualDomain d>\nPasswdFile /db\n"
                      "</VirtualDomain>\n</module>\n");
    void *library = dlopen(TVN_BUILT_MODULE_DIR "/listacct.so", RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = reinterpret_cast<tvn_init_module_fn>(dlsym(library, "init_module"));
    ASSERT_NE(init, nullptr);
    // The utility code inside stays private to the library.
    EXPECT_EQ(dlsym(library, "_Z8tvnprintP11tvn_requestPKcz"), nullptr);
    tvn_module loaded{};
    loaded.mpool = mpool;
    EXPECT_EQ(init(&loaded, root.path().c_str()), 1);
    EXPECT_STREQ(loaded.module_name, "mod_virtual_users");
    ASSERT_NE(loaded.server_exit, nullptr);
    EXPECT_EQ(loaded.server_exit(&loaded), 1);
    dlclose(library);
}

}  // namespace
