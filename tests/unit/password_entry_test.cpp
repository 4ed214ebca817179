// Password entry at a terminal: a child process on a pseudo-terminal types the password while
// this process watches the terminal's echo and the output.
#include <crypt.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "child_run.h"
#include "server_root.h"
#include "utils.h"

namespace {

using namespace std::chrono_literals;

// A child running on a pseudo-terminal, and this process at the other end of it.
class terminal {
public:
    // Runs body in the child, with the terminal as its standard input and output.
    explicit terminal(const std::function<void()> &body) {
        std::fflush(nullptr);
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            body();
            std::fflush(nullptr);
            _exit(0);
        }
        if (pid_ > 0) view_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    }
    ~terminal() {
        if (view_ >= 0) close(view_);
        if (master_ >= 0) close(master_);
        if (pid_ > 0) {
            pid_t reaped = 0;
            tvn_test::wait_for_exit(pid_, 5s, &reaped);
            if (reaped != pid_) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
    }
    bool started() const { return pid_ > 0 && view_ >= 0; }

    // Waits until the child has switched the echo off, then types line and Enter.
    bool type_silently(const std::string &line) {
        if (!tvn_test::wait_until([&] { return !echo_on(); }, 5s)) return false;
        const std::string typed = line + "\n";
        return write(master_, typed.data(), typed.size()) == ssize_t(typed.size());
    }
    bool echo_on() const {
        termios settings{};
        return tcgetattr(view_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }
    // Reads the child's output until it holds text; false on time-out or end.
    bool read_until(const std::string &text, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable{master_, POLLIN, 0};
            if (left.count() <= 0 || poll(&readable, 1, int(left.count())) <= 0) return false;
            char chunk[512];
            const ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) return false;
            output_.append(chunk, size_t(n));
        }
        return true;
    }
    const std::string &output() const { return output_; }

private:
    pid_t pid_ = -1;
    int master_ = -1;
    int view_ = -1; // this process's own descriptor of the child's side, to read its settings
    std::string output_;
};

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
    terminal child([form] {
        std::printf("New password: ");
        std::fflush(stdout);
        report(insert_pwd(form));
    });
    EXPECT_TRUE(child.started());
    EXPECT_TRUE(child.type_silently(first));
    EXPECT_TRUE(child.read_until("Re-enter the new password : "));
    EXPECT_TRUE(child.type_silently(second));
    EXPECT_TRUE(child.read_until("]\r\n"));
    EXPECT_NE(child.output().find("ECHO[1]"), std::string::npos) << child.output();
    return {result_of(child.output()), child.output()};
}

std::string host_crypt(const std::string &password, const std::string &salt) {
    const char *hash = crypt(password.c_str(), salt.c_str());
    return hash != nullptr ? hash : "<null>";
}

TEST(password_entry_test, the_same_password_twice_gives_its_hash_in_either_form) {
    struct case_row {
        salt_form form;
        std::size_t length;
        const char *prefix;
    };
    for (const case_row row : {case_row{salt_form::md5, 34, "$1$"},
                               case_row{salt_form::traditional, 13, ""}}) {
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

TEST(password_entry_test, an_empty_password_is_accepted_and_hashed) {
    const entry typed = enter_twice(salt_form::md5, "", "");
    ASSERT_EQ(typed.result.size(), 34u);
    EXPECT_EQ(host_crypt("", typed.result), typed.result);
}

TEST(password_entry_test, get_pwd_returns_the_line_however_long) {
    const std::string long_password(100, 'p');
    terminal child([] {
        char *password = get_pwd();
        report(password);
        std::free(password);
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.type_silently(long_password));
    ASSERT_TRUE(child.read_until("]\r\n"));
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

}  // namespace
