// mount: tvnmount against tvnclient on the same server. Each round mounts afresh (an empty
// page cache) and copies the read workload's file out of the mount into a local file, then
// gets it with tvnclient get into a local file; then it extracts a tar of 1,000 small files
// (10 directories of 100, 100 bytes to 8 KiB) onto the mount with tar's defaults, against
// tvnclient put -r of the same tree. The local files lie in /dev/shm where it exists, so that
// no disk is timed. The medians of the rounds are printed, with the ratios the mount is held
// to.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "figures.h"
#include "own_server.h"
#include "workloads.h"

extern char **environ;

namespace tvnbench {

namespace {

namespace fs = std::filesystem;

constexpr int rounds = 3;
constexpr int tree_directories = 10;
constexpr int files_per_directory = 100;

// Runs a program to its end with its output dropped (standard error kept when verbose) and
// TVN_PASSWORD set: true when it exited 0.
bool run_program(const std::vector<std::string> &argv, const bench_options &options,
                 const std::string &password) {
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "TVN_PASSWORD=", 13) != 0) environment.emplace_back(*entry);
    environment.push_back("TVN_PASSWORD=" + password);
    std::vector<char *> env_pointers, arg_pointers;
    for (auto &entry : environment) env_pointers.push_back(entry.data());
    env_pointers.push_back(nullptr);
    std::vector<std::string> words = argv;
    for (auto &word : words) arg_pointers.push_back(word.data());
    arg_pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!options.verbose)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int failed = posix_spawnp(&child, arg_pointers[0], &actions, nullptr, arg_pointers.data(),
                                    env_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool is_mount_point(const std::string &directory) {
    struct stat here {
    }, above{};
    return stat(directory.c_str(), &here) == 0 && stat((directory + "/..").c_str(), &above) == 0 &&
           here.st_dev != above.st_dev;
}

// A temporary directory, removed with what is in it (never while a mount is on it).
class scratch {
public:
    scratch() {
        std::string name = (fs::temp_directory_path() / "tvnbench-mount-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) throw bench_error("mount: no temporary directory");
        path_ = name;
    }
    ~scratch() {
        std::error_code ignored;
        if (!is_mount_point(path_ + "/mnt")) fs::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The login options tvnmount and tvnclient share, for the session's server.
std::vector<std::string> login_words(const std::string &program, const server_address &address) {
    std::vector<std::string> words = {
        program, "-H", address.host, "-p", std::to_string(address.port), "-u", address.login};
    if (address.tls) {
        words.push_back("--tls");
        if (!address.ca_file.empty()) words.insert(words.end(), {"--ca", address.ca_file});
    }
    return words;
}

// The mount of one round, unmounted at the end of the round whatever happens.
class mounted {
public:
    mounted(const std::string &tvnmount, const std::string &point, const bench_context &context)
            : point_(point) {
        std::vector<std::string> words = login_words(tvnmount, context.address);
        words.push_back(point);
        if (!run_program(words, context.options, context.address.password) ||
            !is_mount_point(point))
            throw bench_error("mount: tvnmount could not mount " + point +
                              " (is /dev/fuse there, and fusermount3? try -v)");
    }
    ~mounted() {
        for (int attempt = 0; attempt < 50 && is_mount_point(point_); ++attempt) {
            const bench_options quiet;
            run_program({"fusermount3", "-u", point_}, quiet, "");
            if (is_mount_point(point_)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    mounted(const mounted &) = delete;
    mounted &operator=(const mounted &) = delete;

private:
    std::string point_;
};

// Copies the file as cp does, through a buffer of 128 KiB: the bytes copied.
std::uint64_t copy_file(const std::string &from, const std::string &to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw bench_error("mount: " + from + ": " + std::strerror(errno));
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        throw bench_error("mount: " + to + ": " + std::strerror(errno));
    }
    std::vector<char> buffer(128u << 10);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || write(out, buffer.data(), std::size_t(got)) != got) break;
        total += std::uint64_t(got);
    }
    close(in);
    close(out);
    return total;
}

// Where the local copies go: memory where there is a tmpfs.
std::string copies_directory(const std::string &otherwise) {
    struct stat status {};
    return stat("/dev/shm", &status) == 0 && S_ISDIR(status.st_mode) &&
                   access("/dev/shm", W_OK) == 0
               ? "/dev/shm"
               : otherwise;
}

// The tree and its tar, made once: the same bytes every round.
std::string make_tree(const std::string &under) {
    const std::string tree = under + "/tree";
    std::vector<char> bytes(8192 + 100);
    unsigned seed = 12345;
    for (int d = 0; d < tree_directories; ++d) {
        const std::string directory = tree + "/d" + std::to_string(d);
        fs::create_directories(directory);
        for (int f = 0; f < files_per_directory; ++f) {
            const std::size_t size = std::size_t((d * 100 + f) * 131 % 8092 + 100);
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = char((seed = seed * 1103515245 + 12345) >> 16);
            std::ofstream(directory + "/f" + std::to_string(f), std::ios::binary)
                .write(bytes.data(), std::streamsize(size));
        }
    }
    const std::string archive = under + "/tree.tar";
    const bench_options quiet;
    if (!run_program({"tar", "-cf", archive, "-C", under, "tree"}, quiet, ""))
        throw bench_error("mount: tar could not make the tree's archive (is tar installed?)");
    return archive;
}

double timed(const std::function<bool()> &step, const std::string &what) {
    const auto start = bench_clock::now();
    if (!step()) throw bench_error("mount: " + what + " failed (try -v)");
    return seconds_between(start, bench_clock::now());
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

void run_mount(const bench_context &context) {
    const bench_options &options = context.options;
    const std::string programs =
        options.build_dir.empty() ? program_dir() : options.build_dir + "/bin";
    const std::string tvnmount = programs + "/tvnmount";
    const std::string tvnclient = programs + "/tvnclient";
    for (const std::string &program : {tvnmount, tvnclient})
        if (access(program.c_str(), X_OK) != 0)
            throw bench_error("mount: no " + program + " (built with libfuse3-dev?)");
    const scratch work;
    const std::string point = work.path() + "/mnt";
    fs::create_directory(point);
    const std::string archive = make_tree(work.path());
    const std::string password = context.address.password;
    const std::string copy =
        copies_directory(work.path()) + "/tvnbench-mount-copy-" + std::to_string(getpid());
    // A copy in memory is never left behind, also when a step fails.
    const std::unique_ptr<const std::string, void (*)(const std::string *)> copy_removed(
        &copy, [](const std::string *path) { unlink(path->c_str()); });
    std::vector<double> through_mount, downloaded, tar_x, put_r;
    for (int round = 1; round <= rounds; ++round) {
        const std::string tar_dir = options.dir + "/mount-tar-" + std::to_string(round);
        const std::string put_dir = options.dir + "/mount-put-" + std::to_string(round);
        {
            const mounted mount(tvnmount, point, context);
            through_mount.push_back(timed(
                [&] {
                    return copy_file(point + context.paths.large, copy) == options.transfer_size;
                },
                "copying " + context.paths.large + " out of the mount"));
            fs::remove(copy);
            std::vector<std::string> get = login_words(tvnclient, context.address);
            get.insert(get.end(), {"get", context.paths.large, copy});
            downloaded.push_back(
                timed([&] { return run_program(get, options, password); }, "tvnclient get"));
            fs::remove(copy);
            fs::create_directory(point + tar_dir);
            tar_x.push_back(timed(
                [&] {
                    return run_program({"tar", "-xf", archive, "-C", point + tar_dir}, options,
                                       password);
                },
                "tar -x onto the mount"));
            std::vector<std::string> put = login_words(tvnclient, context.address);
            put.insert(put.end(), {"put", "-r", work.path() + "/tree", put_dir});
            put_r.push_back(
                timed([&] { return run_program(put, options, password); }, "tvnclient put -r"));
            std::error_code ignored;
            fs::remove_all(point + tar_dir, ignored);
            fs::remove_all(point + put_dir, ignored);
        }
        if (options.verbose) std::fprintf(stderr, "tvnbench: mount: round %d done\n", round);
    }
    const double size = double(options.transfer_size);
    const double mount_read = megabytes_per_second(size, median(through_mount));
    const double get_read = megabytes_per_second(size, median(downloaded));
    print_figure(context.figure("mount_read"), mount_read, "MB/s", 1);
    print_figure(context.figure("mount_get_read"), get_read, "MB/s", 1);
    print_figure(context.figure("mount_read_ratio"), mount_read / get_read, "x", 2);
    print_figure(context.figure("mount_tar_x"), median(tar_x), "s", 3);
    print_figure(context.figure("mount_put_r"), median(put_r), "s", 3);
    print_figure(context.figure("mount_tar_ratio"), median(tar_x) / median(put_r), "x", 2);
}

} // namespace tvnbench
