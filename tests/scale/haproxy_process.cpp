// Running HAProxy for the test bed: its configuration, its process and its administration
// socket.
#include "haproxy_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "server_root.h"
#include "test_server.h"
#include "tolvane/packet.h"

namespace tvnscale {

namespace {

using namespace std::chrono_literals;

std::string hex_of(const tvn_client::bytes &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// One question to the administration socket; its whole answer, empty on failure.
std::string ask_socket(const std::string &path, const std::string &question) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    std::string answer;
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        write(fd, question.data(), question.size()) == ssize_t(question.size())) {
        char piece[4096];
        for (ssize_t got; (got = read(fd, piece, sizeof piece)) > 0;) answer.append(piece, got);
    }
    close(fd);
    return answer;
}

std::vector<std::string> split(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, separator);) fields.push_back(field);
    return fields;
}

} // namespace

std::string haproxy_binary() {
    for (const char *path : {"/usr/sbin/haproxy", "/usr/local/sbin/haproxy", "/usr/bin/haproxy"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

// A KEEPALIVE before a login: the server answers it at once with the refusal of a request
// without a session, an answer that starts with the magic.
std::string check_packet_hex() { return hex_of(tvn_client::keepalive_request().build()); }
std::string check_answer_hex() { return hex_of({'S', 'I', 'S', 'P'}); }

std::string haproxy_config(const std::vector<balanced_service> &services,
                           const std::string &admin_socket, int check_ms) {
    std::ostringstream text;
    text << "global\n"
            // Room for every client of the bed twice over; HAProxy asks for two descriptors
            // per connection, which a lower hard limit (20000 here) must allow.
            "    maxconn 2048\n"
            "    stats socket "
         << admin_socket
         << " mode 600 level admin\n"
            "\n"
            "defaults\n"
            "    mode tcp\n"
            "    timeout connect 5s\n"
            "    timeout client 5m\n"
            "    timeout server 5m\n"
            "    timeout check 2s\n"
            "    retries 3\n"
            "    option redispatch\n"
            "\n";
    for (const balanced_service &service : services) {
        text << "listen " << service.name << "\n"
             << "    bind 127.0.0.1:" << service.port << "\n"
             << "    balance roundrobin\n"
                "    option tcp-check\n"
                // The check's own connection, without a connect rule, opens with the PROXY
                // header as the traffic does: version 2 says LOCAL, the balancer's own.
                "    tcp-check send-binary "
             << check_packet_hex() << "\n    tcp-check expect binary " << check_answer_hex()
             << "\n    default-server send-proxy-v2 check inter " << check_ms
             << "ms fall 2 rise 2\n";
        for (std::size_t i = 0; i < service.servers.size(); ++i)
            text << "    server s" << i << " 127.0.0.1:" << service.servers[i] << "\n";
        text << "\n";
    }
    return text.str();
}

haproxy_process::haproxy_process(const std::string &directory,
                                 const std::vector<balanced_service> &services, int check_ms)
        : socket_(directory + "haproxy.sock"), log_(directory + "haproxy.log") {
    const std::string config = directory + "haproxy.cfg";
    std::ofstream(config) << haproxy_config(services, socket_, check_ms);
    const std::string binary = haproxy_binary();
    if (binary.empty()) return;
    child_.emplace(tvn_test::fork_child([&] {
        const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) return 126;
        execl(binary.c_str(), binary.c_str(), "-f", config.c_str(), "-db", nullptr);
        return 127;
    }));
    started_ = tvn_test::wait_until(
        [&] {
            if (tvn_test::process_state_of(child_->pid()) == 'Z') return false;
            for (const balanced_service &service : services)
                if (!tvn_test::port_listening(service.port)) return false;
            return true;
        },
        10s);
}

void haproxy_process::stop() {
    if (child_ && child_->pid() > 0) {
        kill(child_->pid(), SIGTERM);
        child_->wait_exit(5s);
    }
    started_ = false;
}

std::string haproxy_process::server_state(const std::string &service, int server_index) const {
    const std::string table = ask_socket(socket_, "show stat\n");
    std::istringstream lines(table);
    std::string header;
    if (!std::getline(lines, header) || header.rfind("# ", 0) != 0) return "";
    const std::vector<std::string> columns = split(header.substr(2), ',');
    std::size_t status_column = columns.size();
    for (std::size_t i = 0; i < columns.size(); ++i)
        if (columns[i] == "status") status_column = i;
    const std::string wanted = "s" + std::to_string(server_index);
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> fields = split(line, ',');
        if (fields.size() > status_column && fields[0] == service && fields[1] == wanted)
            return fields[status_column];
    }
    return "";
}

bool haproxy_process::wait_state(const std::string &service, int server_index,
                                 const std::string &state,
                                 std::chrono::milliseconds timeout) const {
    return tvn_test::wait_until(
        [&] { return server_state(service, server_index).rfind(state, 0) == 0; }, timeout);
}

} // namespace tvnscale
