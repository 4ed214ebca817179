// Laying out an own server's root, starting tvn on it and stopping it. Only the daemon whose
// pid the launcher wrote is ever signalled.
#include "own_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "bench_session.h"
#include "own_certificate.h"
#include "proc_view.h"

namespace fs = std::filesystem;

namespace tvnbench {

namespace {

using namespace std::chrono_literals;

const char *const module_libraries[] = {"listacct.so", "pathmap.so", "journal.so"};
const char *const logged_methods[] = {
    "LogConnection", "LogDisconnect", "LogGetdir", "LogOpenFile", "LogReadFile",
    "LogWriteFile",  "LogCloseFile",  "LogDelete", "LogMakedir",  "LogRename",
    "LogCopyfile",   "LogChangePwd",  "LogSetTime"};

std::uint16_t free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw bench_error("no socket for a free port");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    close(fd);
    if (!ok) throw bench_error("no free port on 127.0.0.1");
    return ntohs(address.sin_port);
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
    if (!out) throw bench_error("cannot write " + path);
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

struct service_account {
    std::string user;
    std::string group;
    uid_t uid;
    gid_t gid;
};

service_account find_service_account(const std::string &wanted) {
    std::string name = wanted;
    if (name.empty()) {
        if (getuid() == 0) {
            name = "nobody";
        } else {
            const passwd *self = getpwuid(getuid());
            if (self == nullptr) throw bench_error("who am I? no account for my user id");
            name = self->pw_name;
        }
    }
    const passwd *account = getpwnam(name.c_str());
    if (account == nullptr) throw bench_error("no user " + name + " for the sessions");
    const group *primary = getgrgid(account->pw_gid);
    if (primary == nullptr) throw bench_error("no group for the user " + name);
    return {name, primary->gr_name, account->pw_uid, account->pw_gid};
}

// The TLS keys of the Server section; none without a TLS port.
std::string tls_lines(const own_server &server) {
    if (server.tls_port() == 0) return {};
    return "    TlsPort " + std::to_string(server.tls_port()) + "\n    TlsCertificateFile " +
           server.certificate_file() + "\n    TlsKeyFile " + server.key_file() + "\n";
}

std::string configuration(const std::string &root, std::uint16_t port,
                          const service_account &account, const std::string &tls) {
    std::string text =
        "# Written by tvnbench: loopback, list accounts, path mapping, journal.\n"
        "<Server>\n"
        "    AddIpAddress 127.0.0.1\n"
        "    ServerPort " +
        std::to_string(port) + "\n" + tls +
        "    ConnectionIdleTimeout 300\n"
        "    ConnectionKeepalive 120\n"
        "    ConnectionKeepaliveTimeout 120\n"
        "    MaxConcurrentUsers 2999\n";
    for (const char *module : module_libraries)
        text += std::string("    LoadModule ") + module + "\n";
    text +=
        "</Server>\n\n"
        "<module mod_virtual_users>\n"
        "    TvnUser " +
        account.user +
        "\n"
        "    TvnGroup " +
        account.group +
        "\n"
        "    <VirtualDomain bench>\n"
        "        PasswdFile " +
        root +
        "users/bench.passwd\n"
        "        EnableDomain 1\n"
        "        OwnerChangePassword Enabled\n"
        "        GuestChangePassword Enabled\n"
        "        Alias bench\n"
        "    </VirtualDomain>\n"
        "</module>\n\n"
        "<module mod_log>\n"
        "    <VirtualDomain bench>\n"
        "        LoggingFile " +
        root + "log/journal.log\n";
    for (const char *key : logged_methods) text += std::string("        ") + key + " on\n";
    text +=
        "    </VirtualDomain>\n"
        "</module>\n";
    return text;
}

} // namespace

std::string program_dir() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

own_server::own_server(const own_server_settings &settings) {
    build_dir_ = settings.build_dir.empty() ? fs::path(program_dir()).parent_path().string()
                                            : settings.build_dir;
    lay_out(settings);
    start();
}

own_server::~own_server() {
    if (detached_) return;
    stop();
    if (temporary_) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

void own_server::lay_out(const own_server_settings &settings) {
    if (settings.root.empty()) {
        char pattern[] = "/tmp/tvnbench.XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw bench_error("cannot make a temporary root");
        root_ = pattern;
        temporary_ = true;
    } else {
        root_ = fs::absolute(settings.root).lexically_normal().string();
        if (fs::exists(root_) && !fs::is_empty(root_))
            throw bench_error("--root " + root_ + ": not empty");
    }
    if (root_.back() != '/') root_ += '/';
    const service_account account = find_service_account(settings.service_user);
    for (const char *dir : {"conf", "lib", "log", "users", "home/bench/Private",
                            "home/bench/Public", "home/bench/Web"})
        fs::create_directories(root_ + dir);
    // The sessions run as the service account, which must reach the user's directories.
    fs::permissions(root_, fs::perms(0755));
    fs::copy_file(build_dir_ + "/lib/tolvane.so", root_ + "lib/tolvane.so");
    for (const char *module : module_libraries)
        fs::copy_file(build_dir_ + "/lib/" + module, root_ + "lib/" + module);
    write_text(root_ + "users/bench.passwd", std::string("bench!") + own_password_hash + "!" +
                                                 own_password_hash + "!" + root_ +
                                                 "home/bench!!!!\n");
    port_ = free_port();
    if (settings.tls) {
        make_own_certificate(certificate_file(), key_file());
        do tls_port_ = free_port();
        while (tls_port_ == port_);
    }
    write_text(root_ + "conf/tolvane.conf", configuration(root_, port_, account, tls_lines(*this)));
    for (const auto &entry : fs::recursive_directory_iterator(root_ + "home"))
        if (chown(entry.path().c_str(), account.uid, account.gid) != 0 && getuid() == 0)
            throw bench_error("cannot give " + entry.path().string() + " to " + account.user);
    if (chown((root_ + "home").c_str(), account.uid, account.gid) != 0 && getuid() == 0)
        throw bench_error("cannot give the home directory to " + account.user);
}

bool own_server::listening() const {
    return port_listening(port_) && (tls_port_ == 0 || port_listening(tls_port_));
}

void own_server::start() {
    const std::string tvn = build_dir_ + "/bin/tvn";
    const pid_t launcher = fork();
    if (launcher < 0) throw bench_error("cannot fork the launcher");
    if (launcher == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, STDIN_FILENO);
            dup2(null_fd, STDOUT_FILENO);
        }
        execl(tvn.c_str(), "tvn", "-d", root_.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    const bool returned =
        wait_until([&] { return waitpid(launcher, &status, WNOHANG) == launcher; }, 10s);
    if (!returned || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw bench_error(tvn + " -d " + root_ + " failed:\n" +
                          read_text(root_ + "log/tolvane.output"));
    const std::string output_file = root_ + "log/tolvane.output";
    const bool up = wait_until(
        [&] {
            const std::string output = read_text(output_file);
            return output.find("I can't go on") != std::string::npos ||
                   (output.find("..OK\n") != std::string::npos && listening());
        },
        10s);
    pid_ = static_cast<pid_t>(std::atol(read_text(root_ + "log/tolvane.pid").c_str()));
    if (!up || pid_ <= 0 || !listening())
        throw bench_error("the server did not start:\n" + read_text(output_file));
    // A signal that came before its handlers were installed would end it the default way.
    wait_until([&] { return catches_signal(pid_, SIGINT); }, 5s);
}

bool own_server::stop() {
    if (pid_ <= 0) return true;
    const pid_t pid = pid_;
    pid_ = -1;
    if (kill(pid, SIGINT) != 0) return true;
    return wait_until([&] { return !process_alive(pid); }, 30s);
}

} // namespace tvnbench
