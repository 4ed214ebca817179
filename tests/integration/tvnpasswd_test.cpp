// tvnvpasswd and tvnpasswd: who may run them, their usage lines, the field they set, and that
// every way of failing leaves the database as it was and no temporary file behind.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "account_db.h"
#include "lock_holder.h"
#include "server_root.h"
#include "tool_dialogue.h"

namespace {

using namespace tvn_tools_test;
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
    for (const std::vector<std::string> &argv : {std::vector<std::string>{vpasswd_program},
                                                 {vpasswd_program, "-g", "alice", database},
                                                 {vpasswd_program, "-x"},
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

}  // namespace
