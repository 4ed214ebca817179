// tvnvpasswd and tvnpasswd: who may run them, their usage lines, the field they set, and that
// every way of failing leaves the database as it was and no temporary file behind.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "account_db.h"
#include "lock_holder.h"
#include "rename_attacker.h"
#include "server_root.h"
#include "tool_dialogue.h"

namespace {

using namespace tvn_tools_test;
using namespace std::chrono_literals;
using tvn_test::temp_root;

const std::string usage_v = "Usage :  passwd -[go] <user_name> <filename>\n";
const std::string usage_p = "Usage :  tvnpasswd <user_name> <filename>\n";
const std::string new_password_prompt = "New password: ";

// Records of both kinds, one with leading blanks, one whose only field is not ended, and a
// last line without a line feed.
const std::string original =
    "alice!OWNER!GUEST!/h/alice!!!!\n"
    "  \tBob!OB!GB!!/p!/pub!/w!\n"
    "frank!FRANKGUEST!/home/frank!!!!\n"
    "dave!ONLY\n"
    "erin!OE!GE!/h/erin!!!!";

class passwd_tools_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "the tools run only for the superuser";
        root.write_file("users.db", original);
    }

    // Runs the tool in the root, typing first and second as the two entries when asked.
    run_result run(const std::vector<std::string> &argv, const std::string &first = "",
                   const std::string &second = "") {
        tvn_test::pty_options options;
        options.cwd = root.path();
        std::vector<step> steps;
        if (!first.empty())
            steps = {secret(new_password_prompt, first), secret(again_prompt, second)};
        return run_dialogue(argv, steps, options);
    }
    std::string database_text() const { return root.read_file("users.db"); }
    bool aux_file_left() const { return root.exists("tvn_aux_file"); }

    // Expects the database to be the original with one change: in line, field (1 or 2) now
    // holds a new MD5 hash of password, the rest of the line and of the file as they were.
    void expect_field_set(const std::string &line, int field, const std::string &password) {
        const std::string text = database_text();
        const size_t at = original.find(line);
        ASSERT_NE(at, std::string::npos);
        const size_t name_end = line.find('!') + 1;
        const size_t field_start = field == 1 ? name_end : line.find('!', name_end) + 1;
        const size_t field_end = line.find('!', field_start);
        const size_t hash_length = 34;
        ASSERT_GE(text.size(), original.size()) << text;
        const std::string hash = text.substr(at + field_start, hash_length);
        EXPECT_EQ(hash.rfind("$1$", 0), 0u) << hash;
        EXPECT_TRUE(password_matches(password.c_str(), hash.c_str())) << hash;
        std::string expected = original;
        expected.replace(at + field_start, field_end - field_start, hash);
        EXPECT_EQ(text, expected);
        EXPECT_FALSE(aux_file_left());
    }

    temp_root root;
    std::string database = root.file("users.db");
};

TEST_F(passwd_tools_test, an_ordinary_user_is_refused_whatever_the_arguments) {
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    tvn_test::pty_options options;
    options.cwd = root.path();
    options.uid = nobody->pw_uid;
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{vpasswd_program},
          {vpasswd_program, "-g", "alice", database},
          {vpasswd_program, "-x"},
          {vpasswd_program, "-m", "des"},
          {passwd_program, "-m", "sha512", "alice", database},
          {passwd_program},
          {passwd_program, "alice", database}}) {
        const run_result result = run_dialogue(argv, {}, options);
        EXPECT_EQ(result.status, 255) << argv.size();
        EXPECT_EQ(result.output, "You don't have the permissions to execute this file\n")
            << argv.size();
    }
    EXPECT_EQ(database_text(), original);
    EXPECT_FALSE(aux_file_left());
}

