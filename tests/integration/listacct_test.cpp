// The list-account module end to end, with the real server: logins, the service account and
// password changes.
#include <crypt.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "client_session.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_client;

std::string hash(const char *password, const char *salt) { return crypt(password, salt); }

// Fields of /proc/PID/status by name.
std::map<std::string, std::string> proc_status(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(status, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        fields[line.substr(0, colon)] = value;
    }
    return fields;
}

class listacct_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "the worker switches to the service account: needs root";
        nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        const group *service_group = getgrgid(nobody->pw_gid);
        server_options options;
        options.modules = {"listacct.so", "pathmap.so", "test_logger_module.so"};
        options.start = false;
        options.module_sections = std::string("<module mod_virtual_users>\n") +
                                  "    TvnUser nobody\n    TvnGroup " + service_group->gr_name +
                                  "\n    <VirtualDomain sales>\n"
                                  "        PasswdFile @ROOT@users/sales.passwd\n"
                                  "        EnableDomain 1\n"
                                  "        OwnerChangePassword Enabled\n"
                                  "        GuestChangePassword Enabled\n"
                                  "        Alias sales.example\n"
                                  "    </VirtualDomain>\n"
                                  "</module>\n";
        server = std::make_unique<test_server>(options);
        temp_root &root = server->root();
        fs::create_directory(root.file("users"));
        for (const char *dir :
             {"home/alice", "home/alice/Private", "home/alice/Public", "home/alice/Web"})
            fs::create_directories(root.file(dir));
        database = root.file("users/sales.passwd");
        std::ofstream(database) << "bob!" << hash("b", "$1$bbbbbbbb") << "!!!!!!\n"
                                << "alice!" << hash("owner-pw", "$1$aaaaaaaa") << "!"
                                << hash("guest-pw", "ab") << "!" << root.file("home/alice")
                                << "!!!!\n";
        // The worker works as the service account: the root (for ./tvn_aux_file) and the
        // database's directory must be writable by it.
        for (const std::string &path : {root.path(), root.file("users"), database})
            ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_TRUE(server->start()) << server->output();
    }

    answer login(connection &c, const std::string &login_text, const std::string &password) {
        return exchange(c, connect_request(login_text, password));
    }
    std::string database_text() {
        std::ifstream in(database);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    const passwd *nobody = nullptr;
    std::unique_ptr<test_server> server;
    std::string database;
};

TEST_F(listacct_test, owners_and_guests_log_in_and_others_are_refused) {
    struct case_row {
        const char *login;
        const char *password;
        std::uint8_t status;
    };
    for (const case_row &row : {case_row{"alice@sales.example", "owner-pw", OK},
                                case_row{"ALICE@sales.example", "guest-pw", OK},
                                case_row{"alice@sales.example", "wrong", WRONG_AUTH},
                                case_row{"carol@sales.example", "owner-pw", WRONG_AUTH},
                                case_row{"alice@elsewhere", "owner-pw", WRONG_AUTH}}) {
        connection c = connect_to(*server);
        EXPECT_EQ(login(c, row.login, row.password).status(), row.status)
            << row.login << " " << row.password;
    }
}

TEST_F(listacct_test, a_guest_with_a_home_directory_sees_only_public) {
    std::ofstream(server->root().file("home/alice/Private/secret")) << "s";
    connection owner = connect_to(*server);
    ASSERT_EQ(login(owner, "alice@sales.example", "owner-pw").status(), OK);
    EXPECT_EQ(exchange(owner, getdir_request("/Private")).body_length(), 7u + 4u);
    connection guest = connect_to(*server);
    ASSERT_EQ(login(guest, "alice@sales.example", "guest-pw").status(), OK);
    EXPECT_EQ(exchange(guest, getdir_request("/Public")).status(), OK);
    EXPECT_EQ(exchange(guest, getdir_request("/Private/")).status(), ACCESS_DENIED);
    EXPECT_EQ(exchange(guest, open_request("/Private/secret", open_mode::read_only)).status(),
              ACCESS_DENIED);
}

