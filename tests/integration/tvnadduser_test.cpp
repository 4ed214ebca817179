// tvnadduser: the dialogue on a terminal, the record it appends, the directories it creates
// and whom it gives them, and what it refuses.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "account_db.h"
#include "server_root.h"
#include "tool_dialogue.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_tools_test;
using tvn_test::temp_root;

const std::string too_long_message =
    "The record would be longer than 1023 characters (line feed included), I can't write it.\n";

// The dialogue up to the home directory: name and both passwords.
std::vector<step> name_and_passwords(const std::string &name, const std::string &owner = "owner-pw",
                                     const std::string &guest = "guest-pw") {
    return std::vector<step>{said(login_prompt, name)} + password_steps(owner_prompt, owner) +
           password_steps(guest_prompt, guest);
}

class tvnadduser_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0)
            GTEST_SKIP() << "the tool gives the directories it creates away: needs root";
        fs::create_directory(root.file("users"));
        fs::create_directory(root.file("homes"));
        const passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        nobody_owner = {nobody->pw_uid, nobody->pw_gid, 0755};
    }

    run_result add(const std::vector<step> &steps) { return add_to(database, steps); }
    run_result add_to(const std::string &path, const std::vector<step> &steps) {
        tvn_test::pty_options options;
        options.cwd = root.path();
        options.prepare = [] {
            umask(022);
            return true;
        };
        return run_dialogue({adduser_program, path, root.path()}, steps, options);
    }
    void write_service_account(const std::string &lines) {
        root.write_config("<Server>\n</Server>\n<module mod_virtual_users>\n" + lines +
                          "    <VirtualDomain sales>\n        PasswdFile /x\n"
                          "    </VirtualDomain>\n</module>\n");
    }
    std::string home(const std::string &name) const { return root.file("homes/" + name); }
    file_owner private_owner() const { return {nobody_owner.uid, nobody_owner.gid, 0700}; }

    temp_root root;
    std::string database = root.file("users/db");
    file_owner nobody_owner{};
};

TEST_F(tvnadduser_test, a_home_directory_gives_the_short_record_and_the_three_areas) {
    write_service_account("    TvnUser daemon\n    TvnGroup adm\n");
    ASSERT_FALSE(exists(database));
    const run_result result =
        add(name_and_passwords("alice") + std::vector{said(home_prompt, home("alice") + "/")});
    ASSERT_EQ(result.status, 0) << result.output;

    const std::string text = read_text(database);
    const stored_record fields = record_of(text, "alice");
    EXPECT_EQ(text, "alice!" + fields.owner_hash + "!" + fields.guest_hash + "!" + home("alice") +
                        "!!!!\n");
    // MD5 hashes: all of a password counts, not only its first eight characters.
    EXPECT_EQ(fields.owner_hash.size(), 34u);
    EXPECT_EQ(fields.owner_hash.rfind("$1$", 0), 0u);
    EXPECT_EQ(fields.guest_hash.size(), 34u);
    EXPECT_EQ(fields.guest_hash.rfind("$1$", 0), 0u);
    EXPECT_TRUE(password_matches("owner-pw", fields.owner_hash.c_str()));
    EXPECT_TRUE(password_matches("guest-pw", fields.guest_hash.c_str()));
    EXPECT_FALSE(password_matches("guest-pw", fields.owner_hash.c_str()));
    // The database did not exist: the append made it, for root's eyes only.
    EXPECT_EQ(owner_of(database)->mode, 0600u);

    const group *adm = getgrnam("adm");
    const passwd *daemon = getpwnam("daemon");
    ASSERT_TRUE(adm != nullptr && daemon != nullptr);
    const file_owner service{daemon->pw_uid, adm->gr_gid, 0755};
    for (const char *dir : {"", "/Public", "/Web"})
        EXPECT_EQ(owner_of(home("alice") + dir), service) << dir;
    // The private area is the service account's alone.
    EXPECT_EQ(owner_of(home("alice") + "/Private"),
              (file_owner{daemon->pw_uid, adm->gr_gid, 0700}));
    // The passwords were typed without echo.
    EXPECT_EQ(result.output.find("owner-pw"), std::string::npos) << result.output;
}