TEST_F(passwd_tools_test, wrong_arguments_and_root_give_the_usage_line) {
    struct case_row {
        std::vector<std::string> argv;
        const std::string &usage;
    };
    const case_row rows[] = {
        {{vpasswd_program}, usage_v},
        {{vpasswd_program, "-g", "alice"}, usage_v},
        {{vpasswd_program, "-x", "alice", database}, usage_v},
        {{vpasswd_program, "-go", "alice", database}, usage_v},
        {{vpasswd_program, "-g", "root", database}, usage_v},
        {{passwd_program}, usage_p},
        {{passwd_program, "alice"}, usage_p},
        {{passwd_program, "root", database}, usage_p},
        // The hash method comes first; a missing or unknown one is named before the usage line.
        {{vpasswd_program, "-m", "sha512", "-g", "root", database}, usage_v},
        {{passwd_program, "-m", "sha512", "alice"}, usage_p},
    };
    for (const case_row &row : rows) {
        const run_result result = run(row.argv);
        EXPECT_EQ(result.status, 255) << row.argv.size() << " " << row.argv.back();
        EXPECT_EQ(result.output, row.usage) << row.argv.size() << " " << row.argv.back();
    }
    EXPECT_EQ(database_text(), original);
    EXPECT_FALSE(aux_file_left());
}

TEST_F(passwd_tools_test, tvnvpasswd_g_sets_field_2_and_keeps_everything_else) {
    const run_result result =
        run({vpasswd_program, "-g", "alice", database}, "new guest", "new guest");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, new_password_prompt + "\n" + again_prompt + "\n\n");
    expect_field_set("alice!OWNER!GUEST!/h/alice!!!!", 2, "new guest");
}

TEST_F(passwd_tools_test, tvnvpasswd_o_sets_field_1_of_a_name_given_in_other_letter_case) {
    const run_result result =
        run({vpasswd_program, "-o", "BOB", database}, "new owner", "new owner");
    ASSERT_EQ(result.status, 0) << result.output;
    // The name and the blanks before it stay as they were stored.
    expect_field_set("  \tBob!OB!GB!!/p!/pub!/w!", 1, "new owner");
}

TEST_F(passwd_tools_test, tvnpasswd_sets_field_1) {
    const run_result host = run({passwd_program, "frank", database}, "guest pw", "guest pw");
    ASSERT_EQ(host.status, 0) << host.output;
    expect_field_set("frank!FRANKGUEST!/home/frank!!!!", 1, "guest pw");
}

TEST_F(passwd_tools_test, the_last_line_without_a_line_feed_is_rewritten_too) {
    const run_result result = run({passwd_program, "erin", database}, "e", "e");
    ASSERT_EQ(result.status, 0) << result.output;
    expect_field_set("erin!OE!GE!/h/erin!!!!", 1, "e");
}

TEST_F(passwd_tools_test, two_different_entries_change_nothing) {
    struct case_row {
        std::vector<std::string> argv;
        std::string message;
    };
    for (const case_row &row :
         {case_row{{vpasswd_program, "-g", "alice", database}, "Sorry, they don't match\n"},
          case_row{{passwd_program, "alice", database}, "Sorry, They don't match\n"}}) {
        const run_result result = run(row.argv, "one", "one ");
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.output, new_password_prompt + "\n" + again_prompt + "\n" + row.message);
        EXPECT_EQ(database_text(), original);
        EXPECT_FALSE(aux_file_left());
    }
}

TEST_F(passwd_tools_test, an_unknown_user_or_database_stops_before_the_password) {
    struct case_row {
        std::vector<std::string> argv;
        std::string message;
    };
    const std::string missing = root.file("missing.db");
    for (const case_row &row :
         {case_row{{vpasswd_program, "-o", "zed", database}, "User doesn't exist in database\n"},
          case_row{{passwd_program, "al", database}, "User doesn't exist in database\n"},
          case_row{{vpasswd_program, "-g", "alice", missing},
                   "Error opening file :: No such file or directory\n"},
          case_row{{passwd_program, "alice", missing},
                   "Error opening file :: No such file or directory\n"}}) {
        const run_result result = run(row.argv);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.output, row.message);
        EXPECT_FALSE(aux_file_left());
    }
    EXPECT_EQ(database_text(), original);
    EXPECT_FALSE(exists(missing));
}

TEST_F(passwd_tools_test, a_field_not_ended_by_the_separator_is_reported) {
    struct case_row {
        std::vector<std::string> argv;
        std::string message;
    };
    for (const case_row &row :
         {case_row{{vpasswd_program, "-o", "dave", database}, "Error reading passwd file\n"},
          case_row{{vpasswd_program, "-g", "dave", database}, "Error reading database file\n"},
          case_row{{passwd_program, "dave", database}, "Error reading the passwd file\n"}}) {
        const run_result result = run(row.argv, "pw", "pw");
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.output, new_password_prompt + "\n" + again_prompt + "\n\n" + row.message);
        EXPECT_EQ(database_text(), original);
        EXPECT_FALSE(aux_file_left());
    }
}

