// The host-account module's own configuration: a section of subsections only, its group and
// shell rules, and its rules for "PasswdFile". What it shares with the list-account module is
// tested in account_config_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostacct_fixture.h"

namespace {

using hostacct::host_domain;

const std::string no_passwd_file = "unix_auth_sys module: passwd_file field is not specified.\n";

std::vector<std::string> names(const name_node *list) {
    std::vector<std::string> found;
    for (; list != nullptr; list = list->next) found.push_back(list->name);
    return found;
}

class hostacct_config_test : public tvn_test::hostacct_fixture {};

TEST_F(hostacct_config_test, an_error_prints_its_message_and_fails_the_module) {
    const std::string head = "<VirtualDomain d>\nPasswdFile /db\n";
    expect_refusals({
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
        // A subsection without any key fails without a message of its own.
        {"<VirtualDomain d>\n</VirtualDomain>\n", ""},
        {"<VirtualDomain d>\n  # only a comment\n\n</VirtualDomain>\n", ""},
        {head + "</VirtualDomain>\n<VirtualDomain e>\n</VirtualDomain>\n", ""},
        // No subsection at all.
        {"", ""},
        {"  # nothing but a comment\n", ""},
    });
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
    EXPECT_EQ(
        printed,
        "Keep attention, field 'PasswdFile' inserted two times.\nWe are storing the first one\n");
    EXPECT_STREQ(domains()->passwd_file, "/first");
    EXPECT_EQ(domains()->enabled, 1);
}

TEST_F(hostacct_config_test, authorized_groups_and_shells_keep_their_values_last_first) {
    ASSERT_EQ(load_section("  <VirtualDomain first>\n"
                           "    PasswdFile /srv/first.db\n"
                           "    AuthorizedGroup staff\n"
                           "    AuthorizedShell /bin/sh\n"
                           "    AuthorizedGroup users\n"
                           "    Alias one.example\n"
                           "    AuthorizedShell /bin/bash\n"
                           "    Alias two.example\n"
                           "  </VirtualDomain>\n"
                           "  <VirtualDomain second>\n"
                           "    PasswdFile /srv/second.db\n"
                           "  </VirtualDomain>\n"),
              1)
        << printed;
    const host_domain *first = domains();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(names(first->aliases), (std::vector<std::string>{"two.example", "one.example"}));
    EXPECT_EQ(names(first->authorized_groups), (std::vector<std::string>{"users", "staff"}));
    EXPECT_EQ(names(first->authorized_shells), (std::vector<std::string>{"/bin/bash", "/bin/sh"}));
    const host_domain *second = first->next;
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->authorized_groups, nullptr);
    EXPECT_EQ(second->authorized_shells, nullptr);
}

TEST_F(hostacct_config_test, server_exit_gives_the_lists_back_to_the_start_up_pool) {
    ASSERT_EQ(load_section("<VirtualDomain a>\nPasswdFile /a\nAlias x\nAlias y\n"
                           "AuthorizedGroup g\nAuthorizedShell /bin/sh\n</VirtualDomain>\n"
                           "<VirtualDomain b>\nAuthorizedGroup h\n</VirtualDomain>\n"),
              1);
    EXPECT_GT(mpool->init_pool->in_use, 0);
    EXPECT_EQ(module.server_exit(&module), 1);
    EXPECT_EQ(mpool->init_pool->in_use, 0);
    EXPECT_EQ(module.init_module_data, nullptr);
}

} // namespace