TEST_F(tvnadduser_test,
       without_a_home_directory_three_directories_follow_and_relative_ones_are_asked_again) {
    const std::string private_dir = root.file("bob-private"), public_dir = root.file("bob-public");
    const run_result result =
        add(name_and_passwords("bob") +
            std::vector{said(home_prompt, ""), said(private_prompt, private_dir),
                        said(public_prompt, "relative/public"),
                        said(public_prompt, public_dir + "/"), said(web_prompt, "")});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(
        result.output.find("relative/public\nDirectory must begin with '/' ... \n" + public_prompt),
        std::string::npos)
        << result.output;

    const std::string text = read_text(database);
    const stored_record fields = record_of(text, "bob");
    EXPECT_EQ(text, "bob!" + fields.owner_hash + "!" + fields.guest_hash + "!!" + private_dir +
                        "!" + public_dir + "!!\n");
    EXPECT_EQ(owner_of(private_dir), private_owner());
    EXPECT_EQ(owner_of(public_dir), nobody_owner);
    EXPECT_FALSE(exists(root.file("relative")));
}

TEST_F(tvnadduser_test, all_directories_may_be_left_empty) {
    const run_result result = add(name_and_passwords("carol") +
                                  std::vector{said(home_prompt, ""), said(private_prompt, ""),
                                              said(public_prompt, ""), said(web_prompt, "")});
    ASSERT_EQ(result.status, 0) << result.output;
    const std::string text = read_text(database);
    const stored_record fields = record_of(text, "carol");
    EXPECT_EQ(text, "carol!" + fields.owner_hash + "!" + fields.guest_hash + "!!!!!\n");
    EXPECT_TRUE(fields.home_dir.empty() && fields.private_dir.empty() &&
                fields.public_dir.empty() && fields.web_dir.empty());
}

TEST_F(tvnadduser_test, an_existing_home_stays_as_it_is_and_only_missing_areas_are_made) {
    const std::string dave = home("dave");
    fs::create_directories(dave + "/Public");
    std::ofstream(dave + "/Public/kept") << "kept";
    ASSERT_EQ(chmod(dave.c_str(), 0700), 0);
    ASSERT_EQ(chown((dave + "/Public").c_str(), 1234, 1234), 0);
    const auto home_before = owner_of(dave), public_before = owner_of(dave + "/Public");

    const run_result result =
        add(name_and_passwords("dave") + std::vector{said(home_prompt, dave)});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(owner_of(dave), home_before);
    EXPECT_EQ(owner_of(dave + "/Public"), public_before);
    EXPECT_EQ(read_text(dave + "/Public/kept"), "kept");
    EXPECT_EQ(owner_of(dave + "/Private"), private_owner());
    EXPECT_EQ(owner_of(dave + "/Web"), nobody_owner);
}

