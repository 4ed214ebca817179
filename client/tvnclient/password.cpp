// Taking passwords from the environment and the terminal.
#include "password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "interrupt.h"
#include "local_file.h"

namespace tvnclient {

namespace {

std::optional<std::string> take_variable(const char *name) {
    char *value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    std::string copy(value);
    // The string still lies in the memory the kernel shows as the environment; blank it
    // before dropping the variable.
    explicit_bzero(value, copy.size());
    unsetenv(name);
    return copy;
}

void say(int fd, const std::string &text) {
    write_all(fd, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

} // namespace

environment_secrets take_environment_secrets() {
    environment_secrets secrets;
    secrets.password = take_variable("TVN_PASSWORD");
    secrets.new_password = take_variable("TVN_NEW_PASSWORD");
    return secrets;
}

problem ask_password(const std::string &prompt, std::string &password) {
    unique_fd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    termios saved{};
    if (!tty || tcgetattr(tty.get(), &saved) != 0)
        return usage_error(std::string("no password: set TVN_PASSWORD or run ") +
                           program_name() + " at a terminal");
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(tty.get(), TCSAFLUSH, &quiet) != 0)
        return usage_error("cannot switch the terminal's echo off");
    say(tty.get(), prompt);
    password.clear();
    problem failed;
    for (;;) {
        char c;
        const ssize_t n = read(tty.get(), &c, 1);
        if (n == 1 && c != '\n') {
            password += c;
            continue;
        }
        if (n < 0 && errno == EINTR && !interrupted()) continue;
        if (n < 0)
            failed = interrupted() ? make_problem(exit_status::interrupted, "", "interrupted")
                                   : local_failure(errno, "/dev/tty");
        break;
    }
    tcsetattr(tty.get(), TCSANOW, &saved);
    say(tty.get(), "\n");
    if (failed) explicit_bzero(password.data(), password.size());
    return failed;
}

} // namespace tvnclient
