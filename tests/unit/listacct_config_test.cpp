// The list-account module's own configuration: the service account, the keys of the module
// section outside the subsections, and its rules for "PasswdFile". What it shares with the
// host-account module is tested in account_config_test.cpp.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <string>

#include "listacct_fixture.h"

namespace {

class listacct_config_test : public tvn_test::listacct_fixture {};

TEST_F(listacct_config_test, an_error_prints_its_message_and_fails_the_module) {
    const std::string domain_head = "<VirtualDomain d>\nPasswdFile /db\n";
    expect_refusals({
        {"TvnUser no_such_user_here\n",
         "Module mod_virtual_users: user no_such_user_here does't exist, please create it\n"},
        {"TvnGroup no_such_group_here\n",
         "Module mod_virtual_users: group no_such_group_here does't exist, please create it\n"},
        {"SomethingElse 1\n", "Module mod_virtual_users: section not complete\n"},
        {"<VirtualDomainX d>\n", "Module mod_virtual_users: section not complete\n"},
        {domain_head + "PasswdFile /other\n</VirtualDomain>\n",
         "You have already inserted field 'PasswdFile' \n"},
        {"<VirtualDomain d>\nEnableDomain 1\n</VirtualDomain>\n",
         "Module mod_virtual_users: can't read PasswdFile field, please insert one\n"},
        {"<VirtualDomain d>\n</VirtualDomain>\n",
         "Module mod_virtual_users: can't read PasswdFile field, please insert one\n"},
    });
}

TEST_F(listacct_config_test, a_section_without_domains_is_read) {
    ASSERT_EQ(load_section(""), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(module.init_module_data, settings());
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

} // namespace