TEST_F(tvnadduser_test, the_directories_go_to_the_service_account_the_module_runs_as) {
    const passwd *daemon = getpwnam("daemon");
    const group *adm = getgrnam("adm");
    ASSERT_TRUE(daemon != nullptr && adm != nullptr);
    struct case_row {
        const char *name;
        std::optional<std::string> config; // nullopt: no configuration file
        file_owner expected;
    };
    const case_row rows[] = {
        {"nofile", std::nullopt, nobody_owner},
        {"nosection", "<Server>\n</Server>\n", nobody_owner},
        {"both", "    TvnUser daemon\n    TvnGroup adm\n", {daemon->pw_uid, adm->gr_gid, 0755}},
        {"useronly", "    TvnUser daemon\n", {daemon->pw_uid, nobody_owner.gid, 0755}},
        // The module never runs as root and takes "nobody" instead; so do the directories.
        {"rootonly", "    TvnUser root\n    TvnGroup root\n", nobody_owner},
    };
    for (const case_row &row : rows) {
        fs::remove(root.file("conf/tolvane.conf"));
        if (row.config && row.config->rfind("<Server>", 0) == 0)
            root.write_config(*row.config);
        else if (row.config)
            write_service_account(*row.config);
        const run_result result =
            add(name_and_passwords(row.name) + std::vector{said(home_prompt, home(row.name))});
        ASSERT_EQ(result.status, 0) << row.name << "\n" << result.output;
        for (const char *dir : {"", "/Public", "/Web"})
            EXPECT_EQ(owner_of(home(row.name) + dir), row.expected) << row.name << dir;
        file_owner private_area = row.expected;
        private_area.mode = 0700;
        EXPECT_EQ(owner_of(home(row.name) + "/Private"), private_area) << row.name;
    }
}

TEST_F(tvnadduser_test, an_unknown_service_user_or_group_stops_before_the_passwords) {
    struct case_row {
        const char *config;
        const char *message;
    };
    for (const case_row &row : {case_row{"    TvnUser tvn-no-such-user\n",
                                         "The 'tvn-no-such-user' user does not exist.\n"},
                                case_row{"    TvnGroup tvn-no-such-group\n",
                                         "The 'tvn-no-such-group' group does not exist.\n"}}) {
        write_service_account(row.config);
        const run_result result = add({said(login_prompt, "frank")});
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.output, login_prompt + "frank\n" + row.message);
        EXPECT_FALSE(exists(database));
    }
}

TEST_F(tvnadduser_test, a_name_that_differs_only_in_letter_case_is_refused) {
    const std::string existing = "Alice!OWNERHASH12!GUESTHASH123!/h!!!!\n";
    root.write_file("users/db", existing);
    const run_result result = add({said(login_prompt, "alice")});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output, login_prompt + "alice\nUser already inserted ... \n");
    EXPECT_EQ(read_text(database), existing);
}

TEST_F(tvnadduser_test, a_record_of_the_name_that_appears_during_the_dialogue_is_not_doubled) {
    const std::string appeared = "CAROL!OWNERHASH12!GUESTHASH123!/h!!!!\n";
    std::vector<step> steps =
        name_and_passwords("carol") + std::vector{said(home_prompt, ""), said(private_prompt, ""),
                                                  said(public_prompt, ""), said(web_prompt, "")};
    steps.back().before = [&] { root.write_file("users/db", appeared); };
    const run_result result = add(steps);
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.output.find(web_prompt + "\nUser already inserted ... \n"), std::string::npos)
        << result.output;
    EXPECT_EQ(read_text(database), appeared);
}

TEST_F(tvnadduser_test, login_names_with_blanks_separators_or_nothing_are_refused) {
    const std::string within = "Come on, man, you can't have the login field within '.' or '!'\n";
    struct case_row {
        const char *name;
        std::string message;
    };
    for (const case_row &row :
         {case_row{"a b", within}, case_row{"a\tb", within}, case_row{"a!b", within},
          case_row{"a:b", within},
          case_row{"", "Come on, man, you can't leave the login field empty...\n"}}) {
        const run_result result = add({said(login_prompt, row.name)});
        EXPECT_EQ(result.status, 255) << row.name;
        EXPECT_EQ(result.output.substr(result.output.find('\n') + 1), row.message) << row.name;
        EXPECT_FALSE(exists(database)) << row.name;
    }
}

TEST_F(tvnadduser_test, differing_password_entries_stop_the_dialogue) {
    const run_result result = add(std::vector<step>{
        said(login_prompt, "gina"), secret(owner_prompt, "one"), secret(again_prompt, "two")});
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.output.find(again_prompt + "\nThey don't match\n"), std::string::npos)
        << result.output;
    EXPECT_FALSE(exists(database));
}

