// Running the built tvnclient in tests: with pipes on its standard streams or on a
// pseudo-terminal, always in a session of its own, so that it never finds the terminal the
// tests themselves may run at.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn_test::cli {

struct client_settings {
    std::vector<std::string> arguments;   // after the program's name
    std::vector<std::string> environment; // NAME=VALUE: the whole environment
    std::string directory;                // its working directory
    bool terminal = false;                // all three streams on a pseudo-terminal
    long file_size_limit = -1;            // RLIMIT_FSIZE in bytes; -1 for none
};

// A running tvnclient. Ended (by its pid) and reaped at destruction if still running.
class client_process {
public:
    explicit client_process(const client_settings &settings);
    ~client_process();
    client_process(const client_process &) = delete;
    client_process &operator=(const client_process &) = delete;

    pid_t pid() const { return pid_; }
    // Writes to its standard input (the terminal, with `terminal`).
    void send(std::string_view text);
    void close_input();
    // Reads its output until the condition holds; false when the time-out passed first.
    bool wait_for(const std::function<bool()> &condition,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads all its output and waits for its end: the exit status, 128 + the signal when a
    // signal ended it, -1 when it did not end in time (it is then killed).
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Standard output (everything, on a terminal) and standard error so far.
    const std::string &out() const { return out_text_; }
    const std::string &err() const { return err_text_; }

private:
    // Waits up to `wait` for output and reads what is there.
    void pump(std::chrono::milliseconds wait);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;
    std::string out_text_;
    std::string err_text_;
    bool reaped_ = false;
};

struct client_result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs tvnclient to its end with `input` on its standard input.
client_result run_client(const client_settings &settings, std::string_view input = {});

} // namespace tvn_test::cli
