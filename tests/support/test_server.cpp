// A real tvn on a temporary root for integration tests.
#include "test_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tvn_test {

uint16_t free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

std::string loopback_server_section(const std::string &lines) {
    return "<Server>\n    AddIpAddress 127.0.0.1\n    ServerPort " + std::to_string(free_port()) +
           "\n" + lines + "</Server>\n";
}

namespace {

// The state letter and parent of a process, from /proc/PID/stat; false when it is gone or the
// line cannot be read. The command name may hold spaces and parentheses, so the fields are
// counted from the last ')'.
bool read_stat(const std::string &pid, char *state, pid_t *parent) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= text.size()) return false;
    std::istringstream fields(text.substr(close_paren + 2));
    long ppid = -1;
    if (!(fields >> *state >> ppid)) return false;
    *parent = pid_t(ppid);
    return true;
}

bool all_digits(const std::string &name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

std::vector<process_entry> child_processes(pid_t parent) {
    std::vector<process_entry> children;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent *entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (!all_digits(name)) continue;
        char state = 0;
        pid_t ppid = -1;
        if (read_stat(name, &state, &ppid) && ppid == parent)
            children.push_back({pid_t(std::strtol(name.c_str(), nullptr, 10)), state});
    }
    closedir(proc);
    return children;
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> pids;
    for (const auto &child : child_processes(parent))
        if (child.state != 'Z') pids.push_back(child.pid);
    return pids;
}

std::vector<pid_t> zombie_children_of(pid_t parent) {
    std::vector<pid_t> pids;
    for (const auto &child : child_processes(parent))
        if (child.state == 'Z') pids.push_back(child.pid);
    return pids;
}

char process_state_of(pid_t pid) {
    char state = 0;
    pid_t ignored;
    return read_stat(std::to_string(pid), &state, &ignored) ? state : 0;
}

bool port_listening(uint16_t port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted)
            return true;
    }
    return false;
}

void install_module(const temp_root &root, const std::string &name) {
    const std::string test_module = std::string(TVN_TEST_MODULE_DIR) + "/" + name;
    const std::string built = std::string(TVN_BUILT_MODULE_DIR) + "/" + name;
    fs::copy_file(fs::exists(test_module) ? test_module : built, root.file("lib/" + name),
                  fs::copy_options::overwrite_existing);
}

test_server::test_server(const server_options &options)
        : root_(options.parent_dir), port_(free_port()),
          ready_port_(options.ready_port != 0 ? options.ready_port : port_), server_(root_) {
    root_.install_server_library();
    for (const char *area : {"home", "home/Private", "home/Public", "home/Web"})
        fs::create_directory(root_.file(area));
    std::string config = "<Server>\n    AddIpAddress 127.0.0.1\n    ServerPort " +
                         std::to_string(port_) + "\n" + options.server_lines;
    for (const auto &module : options.modules) {
        install_module(root_, module);
        config += "    LoadModule " + module + "\n";
    }
    config += "</Server>\n" + options.module_sections;
    for (size_t at = config.find("@ROOT@"); at != std::string::npos; at = config.find("@ROOT@"))
        config.replace(at, 6, root_.path());
    root_.write_config(config);
    if (options.start) start();
}

test_server::~test_server() {
    if (running_) stop(SIGINT);
}

bool test_server::start() {
    running_ = server_.start();
    if (!running_) return false;
    running_ = wait_until(
        [&] { return port_listening(ready_port_) && children_of(server_.pid()).size() >= 5; }, 10s);
    return running_;
}

int test_server::stop(int signal_number) {
    running_ = false;
    return server_.stop(signal_number);
}

} // namespace tvn_test