TEST_F(tvnadduser_test, a_home_directory_that_cannot_be_made_stops_the_dialogue) {
    const std::string missing_parent = root.file("nowhere/hank");
    const run_result result =
        add(name_and_passwords("hank") + std::vector{said(home_prompt, missing_parent)});
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.output.find("I can't create `" + missing_parent +
                                 "`, path doesn't exist.\nError, I can't go on\n"),
              std::string::npos)
        << result.output;
    EXPECT_FALSE(exists(database));
}

TEST_F(tvnadduser_test, the_end_of_input_at_a_directory_prompt_writes_nothing) {
    const run_result result =
        add(name_and_passwords("ivan") + std::vector{input_ends(home_prompt)});
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.output.find(home_prompt + "Error, I can't go on\n"), std::string::npos)
        << result.output;
    EXPECT_FALSE(exists(database));
}

TEST_F(tvnadduser_test, a_directory_holding_the_field_separator_is_asked_again) {
    const std::string web = root.file("jane-web");
    const run_result result =
        add(name_and_passwords("jane") +
            std::vector{said(home_prompt, ""), said(private_prompt, ""), said(public_prompt, ""),
                        said(web_prompt, root.file("a!b")), said(web_prompt, web)});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Directory can't contain '!' ... \n" + web_prompt),
              std::string::npos)
        << result.output;
    EXPECT_EQ(record_of(read_text(database), "jane").web_dir, web);
    EXPECT_FALSE(exists(root.file("a!b")));
}

TEST_F(tvnadduser_test, a_record_of_1023_characters_is_written_and_a_longer_one_refused) {
    // name, "!", two 34-character hashes with their "!" and four empty directory fields: the
    // name's length plus 75, and the line feed.
    const std::string longest(1023 - 76, 'n');
    const std::vector<step> empty_directories{said(home_prompt, ""), said(private_prompt, ""),
                                              said(public_prompt, ""), said(web_prompt, "")};
    const run_result written = add(name_and_passwords(longest) + empty_directories);
    ASSERT_EQ(written.status, 0) << written.output;
    const std::string text = read_text(database);
    EXPECT_EQ(text.size(), 1023u);
    record_of(text, longest);

    const run_result refused = add({said(login_prompt, longest + "n")});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.output, login_prompt + longest + "n\n" + too_long_message);
    EXPECT_EQ(read_text(database), text);
}

TEST_F(tvnadduser_test, a_home_directory_too_long_for_the_record_is_refused_before_it_is_made) {
    // The deepest parent the test can make, in components of 200 characters.
    std::string parent = root.file("homes");
    for (char c : {'a', 'b', 'c', 'd'}) parent += "/" + std::string(200, c);
    fs::create_directories(parent);
    // "kate!", two hashes with their "!", the home, "!", "!!!" and the line feed.
    const size_t longest = 1023 - 5 - 70 - 1 - 3 - 1;
    const std::string fits = parent + "/" + std::string(longest - parent.size() - 1, 'k');
    const std::string too_long = fits + "x";

    const run_result refused =
        add(name_and_passwords("kate") + std::vector{said(home_prompt, too_long)});
    EXPECT_EQ(refused.status, 255);
    EXPECT_NE(refused.output.find(too_long_message + "Error, I can't go on\n"), std::string::npos)
        << refused.output;
    EXPECT_FALSE(exists(too_long));
    EXPECT_FALSE(exists(database));

    const run_result written =
        add(name_and_passwords("kate") + std::vector{said(home_prompt, fits)});
    ASSERT_EQ(written.status, 0) << written.output;
    EXPECT_EQ(read_text(database).size(), 1023u);
    EXPECT_EQ(owner_of(fits + "/Web"), nobody_owner);
}