TEST_F(passwd_tools_test, a_database_locked_by_another_writer_is_left_alone) {
    tvn_test::lock_holder holder(database);
    ASSERT_TRUE(holder.held());
    const run_result result = run({vpasswd_program, "-g", "alice", database}, "pw", "pw");
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.output.find("I can't lock the database file, nothing changed.\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(database_text(), original);
    EXPECT_FALSE(aux_file_left());
}

// Each waits for the stale file for about four seconds: one tool per test, so they can run
// side by side.
class stale_aux_file_test : public passwd_tools_test, public ::testing::WithParamInterface<bool> {};

TEST_P(stale_aux_file_test, a_stale_temporary_file_makes_the_tool_give_up) {
    const bool vpasswd = GetParam();
    root.write_file("tvn_aux_file", "left by a crash");
    const auto start = std::chrono::steady_clock::now();
    const run_result result = vpasswd ? run({vpasswd_program, "-g", "alice", database})
                                      : run({passwd_program, "alice", database});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output, vpasswd ? "" : "I can't open aux file\n");
    EXPECT_GE(seconds, 3.5);
    EXPECT_LT(seconds, 8.0);
    EXPECT_EQ(database_text(), original);
    EXPECT_EQ(root.read_file("tvn_aux_file"), "left by a crash");
}

INSTANTIATE_TEST_SUITE_P(both_tools, stale_aux_file_test, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("tvnvpasswd")
                                               : std::string("tvnpasswd");
                         });

TEST_F(passwd_tools_test, a_missing_or_unknown_hash_method_is_named_before_the_usage_line) {
    const std::string methods = "use md5, sha512 or yescrypt\n";
    struct case_row {
        std::vector<std::string> argv;
        std::string output;
    };
    const case_row rows[] = {
        {{vpasswd_program, "-m", "des", "-g", "alice", database},
         "Unknown hash method 'des': " + methods + usage_v},
        {{vpasswd_program, "-m", "SHA512", "-o", "alice", database},
         "Unknown hash method 'SHA512': " + methods + usage_v},
        {{passwd_program, "-m", "bcrypt", "alice", database},
         "Unknown hash method 'bcrypt': " + methods + usage_p},
        {{passwd_program, "-m"},
         "Option -m needs a hash method: md5, sha512 or yescrypt\n" + usage_p},
    };
    for (const case_row &row : rows) {
        const run_result result = run(row.argv);
        EXPECT_EQ(result.status, 255) << row.argv[2];
        EXPECT_EQ(result.output, row.output);
    }
    EXPECT_EQ(database_text(), original);
    EXPECT_FALSE(aux_file_left());
}

TEST_F(passwd_tools_test, the_hash_method_option_sets_the_form_of_the_new_hash) {
    struct case_row {
        std::vector<std::string> argv;
        std::string line; // of the original
        int field;
        std::string prefix;
    };
    const case_row rows[] = {
        {{vpasswd_program, "-m", "sha512", "-g", "alice", database},
         "alice!OWNER!GUEST!/h/alice!!!!",
         2,
         "$6$"},
        {{vpasswd_program, "-m", "yescrypt", "-o", "bob", database},
         "  \tBob!OB!GB!!/p!/pub!/w!",
         1,
         "$y$"},
        {{passwd_program, "-m", "md5", "frank", database},
         "frank!FRANKGUEST!/home/frank!!!!",
         1,
         "$1$"},
    };
    for (const case_row &row : rows) {
        root.write_file("users.db", original);
        const run_result result = run(row.argv, "strong pw", "strong pw");
        ASSERT_EQ(result.status, 0) << result.output;
        const std::string text = database_text();
        const size_t at = original.find(row.line);
        const size_t name_end = row.line.find('!') + 1;
        const size_t field_start =
            at + (row.field == 1 ? name_end : row.line.find('!', name_end) + 1);
        const size_t old_end = original.find('!', field_start);
        const std::string hash =
            text.substr(field_start, text.find('!', field_start) - field_start);
        EXPECT_EQ(hash.rfind(row.prefix, 0), 0u) << hash;
        EXPECT_TRUE(password_matches("strong pw", hash.c_str())) << hash;
        std::string expected = original;
        expected.replace(field_start, old_end - field_start, hash);
        EXPECT_EQ(text, expected);
        EXPECT_FALSE(aux_file_left());
    }
}

