// tvn: starts the server as a daemon and hands control to the server library.
//
//   tvn [-d work_directory]
//
// The process that calls tvn_main becomes the server's master process; it stays inside
// tvn_main until the server shuts down.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pid_file_lock.h"
#include "program_info.h"

namespace {

constexpr const char *HELP =
    "Usage: tvn [-d work_directory]\n"
    "Starts the tolvane file server as a daemon on the server root work_directory\n"
    "(default /usr/local/tolvane/) and returns at once. The server reads conf/tolvane.conf,\n"
    "loads lib/tolvane.so and its modules, writes its process id to log/tolvane.pid and\n"
    "everything it prints to log/tolvane.output.\n"
    "Signals to that process: TERM or INT stop it, QUIT stops it once finished sessions\n"
    "have reported, HUP reopens the activity logs.\n"
    "\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "See tvn(8) and tolvane.conf(5).\n";

using TVN_FUNCTION_POINTER = int (*)(char *);

constexpr const char *DEFAULT_ROOT = "/usr/local/tolvane/";
constexpr const char *OUTPUT_FILE = "log/tolvane.output";
constexpr const char *PID_FILE = "log/tolvane.pid";
constexpr const char *SERVER_LIBRARY = "lib/tolvane.so";
constexpr const char *ENTRY_POINT = "tvn_main";

void *tvn_lib = nullptr;
TVN_FUNCTION_POINTER tvn_function = nullptr;

int check_arguments(int argc, char **argv) {
    if (argc == 1) return 0;
    if (argc != 3) return -1;
    if (std::strncmp(argv[1], "-d", 2) != 0) return -1;
    struct stat status {};
    if (stat(argv[2], &status) != 0) {
        std::printf("The directory %s must exist\n", argv[2]);
        return -1;
    }
    return 0;
}

// The server root, always ending in "/", with room behind it for SERVER_LIBRARY. A relative
// directory is made absolute first: the process changes into the root, after which the
// relative name would mean something else.
char *get_dir_name(const char *dir, size_t *len) {
    std::string absolute;
    if (dir != nullptr && dir[0] != '/') {
        char *resolved = realpath(dir, nullptr);
        if (resolved != nullptr) {
            absolute = resolved;
            std::free(resolved);
            dir = absolute.c_str();
        }
    }
    const char *source = dir != nullptr ? dir : DEFAULT_ROOT;
    const size_t source_length = std::strlen(source);
    *len = source_length + 1 + std::strlen(SERVER_LIBRARY) + 1;
    auto *root = static_cast<char *>(std::calloc(*len, 1));
    if (root == nullptr) return nullptr;
    std::memcpy(root, source, source_length);
    if (source_length == 0 || root[source_length - 1] != '/') root[source_length] = '/';
    return root;
}

// The PID file stays open and locked for the life of the master: a second start on the same
// root finds the lock held and leaves the running server and its PID file alone.
int pid_file_fd = -1;

enum class pid_file_claim { claimed, running, failed };

// Takes the PID file's lock before anything of the running server could be touched (its
// output file included); *running_pid tells who holds it.
pid_file_claim claim_pid_file(const std::string &path, long *running_pid) {
    pid_file_fd = tvn_pid_file::open_file(path);
    if (pid_file_fd < 0) return pid_file_claim::failed; // reported once the output file is there
    if (tvn_pid_file::lock(pid_file_fd)) return pid_file_claim::claimed;
    *running_pid = tvn_pid_file::pid_in(pid_file_fd);
    close(pid_file_fd);
    pid_file_fd = -1;
    return pid_file_claim::running;
}

// Detaches: the parent ends at once with 0, the child leads a new session with its standard
// streams on /dev/null and the output file. Returns only in the child; a child that finds a
// server running on the root says so on its own output and ends.
void start_pgroup(char *server_root, const char *output_file, const std::string &pid_file) {
    pid_t child = fork();
    if (child < 0) {
        std::perror("Error creating new process");
        std::exit(1);
    }
    if (child > 0) {
        std::free(server_root);
        std::exit(0);
    }
    if (setsid() < 0) {
        std::perror("Error");
        std::exit(1);
    }
    long running_pid = 0;
    if (claim_pid_file(pid_file, &running_pid) == pid_file_claim::running) {
        std::printf("tvn: a server is already running on %s (pid %ld); it is left alone\n",
                    server_root, running_pid);
        std::exit(1);
    }
    unlink(output_file); // each start begins a new output file
    if (std::freopen("/dev/null", "r", stdin) == nullptr) {
        std::perror("unable to replace stdin with /dev/null");
        std::exit(1);
    }
    if (std::freopen(output_file, "a+", stdout) == nullptr) {
        std::printf("unable to replace stdout with %s ", output_file);
        std::fflush(stdout);
        std::perror("");
        std::exit(1);
    }
    if (std::freopen(output_file, "a+", stderr) == nullptr) {
        std::printf("unable to replace stderr with %s ", output_file);
        std::fflush(stdout);
        std::perror("");
        std::exit(1);
    }
}

void *prg_load(const char *lib_name, const char *funct_name, TVN_FUNCTION_POINTER *funct_hdl) {
    void *library = dlopen(lib_name, RTLD_NOW);
    void *symbol = library != nullptr ? dlsym(library, funct_name) : nullptr;
    if (symbol == nullptr) {
        std::printf("Can't load %s\n\n", lib_name);
        if (library != nullptr) dlclose(library);
        return nullptr;
    }
    *funct_hdl = reinterpret_cast<TVN_FUNCTION_POINTER>(symbol);
    return library;
}

bool write_pid_file(const std::string &path) {
    if (pid_file_fd < 0) pid_file_fd = tvn_pid_file::open_file(path);
    if (pid_file_fd < 0) {
        std::printf("Error opening PID file `%s`: ", path.c_str());
        std::fflush(stdout);
        std::perror("");
        return false;
    }
    if (!tvn_pid_file::write_pid(pid_file_fd, getpid())) {
        std::printf("Error writing PID file `%s`: ", path.c_str());
        std::fflush(stdout);
        std::perror("");
        return false;
    }
    return true;
}

int prg_main(const char *dir) {
    size_t len = 0;
    char *root = get_dir_name(dir, &len);
    if (root == nullptr) {
        std::printf("Sorry, no space left on the disk!!!\n");
        return -1;
    }
    if (chdir(root) != 0) {
        // Relative paths of the server then resolve elsewhere; the server reports what fails.
    }
    const std::string base = dir != nullptr ? root : DEFAULT_ROOT;
    start_pgroup(root, (base + OUTPUT_FILE).c_str(), base + PID_FILE);
    if (!write_pid_file(base + PID_FILE)) {
        std::free(root);
        return -1;
    }
    const size_t root_length = std::strlen(root);
    std::strcat(root, SERVER_LIBRARY);
    tvn_lib = prg_load(root, ENTRY_POINT, &tvn_function);
    if (tvn_lib == nullptr) {
        std::free(root);
        return -1;
    }
    root[root_length] = '\0';
    tvn_function(root);
    std::free(root);
    dlclose(tvn_lib);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (answer_program_info(argc, argv, "tvn", HELP)) return 0;
    if (check_arguments(argc, argv) != 0) {
        std::printf("\ntvn: usage: tvn [-d work_directory]\n");
        return -1;
    }
    prg_main(argc == 3 ? argv[2] : nullptr);
    return 0;
}
