// tvnsysadduser: host accounts for existing host users, the y/n home question, and records
// that the host-account module reads.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "account_db.h"
#include "child_run.h"
#include "server_root.h"
#include "tool_dialogue.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_tools_test;
using tvn_test::temp_root;

// An existing host user that the tests give directories to; the machine's accounts are never
// changed.
constexpr const char *host_user = "daemon";

// In a child: a private mount namespace in which dir stands in for /home, so that the host's
// own /home is never touched.
bool home_replaced_by(const std::string &dir) {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(dir.c_str(), "/home", nullptr, MS_BIND, nullptr) == 0;
}

class tvnsysadduser_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0)
            GTEST_SKIP() << "the tool gives the directories to the host user: needs root";
        const passwd *user = getpwnam(host_user);
        if (user == nullptr) GTEST_SKIP() << "no host user " << host_user;
        owner = {user->pw_uid, user->pw_gid, 0755};
        fs::create_directory(root.file("users"));
    }

    run_result add(const std::vector<step> &steps, const tvn_test::pty_options &options = {}) {
        return run_dialogue({sysadduser_program, database}, steps, options);
    }
    static std::vector<step> name_and_guest(const std::string &name) {
        return std::vector<step>{said(login_prompt, name)} +
               password_steps(guest_prompt, "guest-pw");
    }

    temp_root root;
    std::string database = root.file("users/host.passwd");
    file_owner owner{};
};

TEST_F(tvnsysadduser_test, a_name_that_is_no_host_user_stops_after_the_name) {
    const std::string name = "tvn-no-such-host-user";
    ASSERT_EQ(getpwnam(name.c_str()), nullptr);
    const run_result result = add({said(login_prompt, name)});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output, login_prompt + name + "\nThe '" + name + "' user does not exist.\n");
    EXPECT_FALSE(exists(database));
}

TEST_F(tvnsysadduser_test, answering_n_asks_for_three_directories_given_to_the_host_user) {
    const std::string private_dir = root.file("p"), public_dir = root.file("pub"),
                      web_dir = root.file("web");
    const run_result result =
        add(name_and_guest(host_user) +
            std::vector{said(system_home_prompt, "maybe"), said(system_home_prompt, "n"),
                        said(private_prompt, private_dir), said(public_prompt, "pub"),
                        said(public_prompt, public_dir), said(web_prompt, web_dir + "/")});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(
        result.output.find("maybe\nPlease, answer 'y' (yes) or 'n' (no).\n" + system_home_prompt),
        std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find(owner_prompt), std::string::npos) << result.output;

    const std::string text = read_text(database);
    const stored_record fields = record_of(text, host_user, record_layout::host_account);
    EXPECT_EQ(text, std::string(host_user) + "!" + fields.guest_hash + "!!" + private_dir + "!" +
                        public_dir + "!" + web_dir + "!\n");
    EXPECT_EQ(fields.guest_hash.size(), 34u);
    EXPECT_EQ(fields.guest_hash.rfind("$1$", 0), 0u);
    EXPECT_TRUE(password_matches("guest-pw", fields.guest_hash.c_str()));
    EXPECT_EQ(fields.private_dir, private_dir);
    EXPECT_EQ(fields.web_dir, web_dir);
    EXPECT_EQ(owner_of(private_dir), (file_owner{owner.uid, owner.gid, 0700}));
    for (const std::string &dir : {public_dir, web_dir}) EXPECT_EQ(owner_of(dir), owner) << dir;
}

