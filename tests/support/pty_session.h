// Test support: a program, or a piece of code, run on a pseudo-terminal, with the test at the
// other end reading what it prints and typing its answers; for dialogues that read passwords
// with the terminal's echo off.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tvn_test {

struct pty_options {
    std::string cwd;               // the working directory; empty: the test's own
    std::optional<uid_t> uid;      // run as this user, with its primary group and no others
    std::function<bool()> prepare; // runs in the child before the program; false: exit 125
};

class pty_session {
public:
    // Runs body in a forked child on the terminal; the child then exits with status 0.
    explicit pty_session(const std::function<void()> &body);
    // Runs the program argv[0] with the arguments that follow it. A program run as another
    // user runs from a copy in a directory that user can enter (the build tree may lie in a
    // home directory no one else may enter); the copy goes with the session.
    explicit pty_session(const std::vector<std::string> &argv, const pty_options &options = {});
    // Kills the child if it still runs, by its pid.
    ~pty_session();
    pty_session(const pty_session &) = delete;
    pty_session &operator=(const pty_session &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Whether the terminal echoes what is typed.
    bool echo_on() const;
    // Types line and Enter.
    bool send_line(const std::string &line);
    // Types text as it is.
    bool send_text(const std::string &text);
    // Waits until the echo is off (a password is being read), then types line and Enter:
    // typed earlier, it would be discarded with the input typed with echo on.
    bool type_silently(const std::string &line,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until text appears in the output after the place where the previous wait ended,
    // and moves that place behind it. Line ends are compared as "\n". False on time-out or
    // when the child has gone.
    bool read_until(const std::string &text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads everything up to the child's end and reaps it: its exit status, or -1 when it did
    // not exit within the time-out (it is then killed) or was killed by a signal.
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Everything read so far, as the terminal gave it ("\r\n" line ends).
    const std::string &output() const { return output_; }
    // The same with "\n" line ends.
    std::string text() const;

private:
    void start(const std::function<void()> &child_body);
    // Reads what is there, waiting up to wait_ms for something; false at the end of output.
    bool read_some(int wait_ms);

    pid_t pid_ = -1;
    int master_ = -1;
    bool output_ended_ = false;
    bool reaped_ = false;
    int status_ = -1;
    std::string output_;
    std::size_t seen_ = 0;      // in text()
    std::string reachable_dir_; // holds the copy of a program run as another user
};

} // namespace tvn_test