TEST_F(tvnadduser_test, the_hash_method_option_sets_the_form_of_both_hashes) {
    struct case_row {
        const char *method;
        const char *prefix;
    };
    for (const case_row &row :
         {case_row{"sha512", "$6$"}, case_row{"yescrypt", "$y$"}, case_row{"md5", "$1$"}}) {
        const std::string name = std::string("m") + row.method;
        tvn_test::pty_options options;
        options.cwd = root.path();
        const run_result result = run_dialogue(
            {adduser_program, "-m", row.method, database, root.path()},
            name_and_passwords(name) + std::vector{said(home_prompt, home(name))}, options);
        ASSERT_EQ(result.status, 0) << result.output;
        const stored_record fields = record_of(read_text(database), name);
        EXPECT_EQ(fields.owner_hash.rfind(row.prefix, 0), 0u) << fields.owner_hash;
        EXPECT_EQ(fields.guest_hash.rfind(row.prefix, 0), 0u) << fields.guest_hash;
        EXPECT_TRUE(password_matches("owner-pw", fields.owner_hash.c_str()));
        EXPECT_TRUE(password_matches("guest-pw", fields.guest_hash.c_str()));
    }
}

TEST_F(tvnadduser_test, no_empty_or_too_long_password_and_no_end_of_input_is_ever_stored) {
    struct case_row {
        std::vector<step> steps;
        std::string message;
    };
    const std::vector<step> name{said(login_prompt, "olga")};
    const case_row rows[] = {
        {name + std::vector{secret_input_ends(owner_prompt)},
         "No password given (end of input), nothing changed.\n"},
        {name + std::vector{secret(owner_prompt, "")},
         "An empty password is not allowed, nothing changed.\n"},
        {name + std::vector{secret(owner_prompt, std::string(17, 'x'))},
         "A password may have at most 16 characters (a longer one could never log in), nothing "
         "changed.\n"},
        {name + password_steps(owner_prompt, "owner-pw") + std::vector{secret(guest_prompt, "")},
         "An empty password is not allowed, nothing changed.\n"},
        {name + password_steps(owner_prompt, "owner-pw") +
             std::vector{secret(guest_prompt, "guest"), secret_input_ends(again_prompt)},
         "No password given (end of input), nothing changed.\n"},
    };
    for (const case_row &row : rows) {
        const run_result result = add(row.steps);
        EXPECT_EQ(result.status, 255) << result.output;
        ASSERT_GE(result.output.size(), row.message.size()) << result.output;
        EXPECT_EQ(result.output.substr(result.output.size() - row.message.size()), row.message)
            << result.output;
        EXPECT_FALSE(exists(database));
        EXPECT_FALSE(exists(home("olga")));
    }
}

TEST_F(tvnadduser_test, a_home_that_is_a_link_or_lies_behind_one_is_refused) {
    // A directory someone else controls, with links to it where the tool would make homes.
    const std::string target = root.file("elsewhere");
    fs::create_directory(target);
    fs::create_symlink(target, home("linked"));
    fs::create_directory_symlink(target, root.file("homes-link"));
    struct case_row {
        std::string home;
        std::string link; // the link the message names
    };
    const case_row rows[] = {
        {home("linked"), home("linked")},
        {home("linked") + "/inner", home("linked")},
        {root.file("homes-link/pat"), root.file("homes-link")},
    };
    for (const case_row &row : rows) {
        const run_result result =
            add(name_and_passwords("pat") + std::vector{said(home_prompt, row.home)});
        EXPECT_EQ(result.status, 255) << row.home;
        EXPECT_NE(result.output.find("`" + row.link +
                                     "` is a symbolic link, I don't follow it: nothing is created "
                                     "through it.\nError, I can't go on\n"),
                  std::string::npos)
            << result.output;
        EXPECT_FALSE(exists(database));
    }
    // Nothing was made in the directory the links lead to, and it is still root's.
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_EQ(owner_of(target)->uid, 0u);
}