TEST_F(passwd_tools_test, no_empty_or_too_long_password_and_no_end_of_input_is_ever_set) {
    const std::string too_long(17, 'x');
    struct case_row {
        std::vector<step> steps;
        std::string message;
    };
    const case_row rows[] = {
        {{secret_input_ends(new_password_prompt)},
         "No password given (end of input), nothing changed.\n"},
        {{secret(new_password_prompt, "")}, "An empty password is not allowed, nothing changed.\n"},
        {{secret(new_password_prompt, too_long)},
         "A password may have at most 16 characters (a longer one could never log in), nothing "
         "changed.\n"},
        {{secret(new_password_prompt, "ok"), secret_input_ends(again_prompt)},
         "No password given (end of input), nothing changed.\n"},
    };
    for (const auto &argv : {std::vector<std::string>{vpasswd_program, "-g", "alice", database},
                             std::vector<std::string>{passwd_program, "alice", database}}) {
        for (const case_row &row : rows) {
            tvn_test::pty_options options;
            options.cwd = root.path();
            const run_result result = run_dialogue(argv, row.steps, options);
            EXPECT_EQ(result.status, 255) << result.output;
            EXPECT_EQ(result.output.substr(result.output.size() -
                                           std::min(result.output.size(), row.message.size())),
                      row.message)
                << result.output;
            EXPECT_EQ(database_text(), original);
            EXPECT_FALSE(aux_file_left());
        }
    }
    // Sixteen characters are a password that can log in.
    const std::string longest(16, 'p');
    const run_result set = run({passwd_program, "frank", database}, longest, longest);
    ASSERT_EQ(set.status, 0) << set.output;
    expect_field_set("frank!FRANKGUEST!/home/frank!!!!", 1, longest);
}

TEST_F(passwd_tools_test, files_planted_in_the_working_directory_never_become_the_database) {
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    // The working directory is another user's to write; the database lies in root's directory.
    ASSERT_EQ(mkdir(root.file("users").c_str(), 0755), 0);
    root.write_file("users/db", original);
    const std::string protected_db = root.file("users/db");
    ASSERT_EQ(chmod(protected_db.c_str(), 0640), 0);
    ASSERT_EQ(chown(root.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    tvn_test::rename_attacker attacker(root.path(), {root.file("tvn_aux_file"), protected_db},
                                       {root.file("users"), root.path()},
                                       "alice!$1$planted$planted!G!/!!!!\n");
    ASSERT_TRUE(attacker.start());
    tvn_test::pty_options options;
    options.cwd = root.path();
    std::string password;
    int changed = 0;
    for (int attempt = 0; attempt < 12 && changed < 3; ++attempt) {
        const std::string fresh = "alice-" + std::to_string(attempt);
        tvn_test::pty_session session({vpasswd_program, "-o", "alice", "users/db"}, options);
        ASSERT_TRUE(session.started());
        if (!session.read_until(new_password_prompt, 10s)) {
            // The attacker's file took the marker's name just as a rewrite ended: a stale
            // marker, which makes the tool give up and change nothing. The test clears it.
            EXPECT_EQ(session.wait_exit(), 255) << session.text();
            EXPECT_EQ(read_text(protected_db).find("planted"), std::string::npos);
            unlink(root.file("tvn_aux_file").c_str());
            continue;
        }
        ASSERT_TRUE(session.type_silently(fresh));
        ASSERT_TRUE(session.read_until(again_prompt));
        ASSERT_TRUE(session.type_silently(fresh));
        ASSERT_EQ(session.wait_exit(), 0) << session.text();
        password = fresh;
        ++changed;
    }
    attacker.stop();
    ASSERT_EQ(changed, 3);

    struct stat status {};
    ASSERT_EQ(stat(protected_db.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_gid, 0u);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    const std::string text = read_text(protected_db);
    const stored_record alice = record_of(text, "alice");
    EXPECT_TRUE(password_matches(password.c_str(), alice.owner_hash.c_str())) << text;
    std::string expected = original;
    expected.replace(expected.find("OWNER"), 5, alice.owner_hash);
    EXPECT_EQ(text, expected);
}

} // namespace
