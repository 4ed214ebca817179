// A real tvn on a temporary root, listening on a free loopback port, for integration tests.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "server_root.h"

namespace tvn_test {

// A port on 127.0.0.1 that was free a moment ago.
uint16_t free_port();

// A Server section on 127.0.0.1 and a free port, with extra lines inside it.
std::string loopback_server_section(const std::string &lines = "");

// A process and the state letter of its /proc/PID/stat ('R', 'S', 'T', 'Z', ...).
struct process_entry {
    pid_t pid;
    char state;
};

// Every child of pid, zombies included. Processes that end while the list is read are left
// out; nothing here throws.
std::vector<process_entry> child_processes(pid_t parent);

// Process ids whose parent is pid, zombies left out.
std::vector<pid_t> children_of(pid_t pid);

// The children of pid that have ended and wait to be reaped.
std::vector<pid_t> zombie_children_of(pid_t pid);

// The state letter of a process, or 0 when it is gone.
char process_state_of(pid_t pid);

// True when something listens on 127.0.0.1:port (or any address) over TCP.
bool port_listening(uint16_t port);

struct server_options {
    std::vector<std::string> modules; // test modules (built for the tests) or built modules
    std::string server_lines;         // extra lines of the Server section; @ROOT@ as below
    std::string module_sections;      // text after the Server section; @ROOT@ stands for the
                                      // root's path (with its trailing "/")
    bool start = true;
    std::string parent_dir = "/tmp"; // where the root is made
    uint16_t ready_port = 0;         // the port start() waits for; 0: the plain port
};

// Root, configuration and a running server; stopped with SIGINT at destruction.
class test_server {
public:
    explicit test_server(const server_options &options = {});
    ~test_server();

    temp_root &root() { return root_; }
    uint16_t port() const { return port_; }
    pid_t pid() const { return server_.pid(); }
    bool running() const { return running_; }
    // Starts tvn and waits until the port listens and five workers stand ready.
    bool start();
    // Sends the signal and waits for the master to end: its exit status or -1.
    int stop(int signal_number);
    std::string output() const { return root_.output(); }
    // The worker processes (children of the master).
    std::vector<pid_t> workers() const { return children_of(pid()); }

private:
    temp_root root_;
    uint16_t port_;
    uint16_t ready_port_;
    launched_server server_;
    bool running_ = false;
};

// Installs a module into the root: a test module by its target name, or a built module.
void install_module(const temp_root &root, const std::string &name);

} // namespace tvn_test