TEST_F(tvnsysadduser_test, answering_y_makes_the_home_under_home_with_the_three_areas) {
    // The tool makes /home/NAME: here a private directory stands in for /home.
    const std::string homes = root.file("homes");
    fs::create_directory(homes);
    const auto usable =
        tvn_test::run_in_child([&] { return home_replaced_by(homes) ? "yes" : "no"; });
    if (usable != "yes") GTEST_SKIP() << "no private mount namespace to stand in for /home";
    const bool host_home_before = exists(std::string("/home/") + host_user);
    tvn_test::pty_options options;
    options.prepare = [&] { return home_replaced_by(homes); };

    const run_result result =
        add(name_and_guest(host_user) + std::vector{said(system_home_prompt, "y")}, options);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output.find(private_prompt), std::string::npos) << result.output;
    const std::string text = read_text(database);
    const stored_record fields = record_of(text, host_user, record_layout::host_account);
    EXPECT_EQ(text,
              std::string(host_user) + "!" + fields.guest_hash + "!/home/" + host_user + "!!!!\n");
    EXPECT_TRUE(password_matches("guest-pw", fields.guest_hash.c_str()));
    for (const char *dir : {"", "/Public", "/Web"})
        EXPECT_EQ(owner_of(homes + "/" + host_user + dir), owner) << dir;
    EXPECT_EQ(owner_of(homes + "/" + host_user + "/Private"),
              (file_owner{owner.uid, owner.gid, 0700}));
    EXPECT_EQ(exists(std::string("/home/") + host_user), host_home_before);
}

TEST_F(tvnsysadduser_test, root_is_never_a_host_account) {
    const run_result result = add({said(login_prompt, "root")});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output, login_prompt +
                                 "root\nThe 'root' user has user id 0 (root): it can't be a host "
                                 "account.\n");
    EXPECT_FALSE(exists(database));
}

TEST_F(tvnsysadduser_test, the_hash_method_option_sets_the_form_of_the_guest_hash) {
    const run_result result =
        run_dialogue({sysadduser_program, "-m", "yescrypt", database},
                     name_and_guest(host_user) +
                         std::vector{said(system_home_prompt, "n"), said(private_prompt, ""),
                                     said(public_prompt, ""), said(web_prompt, "")});
    ASSERT_EQ(result.status, 0) << result.output;
    const stored_record fields =
        record_of(read_text(database), host_user, record_layout::host_account);
    EXPECT_EQ(fields.guest_hash.rfind("$y$", 0), 0u) << fields.guest_hash;
    EXPECT_TRUE(password_matches("guest-pw", fields.guest_hash.c_str()));
    EXPECT_EQ(owner_of(database)->mode, 0600u);
}

TEST_F(tvnsysadduser_test, a_name_that_differs_only_in_letter_case_is_refused) {
    const std::string existing = "DAEMON!GUESTHASH1234!/h!!!!\n";
    root.write_file("users/host.passwd", existing);
    const run_result result = add({said(login_prompt, host_user)});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output, login_prompt + host_user + "\nUser already inserted ... \n");
    EXPECT_EQ(read_text(database), existing);
}

TEST_F(tvnsysadduser_test, the_end_of_input_at_the_home_question_writes_nothing) {
    const run_result result =
        add(name_and_guest(host_user) + std::vector{input_ends(system_home_prompt)});
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.output.find(system_home_prompt + "Error, I can't go on\n"), std::string::npos)
        << result.output;
    EXPECT_FALSE(exists(database));
}

TEST(tvnsysadduser_command_line_test,
     wrong_arguments_and_a_directory_as_database_give_the_usage_line) {
    temp_root root;
    const std::string usage = "Usage :  tvnadduser <filename>\n";
    for (const std::vector<std::string> &argv : {std::vector<std::string>{sysadduser_program},
                                                 {sysadduser_program, root.file("db"), "extra"},
                                                 {sysadduser_program, "-m", "md5"}}) {
        const tvn_test::command_result result = tvn_test::run_command(argv);
        EXPECT_EQ(result.exit_status, 255) << argv.size();
        EXPECT_EQ(result.output, usage) << argv.size();
    }
    const tvn_test::command_result directory =
        tvn_test::run_command({sysadduser_program, root.file("conf")});
    EXPECT_EQ(directory.exit_status, 255);
    EXPECT_EQ(directory.output, "'" + root.file("conf") + "' is a directory\n" + usage);
}

} // namespace
