// A configuration that starts but cannot serve someone says so in the output file, one line
// each, and starts all the same.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "test_server.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;

// A list-account domain whose database is at database, with password changes enabled or not.
server_options list_accounts(const std::string &database, bool changes) {
    const passwd *nobody = getpwnam("nobody");
    server_options options;
    options.modules = {"listacct.so", "pathmap.so"};
    options.module_sections = std::string("<module mod_virtual_users>\n    TvnUser nobody\n    TvnGroup ") +
                              getgrgid(nobody->pw_gid)->gr_name +
                              "\n    <VirtualDomain sales>\n        PasswdFile " + database +
                              "\n        EnableDomain 1\n" +
                              (changes ? "        OwnerChangePassword Enabled\n" : "") +
                              "    </VirtualDomain>\n</module>\n";
    return options;
}

TEST(startup_warnings, a_database_that_cannot_be_read_is_named_with_the_reason) {
    test_server server(list_accounts("@ROOT@users/missing.passwd", false));
    ASSERT_TRUE(server.running()) << server.output();
    EXPECT_NE(server.output().find("warning: mod_virtual_users: the account database " +
                                   server.root().path() +
                                   "users/missing.passwd cannot be read: No such file or directory"),
              std::string::npos)
        << server.output();
}

TEST(startup_warnings, a_database_the_service_account_cannot_rewrite_is_named_when_changes_are_on) {
    if (getuid() != 0) GTEST_SKIP() << "the service account differs from the tester only as root";
    server_options options = list_accounts("@ROOT@users/root-only.passwd", true);
    options.start = false;
    test_server server(options);
    fs::create_directory(server.root().file("users"));
    std::ofstream(server.root().file("users/root-only.passwd")) << "bob!x!!!!!!\n";
    chmod(server.root().file("users/root-only.passwd").c_str(), 0600); // root's alone
    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_NE(server.output().find("warning: mod_virtual_users: password changes are enabled, but "
                                   "the service account"),
              std::string::npos)
        << server.output();
    EXPECT_NE(server.output().find("a change of " + server.root().path() + "users/root-only.passwd made after a login"),
              std::string::npos);
}

TEST(startup_warnings, a_usable_domain_gives_no_warning) {
    if (getuid() != 0) GTEST_SKIP() << "the database is given to the service account";
    server_options options = list_accounts("@ROOT@users/good.passwd", true);
    options.start = false;
    test_server server(options);
    const passwd *nobody = getpwnam("nobody");
    fs::create_directory(server.root().file("users"));
    std::ofstream(server.root().file("users/good.passwd")) << "bob!x!!!!!!\n";
    for (const std::string &path : {server.root().path(), server.root().file("users"),
                                    server.root().file("users/good.passwd")})
        ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_EQ(server.output().find("warning:"), std::string::npos) << server.output();
}

}  // namespace
