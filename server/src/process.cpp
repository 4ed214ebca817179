// The master process: listening sockets, the status queue and area, the accept lock, and the
// loop that keeps at least five idle workers and releases the finished ones.
#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "workers.h"

process_state tvn_process;
int32_t socket_num = -1;

namespace {

constexpr int LISTEN_BACKLOG = 10;
constexpr int DRAIN_EMPTY_POLLS = 8;
constexpr rlim_t CORE_LIMIT = 100000;

// Master-only bookkeeping.
struct master_counts {
    int next_slot = 0;
    int idle_workers = 0;
    int slots_used = 0;
};
master_counts counts;
volatile sig_atomic_t drain_on_quit = 0;

int open_listeners(tvn_server_conf *conf) {
    const uint16_t port = conf->listen_addrs->port;
    for (tvn_listen_addr *entry = conf->listen_addrs;
         entry != nullptr && tvn_process.socket_count < MAX_LISTENERS; entry = entry->next) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return -1;
        tvn_process.sockets[tvn_process.socket_count++] = fd;
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = entry->address;
        address.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            std::printf("\nKeep Attention: the address is already in use, I can't go on.\n\n");
            std::fflush(stdout);
            return -1;
        }
        if (listen(fd, LISTEN_BACKLOG) != 0) return -1;
    }
    socket_num = tvn_process.socket_count - 1;
    if (!conf->restricted) return 0;
    // Give up root for good, and check it: supplementary groups, then group, then user.
    const gid_t group = gid_t(conf->run_gid);
    const char *failed = nullptr;
    if (setgroups(1, &group) != 0) failed = "setgroups";
    else if (setgid(group) != 0) failed = "setgid";
    else if (setuid(uid_t(conf->run_uid)) != 0) failed = "setuid";
    if (failed != nullptr) {
        std::printf("\nCan't switch to the restricted user and group: %s failed: %s\n\n", failed,
                    std::strerror(errno));
        std::fflush(stdout);
        return -1;
    }
    umask(022);
    return 0;
}

int create_ipc(tvn_server_conf *conf) {
    const rlimit core{CORE_LIMIT, CORE_LIMIT};
    setrlimit(RLIMIT_CORE, &core);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    tvn_process.queue_id = msgget(IPC_PRIVATE, IPC_CREAT | 0622);
    if (tvn_process.queue_id < 0) return -1;
    tvn_process.shm_id = shmget(IPC_PRIVATE, STATUS_AREA_SIZE, IPC_CREAT | 0600);
    if (tvn_process.shm_id < 0) return -1;
    void *area = shmat(tvn_process.shm_id, nullptr, 0);
    if (area == reinterpret_cast<void *>(-1)) return -1;
    tvn_process.area = static_cast<tvn_status_area *>(area);
    std::memset(area, 0, STATUS_AREA_SIZE);
    counts = master_counts{};
    const std::string path = std::string(conf->server_root) + "log/accept.lock";
    tvn_process.lock_path = strdup(path.c_str());
    if (tvn_process.lock_path == nullptr) {
        std::fputs("*********** TOLVANE SERVER ERRORR  **********\n", stderr);
        return -1;
    }
    return 0;
}

// The lock file exists only until every process holds its descriptor.
int create_accept_lock() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(tvn_process.lock_path, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            unlink(tvn_process.lock_path);
            return fd;
        }
        if (attempt == 0) unlink(tvn_process.lock_path); // a stale one from a crashed run
    }
    std::printf("\nCan't create the accept lock %s: %s\n\n", tvn_process.lock_path,
                std::strerror(errno));
    std::fflush(stdout);
    return -1;
}

int slot_of(pid_t pid) {
    if (pid <= 0) return -1;
    for (int i = 0; i <= counts.slots_used && i < WORKER_SLOTS; ++i)
        if (tvn_process.area->slots[i].pid == pid) return i;
    return -1;
}

void choose_next_slot() {
    worker_slot *slots = tvn_process.area->slots;
    for (int i = 0; i < counts.slots_used; ++i) {
        if (slots[i].pid == 0) {
            counts.next_slot = i;
            return;
        }
    }
    if (counts.slots_used >= WORKER_SLOTS) {
        counts.next_slot = -1;
    } else if (slots[counts.slots_used].pid == 0) {
        counts.next_slot = counts.slots_used++;
    }
}

// In the master: the child's pid, or -1 when the fork failed (nothing changed then).
pid_t spawn_worker(tvn_server_conf *conf) {
    const int slot = counts.next_slot;
    pid_t child = fork();
    if (child < 0) {
        std::printf("\nCan't start a worker process: %s\n", std::strerror(errno));
        std::fflush(stdout);
        return -1;
    }
    if (child > 0) {
        tvn_process.area->slots[slot].pid = child;
        return child;
    }
    tvn_process.my_slot = slot;
    struct sigaction action {};
    action.sa_handler = os_quit_child;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGCHLD);
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    tvn_process.area->slots[slot].state = SLOT_STARTED;
    worker_accept(conf);
    report_finished_and_wait();
}

bool start_one_worker(tvn_server_conf *conf) {
    if (spawn_worker(conf) < 0) return false;
    choose_next_slot();
    ++counts.idle_workers;
    return true;
}