TEST_F(listacct_test, the_worker_runs_as_the_service_account_with_one_group) {
    const auto before = server->workers();
    connection c = connect_to(*server);
    ASSERT_EQ(login(c, "alice@sales.example", "owner-pw").status(), OK);
    pid_t serving = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            for (pid_t worker : server->workers())
                if (proc_status(worker)["Uid"].rfind(std::to_string(nobody->pw_uid) + "\t", 0) == 0)
                    serving = worker;
            return serving > 0;
        },
        10s));
    auto status = proc_status(serving);
    const std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nobody->pw_gid);
    EXPECT_EQ(status["Uid"], uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(status["Gid"], gid + "\t" + gid + "\t" + gid + "\t" + gid);
    std::string groups = status["Groups"];
    groups.erase(groups.find_last_not_of(' ') + 1);
    EXPECT_EQ(groups, gid);
}

TEST_F(listacct_test, a_password_change_rewrites_the_database_and_the_new_password_works) {
    struct stat before {};
    ASSERT_EQ(stat(database.c_str(), &before), 0);
    const std::string old_text = database_text();
    connection c = connect_to(*server);
    answer changed =
        exchange(c, changepwd_request("alice@sales.example", "owner-pw", "fresh-pw", true));
    EXPECT_EQ(changed.status(), OK);
    EXPECT_EQ(changed.method(), CONNECT);
    EXPECT_TRUE(c.wait_closed(ANSWER_TIMEOUT));

    const std::string new_text = database_text();
    EXPECT_NE(new_text, old_text);
    EXPECT_EQ(new_text.substr(0, new_text.find('\n')), old_text.substr(0, old_text.find('\n')));
    EXPECT_NE(new_text.find("alice!$1$"), std::string::npos);
    struct stat after {};
    ASSERT_EQ(stat(database.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_FALSE(fs::exists(server->root().file("tvn_aux_file")));

    connection with_new = connect_to(*server);
    EXPECT_EQ(login(with_new, "alice@sales.example", "fresh-pw").status(), OK);
    connection with_old = connect_to(*server);
    EXPECT_EQ(login(with_old, "alice@sales.example", "owner-pw").status(), WRONG_AUTH);
}

TEST_F(listacct_test, the_guest_password_changes_only_with_the_owner_password) {
    connection by_guest = connect_to(*server);
    EXPECT_EQ(exchange(by_guest, changepwd_request("alice@sales.example", "guest-pw", "g2", false))
                  .status(),
              WRONG_AUTH);
    connection by_owner = connect_to(*server);
    EXPECT_EQ(exchange(by_owner, changepwd_request("alice@sales.example", "owner-pw", "g2", false))
                  .status(),
              OK);
    connection guest = connect_to(*server);
    EXPECT_EQ(login(guest, "alice@sales.example", "g2").status(), OK);
}

TEST_F(listacct_test, links_are_refused_by_default_also_through_linked_directories) {
    // The domain says nothing of links, so neither ShowSymLink nor FollowSymLink holds.
    const std::string pub = server->root().file("home/alice/Public");
    fs::create_directory_symlink("/etc", pub + "/etc");
    fs::create_symlink("/etc/hostname", pub + "/hostname");
    connection alice = connect_to(*server);
    ASSERT_EQ(login(alice, "alice@sales.example", "owner-pw").status(), OK);
    EXPECT_EQ(exchange(alice, open_request("/Public/hostname", TVN_OPEN_READ)).status(),
              ACCESS_DENIED);
    EXPECT_EQ(exchange(alice, open_request("/Public/etc/hostname", TVN_OPEN_READ)).status(),
              ACCESS_DENIED);
    EXPECT_EQ(exchange(alice, getdir_request("/Public/etc")).status(), ACCESS_DENIED);
    EXPECT_EQ(exchange(alice, delete_request("/Public/hostname")).status(), ACCESS_DENIED);
    answer listing = exchange(alice, getdir_request("/Public"));
    ASSERT_EQ(listing.status(), OK);
    EXPECT_EQ(listing.body_length(), 0u); // links are not even shown
    EXPECT_TRUE(fs::is_symlink(pub + "/hostname"));
}

} // namespace
