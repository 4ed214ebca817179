// The tvnmount tests' fixture: the server, the guarded mount, and programs run with a
// time-out.
#include "tvnmount_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace tvn_test::mount {

namespace fs = std::filesystem;

namespace {

// How long a program run by a test may take before it is ended.
constexpr auto program_time_limit = 60s;

bool executable_on_path(const std::string &name) {
    for (const char *directory : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"})
        if (access((std::string(directory) + "/" + name).c_str(), X_OK) == 0) return true;
    return false;
}

// Reads what the child writes until it ends or the deadline passes; false on the deadline.
bool drain(int fd, std::string &into, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd readable{fd, POLLIN, 0};
        const int ready = poll(&readable, 1, int(std::min<long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char chunk[4096];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) return true;
        into.append(chunk, std::size_t(got));
    }
}

} // namespace

std::string mount_unavailable() {
    if (geteuid() != 0) return "mounting needs root here (tests run as root in CI)";
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) return "/dev/fuse cannot be opened: " + std::string(std::strerror(errno));
    close(fuse);
    if (!executable_on_path("fusermount3")) return "fusermount3 is missing (package fuse3)";
    return {};
}

scratch_directory::scratch_directory(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

scratch_directory::~scratch_directory() {
    // Never remove through a mount that is still there.
    if (is_mounted(path_) && !unmount(path_)) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool is_mounted(const std::string &directory) {
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (fields >> id >> parent >> device >> root >> point && point == directory) return true;
    }
    return false;
}

bool unmount(const std::string &directory) {
    if (!is_mounted(directory)) return true;
    run({"fusermount3", "-u", directory});
    if (!is_mounted(directory)) return true;
    run({"fusermount3", "-uz", directory});
    return !is_mounted(directory);
}

namespace {

// Starts tvnmount -f in a session of its own (no terminal to ask a password at), its output
// in `log`.
child_guard start_tvnmount(const mount_settings &settings, const std::string &point,
                           const std::string &home, const std::string &log) {
    std::vector<std::string> argv = {TVNMOUNT_BINARY, "-f", "-H", "127.0.0.1", "-p",
                                     std::to_string(settings.port), "-u", "tester@test"};
    argv.insert(argv.end(), settings.options.begin(), settings.options.end());
    argv.push_back(point);
    const std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "HOME=" + home,
                                                  "TVN_PASSWORD=" + settings.password};
    return fork_child([&] {
        setsid();
        const int null_fd = ::open("/dev/null", O_RDONLY);
        const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null_fd, 0);
        dup2(log_fd, 1);
        dup2(log_fd, 2);
        std::vector<char *> args, env;
        for (const auto &word : argv) args.push_back(const_cast<char *>(word.c_str()));
        args.push_back(nullptr);
        for (const auto &word : environment) env.push_back(const_cast<char *>(word.c_str()));
        env.push_back(nullptr);
        execve(args[0], args.data(), env.data());
        return 127;
    });
}

} // namespace

mounted_tvnmount::mounted_tvnmount(const mount_settings &settings)
        : point_("tvnmount-point"), logs_("tvnmount-log"),
          process_(start_tvnmount(settings, point_.path(), logs_.path(), logs_.file("output"))) {
    mounted_ = wait_until(
        [&] {
            const char state = process_state_of(process_.pid());
            return is_mounted(point_.path()) || state == 'Z' || state == 0;
        },
        10s) &&
               is_mounted(point_.path());
}

mounted_tvnmount::~mounted_tvnmount() {
    unmount(point_.path());
    process_.wait_exit(5s);
}

std::string mounted_tvnmount::path(const std::string &relative) const {
    return relative.empty() ? point_.path() : point_.path() + "/" + relative;
}

std::string mounted_tvnmount::output() const { return read_file(logs_.file("output")); }

int mounted_tvnmount::finish() {
    unmount(point_.path());
    mounted_ = false;
    return process_.wait_exit(10s);
}

server_options mount_server_options(const std::string &server_lines) {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    return options;
}

void tvnmount_fixture::SetUp() {
    if (const std::string why = mount_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(server.running()) << server.output();
}

std::unique_ptr<mounted_tvnmount> tvnmount_fixture::mount(const std::vector<std::string> &options,
                                                          const std::string &password) {
    mount_settings settings;
    settings.port = server.port();
    settings.password = password;
    settings.options = options;
    auto made = std::make_unique<mounted_tvnmount>(settings);
    EXPECT_TRUE(made->mounted()) << made->output();
    return made;
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937_64 noise(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = noise();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = char(word >> (8 * j));
    }
    return bytes;
}

command_result run(const std::vector<std::string> &argv) {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    child_guard child = fork_child([&] {
        const int null_fd = ::open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(channel[1], 1);
        dup2(channel[1], 2);
        std::vector<char *> args;
        for (const auto &word : argv) args.push_back(const_cast<char *>(word.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        return 127;
    });
    close(channel[1]);
    command_result result;
    const bool ended =
        drain(channel[0], result.output, std::chrono::steady_clock::now() + program_time_limit);
    close(channel[0]);
    result.exit_status = ended ? child.wait_exit(10s) : -1;
    if (!ended) result.output += "\n[ended after " + std::to_string(program_time_limit.count()) + " s]";
    return result;
}

command_result shell(const std::string &line) { return run({"/bin/sh", "-c", line}); }

} // namespace tvn_test::mount
