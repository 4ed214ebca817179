// Logging in, changing passwords and adding users as a client and an administrator do.
#include "account_wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "pty_session.h"
#include "tolvane/packet.h"
#include "tolvane/protocol.h"

namespace tvn_test {

namespace {

constexpr auto answer_timeout = std::chrono::seconds(30);

// Waits for a non-blocking connect to finish; true when it succeeded.
bool connected_in_time(int fd, std::chrono::milliseconds timeout) {
    pollfd watched{fd, POLLOUT, 0};
    int ready;
    while ((ready = poll(&watched, 1, int(timeout.count()))) < 0 && errno == EINTR) {}
    if (ready != 1) return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// The one answer of a first request on a fresh connection.
wire_outcome first_answer(std::uint16_t port, const std::string &source,
                          const tvn_client::bytes &packet, tvn_client::answer *answer,
                          std::optional<tvn_client::connection> *kept) {
    auto link = connect_from(source, port, std::chrono::seconds(10));
    if (!link) return wire_outcome::no_answer;
    if (link->request(packet, *answer, answer_timeout) != tvn_client::read_result::answer_read)
        return wire_outcome::no_answer;
    if (kept != nullptr) *kept = std::move(link);
    return wire_outcome::accepted; // the caller judges the answer
}

bool type_steps(pty_session &tool, const std::string &name, const std::string &owner,
                const std::string &guest, const std::string &home) {
    const std::string again = "Re-enter the new password : ";
    return tool.read_until("Login name for new user : ") && tool.send_line(name) &&
           tool.read_until("Enter the new owner password : ") && tool.type_silently(owner) &&
           tool.read_until(again) && tool.type_silently(owner) &&
           tool.read_until("Enter the new guest password : ") && tool.type_silently(guest) &&
           tool.read_until(again) && tool.type_silently(guest) &&
           tool.read_until("Home directory    :  ") && tool.send_line(home);
}

} // namespace

std::optional<tvn_client::connection> connect_from(const std::string &source, std::uint16_t port,
                                                   std::chrono::milliseconds timeout) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::nullopt;
    tvn_client::connection owned(fd); // closes fd on every way out
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            return std::nullopt;
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0 &&
        (errno != EINPROGRESS || !connected_in_time(fd, timeout)))
        return std::nullopt;
    return owned;
}

wire_outcome try_login(std::uint16_t port, const std::string &source, const std::string &login,
                       const std::string &password,
                       std::optional<tvn_client::connection> *session) {
    tvn_client::answer answer;
    const auto packet =
        tvn_client::connect_request(login, password, TVN_OPTION_EXTENDED_LISTING).build();
    if (first_answer(port, source, packet, &answer, session) == wire_outcome::no_answer)
        return wire_outcome::no_answer;
    if (answer.method() == CONNECT && answer.status() == OK) return wire_outcome::accepted;
    if (session != nullptr) session->reset();
    return wire_outcome::refused;
}

wire_outcome try_change(std::uint16_t port, const std::string &source, const std::string &login,
                        const std::string &owner_password, const std::string &new_password,
                        bool owner) {
    tvn_client::answer answer;
    const auto packet =
        tvn_client::changepwd_request(login, owner_password, new_password, owner).build();
    if (first_answer(port, source, packet, &answer, nullptr) == wire_outcome::no_answer)
        return wire_outcome::no_answer;
    return answer.method() == CONNECT && answer.status() == OK ? wire_outcome::accepted
                                                               : wire_outcome::refused;
}

bool add_user_with_tool(const std::string &program, const std::string &root,
                        const std::string &database, const std::string &name,
                        const std::string &owner_password, const std::string &guest_password,
                        const std::string &home, std::string *output) {
    pty_options options;
    options.cwd = root;
    pty_session tool({program, database, root}, options);
    const bool typed =
        tool.started() && type_steps(tool, name, owner_password, guest_password, home);
    const int status = tool.wait_exit(std::chrono::seconds(30));
    if (output != nullptr) *output = tool.text();
    return typed && status == 0;
}

} // namespace tvn_test
