// Password entry at a terminal: a child process on a pseudo-terminal types the password while
// this process watches the terminal's echo and the output.
#include <crypt.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "child_run.h"
#include "pty_session.h"
#include "server_root.h"
#include "utils.h"

namespace {

using namespace std::chrono_literals;
using tvn_test::pty_session;

// What the child reports after the entry: the result and whether echo is back on.
void report(const char *result) {
    termios settings{};
    const bool echo = tcgetattr(STDIN_FILENO, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    std::printf("RESULT[%s] ECHO[%d]\n", result != nullptr ? result : "NULL", echo ? 1 : 0);
}

// The text between "RESULT[" and "]" in the output.
std::string result_of(const std::string &output) {
    const size_t start = output.find("RESULT[");
    if (start == std::string::npos) return "<none>";
    const size_t end = output.find("] ECHO[", start);
    return output.substr(start + 7, end - start - 7);
}

struct entry {
    std::string result;
    std::string output;
};

// Runs insert_pwd on a terminal, typing first and then second.
entry enter_twice(salt_form form, const std::string &first, const std::string &second) {
    pty_session child([form] {
        std::printf("New password: ");
        std::fflush(stdout);
        report(insert_pwd(form));
    });
    EXPECT_TRUE(child.started());
    EXPECT_TRUE(child.type_silently(first));
    EXPECT_TRUE(child.read_until("Re-enter the new password : "));
    EXPECT_TRUE(child.type_silently(second));
    EXPECT_TRUE(child.read_until("]\n"));
    EXPECT_NE(child.output().find("ECHO[1]"), std::string::npos) << child.output();
    EXPECT_EQ(child.wait_exit(), 0);
    return {result_of(child.output()), child.output()};
}

std::string host_crypt(const std::string &password, const std::string &salt) {
    const char *hash = crypt(password.c_str(), salt.c_str());
    return hash != nullptr ? hash : "<null>";
}

TEST(password_entry_test, the_same_password_twice_gives_its_hash_in_the_form_asked_for) {
    struct case_row {
        salt_form form;
        std::size_t length;
        const char *prefix;
    };
    for (const case_row row :
         {case_row{salt_form::md5, 34, "$1$"}, case_row{salt_form::traditional, 13, ""},
          case_row{salt_form::sha512, 106, "$6$"}}) {
        const entry typed = enter_twice(row.form, "open sesame", "open sesame");
        EXPECT_EQ(typed.result.size(), row.length) << typed.result;
        EXPECT_EQ(typed.result.rfind(row.prefix, 0), 0u) << typed.result;
        EXPECT_EQ(host_crypt("open sesame", typed.result), typed.result);
        // The echo was off: the password never showed.
        EXPECT_EQ(typed.output.find("open sesame"), std::string::npos) << typed.output;
    }
}

TEST(password_entry_test, entries_that_differ_in_a_trailing_blank_differ) {
    EXPECT_EQ(enter_twice(salt_form::md5, "secret", "secret ").result, "NULL");
}

// What insert_pwd reports when it refuses an entry at once, after the first prompt: the
// result, the failure's number and its text.
struct refusal {
    std::string result;
    int failure = -1;
    std::string output;
};

refusal refused_at_first_entry(const std::string &typed, bool end_of_input = false) {
    pty_session child([] {
        entry_failure failure = entry_failure::none;
        char *hash = insert_pwd(salt_form::md5, &failure);
        std::printf("FAILURE[%d] ", int(failure));
        report(hash);
        std::free(hash);
    });
    EXPECT_TRUE(child.started());
    if (end_of_input) {
        EXPECT_TRUE(tvn_test::wait_until([&] { return !child.echo_on(); }, 5s));
        EXPECT_TRUE(child.send_text("\x04"));
    } else {
        EXPECT_TRUE(child.type_silently(typed));
    }
    EXPECT_TRUE(child.read_until("]\n"));
    EXPECT_EQ(child.wait_exit(), 0);
    refusal seen;
    seen.result = result_of(child.output());
    const size_t at = child.output().find("FAILURE[");
    if (at != std::string::npos) seen.failure = std::atoi(child.output().c_str() + at + 8);
    seen.output = child.output();
    return seen;
}

TEST(password_entry_test, an_empty_a_too_long_or_no_password_is_refused_at_the_first_entry) {
    struct case_row {
        std::string typed;
        bool end_of_input;
        entry_failure failure;
    };
    const case_row rows[] = {
        {"", false, entry_failure::empty},
        {std::string(17, 'x'), false, entry_failure::too_long},
        {std::string(40, 'y'), false, entry_failure::too_long},
        {"", true, entry_failure::ended},
    };
    for (const case_row &row : rows) {
        const refusal seen = refused_at_first_entry(row.typed, row.end_of_input);
        EXPECT_EQ(seen.result, "NULL") << row.typed.size();
        EXPECT_EQ(seen.failure, int(row.failure)) << seen.output;
        // Nothing more is asked.
        EXPECT_EQ(seen.output.find("Re-enter"), std::string::npos) << seen.output;
        EXPECT_NE(entry_failure_text(row.failure), nullptr);
    }
}

TEST(password_entry_test, sixteen_characters_are_accepted) {
    const std::string longest(login_password_limit, 'p');
    const entry typed = enter_twice(salt_form::md5, longest, longest);
    ASSERT_EQ(typed.result.size(), 34u) << typed.output;
    EXPECT_EQ(host_crypt(longest, typed.result), typed.result);
}

TEST(password_entry_test, the_end_of_input_at_the_second_entry_gives_no_hash) {
    pty_session child([] {
        entry_failure failure = entry_failure::none;
        char *hash = insert_pwd(salt_form::md5, &failure);
        std::printf("FAILURE[%d] ", int(failure));
        report(hash);
        std::free(hash);
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.type_silently("secret"));
    ASSERT_TRUE(child.read_until("Re-enter the new password : "));
    ASSERT_TRUE(tvn_test::wait_until([&] { return !child.echo_on(); }, 5s));
    ASSERT_TRUE(child.send_text("\x04"));
    ASSERT_TRUE(child.read_until("]\n"));
    EXPECT_NE(child.output().find("FAILURE[" + std::to_string(int(entry_failure::ended)) + "]"),
              std::string::npos)
        << child.output();
    EXPECT_EQ(result_of(child.output()), "NULL");
}

TEST(password_entry_test, get_pwd_gives_nothing_at_the_end_of_input) {
    pty_session child([] { report(get_pwd()); });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(tvn_test::wait_until([&] { return !child.echo_on(); }, 5s));
    ASSERT_TRUE(child.send_text("\x04"));
    ASSERT_TRUE(child.read_until("]\n"));
    EXPECT_EQ(result_of(child.output()), "NULL");
    EXPECT_NE(child.output().find("ECHO[1]"), std::string::npos) << child.output();
}

TEST(password_entry_test, get_pwd_returns_the_line_however_long) {
    const std::string long_password(100, 'p');
    pty_session child([] {
        char *password = get_pwd();
        report(password);
        std::free(password);
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.type_silently(long_password));
    ASSERT_TRUE(child.read_until("]\n"));
    EXPECT_EQ(result_of(child.output()), long_password);
    // The typed line feed was not echoed, so the entry prints one.
    EXPECT_EQ(child.output().rfind("\r\nRESULT[", 0), 0u) << child.output();
}

TEST(password_entry_test, without_a_terminal_the_entry_reports_an_internal_error) {
    const auto printed = tvn_test::run_in_child([] {
        FILE *captured = std::tmpfile();
        const int null_input = open("/dev/null", O_RDONLY);
        dup2(null_input, STDIN_FILENO);
        dup2(fileno(captured), STDOUT_FILENO);
        char *hash = insert_pwd(salt_form::md5);
        std::fflush(stdout);
        std::string text(hash == nullptr ? "NULL:" : "HASH:");
        std::rewind(captured);
        for (int c; (c = std::fgetc(captured)) != EOF;) text += char(c);
        return text;
    });
    ASSERT_TRUE(printed.has_value());
    EXPECT_EQ(*printed, "NULL:Internal error\n");
}

} // namespace
