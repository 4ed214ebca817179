// Test support: a temporary server root, running programs, and waiting for conditions.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tvn_test {

using namespace std::chrono_literals;

// A fresh server root under parent_dir (/tmp unless given) with conf/, lib/ and log/; removed
// with everything in it.
class temp_root {
public:
    explicit temp_root(const std::string &parent_dir = "/tmp");
    ~temp_root();
    temp_root(const temp_root &) = delete;
    temp_root &operator=(const temp_root &) = delete;

    // The root's path, ending in "/".
    const std::string &path() const { return path_; }
    std::string file(const std::string &relative) const { return path_ + relative; }
    void write_file(const std::string &relative, const std::string &content) const;
    std::string read_file(const std::string &relative) const;
    bool exists(const std::string &relative) const;

    // Writes conf/tolvane.conf.
    void write_config(const std::string &text) const { write_file("conf/tolvane.conf", text); }
    // Copies the built server library to lib/tolvane.so.
    void install_server_library() const;
    // Copies a test module (recorder_module, failing_init_module, no_init_module) to lib/NAME.
    // Each copy is a file of its own, so copies load as separate libraries.
    void install_test_module(const std::string &module, const std::string &name) const;
    // The server's output file.
    std::string output() const { return read_file("log/tolvane.output"); }

private:
    std::string path_;
};

struct command_result {
    int exit_status = -1; // -1 when the program did not exit normally
    std::string output;   // standard output and standard error
};

// Runs a program to its end, with standard input on /dev/null.
command_result run_command(const std::vector<std::string> &argv);

// Makes this process the reaper of its orphaned descendants, so that the daemon a test starts
// can be waited for and its exit status read.
void become_subreaper();

// Polls the condition every 10 ms until it holds or the time-out passes.
bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

// Waits for a child (or adopted orphan) to end: its exit status, or -1 on time-out or when it
// was killed by a signal. pid -1 waits for any.
int wait_for_exit(pid_t pid, std::chrono::milliseconds timeout, pid_t *reaped = nullptr);

// True once start-up has printed "..OK" and every module load has finished, or start-up
// failed.
bool startup_settled(const std::string &output);

// True when the process has a handler installed for the signal.
bool catches_signal(pid_t pid, int signal_number);

// The decimal pid in the root's log/tolvane.pid, or -1.
pid_t read_pid_file(const temp_root &root);

// A server started with tvn -d on a temporary root; stopped with SIGINT when still running
// at destruction. Ends only the processes it started, by pid.
class launched_server {
public:
    explicit launched_server(const temp_root &root) : root_(root) {}
    ~launched_server();
    // Runs tvn and waits until the output file shows start-up complete ("..OK") or the daemon
    // ended. True when the daemon runs.
    bool start(std::chrono::milliseconds timeout = 10s);
    pid_t pid() const { return pid_; }
    // Sends the signal and waits for the daemon to end; its exit status or -1.
    int stop(int signal_number, std::chrono::milliseconds timeout = 20s);
    // The daemon's exit status once it has ended by itself; -1 on time-out.
    int wait_exit(std::chrono::milliseconds timeout = 10s);
    int launcher_status() const { return launcher_status_; }

private:
    const temp_root &root_;
    pid_t pid_ = -1;
    int launcher_status_ = -1;
    bool ended_ = false;
};

} // namespace tvn_test