void clear_slot(int slot) {
    worker_slot &entry = tvn_process.area->slots[slot];
    entry.pid = 0;
    entry.state = SLOT_FREE;
    if (slot == counts.slots_used - 1) counts.slots_used = slot;
    if (counts.next_slot == -1) counts.next_slot = slot;
}

// A worker reported MSG_FINISHED: release it (SIGUSR1), reap it and free its slot. Reports
// naming a process that is not one of our workers are dropped: the queue is writable by every
// user, and a signal must never reach a stranger.
void release_finished(pid_t sender, bool adjust_counts) {
    const int slot = slot_of(sender);
    if (slot < 0) return;
    if (adjust_counts) {
        if (tvn_process.area->slots[slot].state == SLOT_SERVING) --tvn_process.area->busy_count;
        else --counts.idle_workers;
    }
    if (kill(sender, SIGUSR1) != 0) return;
    pid_t reaped;
    do reaped = waitpid(-1, nullptr, 0);
    while (reaped < 0 && errno == EINTR);
    const int reaped_slot = slot_of(reaped);
    if (reaped_slot >= 0) clear_slot(reaped_slot);
}

void handle_report(const tvn_status_msg &message, bool in_drain) {
    const auto sender = pid_t(message.pid);
    if (message.kind == MSG_ACCEPTED) {
        if (in_drain || slot_of(sender) < 0) return;
        ++tvn_process.area->busy_count;
        --counts.idle_workers;
    } else if (message.kind == MSG_FINISHED) {
        release_finished(sender, !in_drain);
    }
}

void drain_finished_workers() {
    for (int empty_polls = 0; empty_polls < DRAIN_EMPTY_POLLS;) {
        tvn_status_msg message{};
        if (msgrcv(tvn_process.queue_id, &message, STATUS_MSG_TEXT, STATUS_MESSAGE_TYPE,
                   IPC_NOWAIT) < 0) {
            if (errno == EINTR) continue;
            ++empty_polls;
            sleep(1);
            continue;
        }
        handle_report(message, true);
    }
}

void kill_remaining_workers() {
    for (int i = 0; i < counts.slots_used && i < WORKER_SLOTS; ++i) {
        const pid_t pid = tvn_process.area->slots[i].pid;
        if (pid <= 0) continue; // never kill(0) or kill(-1): they name process groups
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        tvn_process.area->slots[i] = worker_slot{};
    }
}

int master_loop(tvn_server_conf *conf) {
    struct sigaction action {};
    action.sa_handler = os_quit_server;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGCHLD);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    tvn_process.area->running = 1;
    tvn_process.accept_lock_fd = create_accept_lock();
    if (tvn_process.accept_lock_fd < 0) return -1;
    counts.slots_used = 1;
    for (int i = 0; i < MIN_IDLE_WORKERS && counts.next_slot != -1; ++i) start_one_worker(conf);

    while (tvn_process.area->running) {
        if (counts.idle_workers < MIN_IDLE_WORKERS && counts.next_slot != -1 &&
            !start_one_worker(conf)) {
            sleep(1); // a failed fork is tried again on a later pass, not in a busy loop
            continue;
        }
        tvn_status_msg message{};
        if (msgrcv(tvn_process.queue_id, &message, STATUS_MSG_TEXT, STATUS_MESSAGE_TYPE, 0) < 0)
            continue;
        handle_report(message, false);
    }
    if (drain_on_quit) drain_finished_workers();
    kill_remaining_workers();
    return 0;
}

void clean_up() {
    if (tvn_process.area != nullptr) {
        shmdt(tvn_process.area);
        tvn_process.area = nullptr;
    }
    if (tvn_process.shm_id >= 0) shmctl(tvn_process.shm_id, IPC_RMID, nullptr);
    if (tvn_process.queue_id >= 0) msgctl(tvn_process.queue_id, IPC_RMID, nullptr);
    tvn_process.shm_id = tvn_process.queue_id = -1;
    unlink("log/tolvaned.pid");
    for (int i = 0; i < tvn_process.socket_count; ++i) close(tvn_process.sockets[i]);
    tvn_process.socket_count = 0;
    if (tvn_process.accept_lock_fd >= 0) close(tvn_process.accept_lock_fd);
    tvn_process.accept_lock_fd = -1;
    free(tvn_process.lock_path);
    tvn_process.lock_path = nullptr;
}

}  // namespace

extern "C" int os_get_server_status(void) {
    return tvn_process.area != nullptr ? tvn_process.area->running : 0;
}

extern "C" void os_quit_server(int signal_number) {
    if (tvn_process.area != nullptr) tvn_process.area->running = 0;
    if (signal_number != SIGINT) drain_on_quit = 1;
    // Wake the master if it sits in msgrcv: the signal may have come just before the call.
    tvn_status_msg wake{STATUS_MESSAGE_TYPE, MSG_WAKE, uint32_t(getpid())};
    msgsnd(tvn_process.queue_id, &wake, STATUS_MSG_TEXT, IPC_NOWAIT);
}

extern "C" int os_stop_main(void) { return 0; }

extern "C" int os_main(tvn_server_conf *conf, tvn_init_mpool *) {
    std::fflush(stdout);
    if (open_listeners(conf) == 0 && create_ipc(conf) == 0) master_loop(conf);
    clean_up();
    return 0;
}
