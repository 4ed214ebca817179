// Accounts made by tvnadduser log in to a real server through the list-account module and
// reach their areas.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "client_session.h"
#include "tool_dialogue.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_tools_test;
using namespace tvn_client;

class tvnadduser_login_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "the worker switches to the service account: needs root";
        const passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        nobody_uid = nobody->pw_uid;
        nobody_gid = nobody->pw_gid;
        const group *service_group = getgrgid(nobody_gid);
        ASSERT_NE(service_group, nullptr);
        server_options options;
        options.modules = {"listacct.so", "pathmap.so"};
        options.start = false;
        options.module_sections = std::string("<module mod_virtual_users>\n") +
                                  "    TvnUser nobody\n    TvnGroup " + service_group->gr_name +
                                  "\n    <VirtualDomain sales>\n"
                                  "        PasswdFile @ROOT@users/sales.passwd\n"
                                  "        EnableDomain 1\n"
                                  "        Alias sales.example\n"
                                  "    </VirtualDomain>\n"
                                  "</module>\n";
        server = std::make_unique<test_server>(options);
        fs::create_directory(root().file("users"));
        fs::create_directory(root().file("homes"));
        database = root().file("users/sales.passwd");
    }

    temp_root &root() { return server->root(); }

    void add(const std::string &name, const std::vector<step> &directories) {
        const std::vector<step> steps = std::vector<step>{said(login_prompt, name)} +
                                        password_steps(owner_prompt, name + "-owner") +
                                        password_steps(guest_prompt, name + "-guest") + directories;
        const run_result result = run_dialogue({adduser_program, database, root().path()}, steps);
        ASSERT_EQ(result.status, 0) << result.output;
    }

    // The worker works as the service account: the root (for ./tvn_aux_file) and the
    // database must be reachable by it.
    void start_server() {
        for (const std::string &path : {root().path(), root().file("users"), database})
            ASSERT_EQ(chown(path.c_str(), nobody_uid, nobody_gid), 0);
        ASSERT_TRUE(server->start()) << server->output();
    }

    std::uint8_t login(connection &c, const std::string &name, const std::string &password) {
        return exchange(c, connect_request(name + "@sales.example", password)).status();
    }

    std::unique_ptr<test_server> server;
    std::string database;
    uid_t nobody_uid = 0;
    gid_t nobody_gid = 0;
};

TEST_F(tvnadduser_login_test, an_account_with_a_home_directory_logs_in_as_owner_and_guest) {
    add("mia", {said(home_prompt, root().file("homes/mia"))});
    start_server();

    connection owner = connect_to(*server);
    ASSERT_EQ(login(owner, "mia", "mia-owner"), OK);
    EXPECT_EQ(exchange(owner, getdir_request("/Private")).status(), OK);
    EXPECT_EQ(exchange(owner, mkdir_request("/Web/site")).status(), OK);
    EXPECT_TRUE(fs::is_directory(root().file("homes/mia/Web/site")));

    connection guest = connect_to(*server);
    ASSERT_EQ(login(guest, "MIA", "mia-guest"), OK);
    EXPECT_EQ(exchange(guest, getdir_request("/Public")).status(), OK);

    connection wrong = connect_to(*server);
    EXPECT_EQ(login(wrong, "mia", "nope"), WRONG_AUTH);
}

TEST_F(tvnadduser_login_test, an_account_with_three_directories_reaches_each) {
    add("noah", {said(home_prompt, ""), said(private_prompt, root().file("homes/noah-p")),
                 said(public_prompt, root().file("homes/noah-pub")),
                 said(web_prompt, root().file("homes/noah-web"))});
    start_server();

    connection owner = connect_to(*server);
    ASSERT_EQ(login(owner, "noah", "noah-owner"), OK);
    for (const char *area : {"/Private", "/Public", "/Web"})
        EXPECT_EQ(exchange(owner, getdir_request(area)).status(), OK) << area;
    EXPECT_EQ(exchange(owner, mkdir_request("/Private/letters")).status(), OK);
    EXPECT_TRUE(fs::is_directory(root().file("homes/noah-p/letters")));
}

} // namespace