TEST_F(tvnadduser_test, a_separate_directory_behind_a_link_is_refused_too) {
    const std::string target = root.file("elsewhere");
    fs::create_directory(target);
    fs::create_directory_symlink(target, root.file("link"));
    const run_result result =
        add(name_and_passwords("quinn") +
            std::vector{said(home_prompt, ""), said(private_prompt, root.file("link/private"))});
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.output.find("`" + root.file("link") + "` is a symbolic link"),
              std::string::npos)
        << result.output;
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_FALSE(exists(database));
}

TEST_F(tvnadduser_test, an_existing_area_that_is_a_link_is_left_alone) {
    // The home is the user's; the areas already there stay as they are, links included, and
    // nothing is made through them.
    const std::string rita = home("rita");
    fs::create_directory(rita);
    const std::string target = root.file("elsewhere");
    fs::create_directory(target);
    fs::create_directory_symlink(target, rita + "/Public");
    const run_result result =
        add(name_and_passwords("rita") + std::vector{said(home_prompt, rita)});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(fs::is_symlink(rita + "/Public"));
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_EQ(owner_of(target)->uid, 0u);
    EXPECT_EQ(owner_of(rita + "/Private"), private_owner());
}

TEST_F(tvnadduser_test, a_database_that_cannot_be_read_stops_after_the_name) {
    root.write_file("users/plain", "");
    const run_result result = add_to(root.file("users/plain/db"), {said(login_prompt, "lena")});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output,
              login_prompt + "lena\nError opening database file\n: Not a directory\n");
}

TEST(tvnadduser_command_line_test,
     wrong_arguments_and_a_directory_as_database_give_the_usage_line) {
    temp_root root;
    const std::string usage = "Usage :  tvnadduser <filename>\n";
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{adduser_program},
          {adduser_program, root.file("db")},
          {adduser_program, root.file("db"), root.path(), "extra"},
          {adduser_program, "-m", "sha512", root.file("db")},
          {adduser_program, root.file("db"), "-m", "sha512"}}) {
        const tvn_test::command_result result = tvn_test::run_command(argv);
        EXPECT_EQ(result.exit_status, 255) << argv.size();
        EXPECT_EQ(result.output, usage) << argv.size();
    }
    const tvn_test::command_result directory =
        tvn_test::run_command({adduser_program, root.file("conf"), root.path()});
    EXPECT_EQ(directory.exit_status, 255);
    EXPECT_EQ(directory.output, "'" + root.file("conf") + "' is a directory\n" + usage);
}

TEST(tvnadduser_command_line_test, an_unknown_hash_method_is_named_before_the_usage_line) {
    temp_root root;
    const std::string usage = "Usage :  tvnadduser <filename>\n";
    struct case_row {
        std::vector<std::string> argv;
        std::string output;
    };
    const case_row rows[] = {
        {{adduser_program, "-m", "des", root.file("db"), root.path()},
         "Unknown hash method 'des': use md5, sha512 or yescrypt\n" + usage},
        {{adduser_program, "-m"},
         "Option -m needs a hash method: md5, sha512 or yescrypt\n" + usage},
        {{sysadduser_program, "-m", "", root.file("db")},
         "Unknown hash method '': use md5, sha512 or yescrypt\n" + usage},
    };
    for (const case_row &row : rows) {
        const tvn_test::command_result result = tvn_test::run_command(row.argv);
        EXPECT_EQ(result.exit_status, 255) << row.argv[1];
        EXPECT_EQ(result.output, row.output);
    }
    EXPECT_FALSE(exists(root.file("db")));
}

TEST(tvnadduser_command_line_test, without_input_the_login_name_is_empty) {
    temp_root root;
    const tvn_test::command_result result =
        tvn_test::run_command({adduser_program, root.file("db"), root.path()});
    EXPECT_EQ(result.exit_status, 255);
    EXPECT_EQ(result.output,
              login_prompt + "Come on, man, you can't leave the login field empty...\n");
    EXPECT_FALSE(exists(root.file("db")));
}

} // namespace
