// The master process: listening sockets, the report channel and status area, the accept lock,
// and the loop that keeps at least five idle workers, releases the finished ones and reaps
// every worker that ends.
#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "admission_board.h"
#include "clock.h"
#include "process_title.h"
#include "status_channel.h"
#include "worker_table.h"
#include "workers.h"

process_state tvn_process;
int32_t socket_num = -1;

namespace {

constexpr int DRAIN_EMPTY_POLLS = 8;

worker_table workers; // the master's own record; never read in a worker
// The per-address limits and penalties, when the configuration sets any.
std::optional<address_limits> address_book;
volatile sig_atomic_t drain_on_quit = 0;
volatile sig_atomic_t child_has_ended = 0; // set by SIGCHLD, cleared before each reap
volatile sig_atomic_t reopen_files = 0;    // set by SIGHUP

address_limit_settings address_settings(const tvn_server_conf *conf) {
    address_limit_settings settings;
    settings.max_in_service = uint32_t(conf->max_connections_per_address);
    settings.max_per_minute = uint32_t(conf->max_connection_rate_per_address);
    settings.max_failed_logins = uint32_t(conf->max_failed_logins_per_address);
    return settings;
}

bool create_ipc(tvn_server_conf *conf) {
    std::fputs("\n", stderr);
    std::fflush(stderr);
    int channel[2];
    if (open_status_channel(channel) != 0) return false;
    tvn_process.report_read_fd = channel[0];
    tvn_process.report_send_fd = channel[1];
    tvn_process.shm_id = shmget(IPC_PRIVATE, STATUS_AREA_SIZE, IPC_CREAT | 0600);
    if (tvn_process.shm_id < 0) return false;
    void *area = shmat(tvn_process.shm_id, nullptr, 0);
    if (area == reinterpret_cast<void *>(-1)) return false;
    tvn_process.area = static_cast<tvn_status_area *>(area);
    std::memset(area, 0, STATUS_AREA_SIZE);
    void *generation = mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (generation == MAP_FAILED) return false;
    tvn_process.reopen_generation = static_cast<volatile uint32_t *>(generation);
    workers.reset(tvn_process.area);
    const address_limit_settings limits = address_settings(conf);
    if (limits.any()) {
        if (!open_admission_board()) return false;
        address_book.emplace(limits);
    }
    const std::string path = std::string(conf->server_root) + "log/accept.lock";
    tvn_process.lock_path = strdup(path.c_str());
    if (tvn_process.lock_path == nullptr) {
        std::fputs("*********** TOLVANE SERVER ERRORR  **********\n", stderr);
        return false;
    }
    return true;
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

// The master's SIGCHLD handler. The wake-up datagram makes the loop reap even when the signal
// came just before it began to wait; when the channel is full, the loop wakes anyway.
void child_ended(int) {
    const int saved_errno = errno;
    child_has_ended = 1;
    if (tvn_process.report_send_fd >= 0) post_report(tvn_process.report_send_fd, status_report{});
    errno = saved_errno;
}

// SIGHUP never ends the master: it asks the modules to reopen their files (log rotation).
void reopen_requested(int) {
    const int saved_errno = errno;
    reopen_files = 1;
    if (tvn_process.report_send_fd >= 0) post_report(tvn_process.report_send_fd, status_report{});
    errno = saved_errno;
}

// The master reopens the modules' files, and the workers it forked before do the same at their
// next connection (they are idle now, and run as root until a login).
void reopen_in_master(const tvn_server_conf *conf) {
    reopen_files = 0;
    // First the generation: a worker that accepts meanwhile opens the new files itself.
    if (tvn_process.reopen_generation != nullptr)
        *tvn_process.reopen_generation = *tvn_process.reopen_generation + 1;
    call_reopen_hooks(conf);
}

void install_master_handlers() {
    struct sigaction action {};
    action.sa_handler = os_quit_server;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGCHLD);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr); // what service managers send: a stop like SIGINT
    struct sigaction reopen {};
    reopen.sa_handler = reopen_requested;
    sigemptyset(&reopen.sa_mask);
    sigaction(SIGHUP, &reopen, nullptr);
    // No SA_RESTART here either: every wait of the loop is cut short by a signal.
    struct sigaction reaper {};
    reaper.sa_handler = child_ended;
    sigemptyset(&reaper.sa_mask);
    reaper.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &reaper, nullptr);
}

// Once the channel is closed the handler must not post to a descriptor that may be reused.
void remove_child_handler() {
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    sigaction(SIGCHLD, &plain, nullptr);
}

// Sleeps the whole time, however many signals arrive meanwhile.
void pause_for(time_t seconds) {
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

// In the master: the child's pid, or -1 when the fork failed (nothing changed then).
pid_t spawn_worker(tvn_server_conf *conf) {
    const int slot = workers.next_slot();
    // The generation whose files the child inherits, read before the fork: read in the child,
    // it could already count a reopen that the master made after the fork, with the old files.
    if (tvn_process.reopen_generation != nullptr)
        tvn_process.seen_generation = *tvn_process.reopen_generation;
    pid_t child = fork();
    if (child < 0) {
        std::printf("\nCan't start a worker process: %s\n", std::strerror(errno));
        std::fflush(stdout);
        return -1;
    }
    if (child > 0) return child;
    // The worker only sends: it gives up the master's end, and with it any way to read
    // another worker's reports.
    close(tvn_process.report_read_fd);
    tvn_process.report_read_fd = -1;
    signal(SIGCHLD, SIG_DFL);
    signal(SIGHUP, SIG_IGN);  // the master's affair
    signal(SIGTERM, SIG_DFL); // ends this worker alone; the master reaps it
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
    const pid_t child = spawn_worker(conf);
    if (child < 0) return false;
    workers.started(child);
    return true;
}

address_key key_of(const status_report &report) {
    address_key key;
    key.family = report.family;
    key.bytes = report.address;
    return key;
}

// Rules on a worker's new connection by its client's address and tells the worker. While the
// server stops, connections are let through uncounted: they end at their next wait anyway.
void rule_on_connection(pid_t sender, const status_report &report, bool in_drain) {
    const int slot = workers.slot_of(sender);
    if (slot < 0) return;
    // A connection without a client address (a balancer's own, such as its health check)
    // belongs to no address of the book.
    if (in_drain || report.family == AF_UNSPEC) {
        give_admission(slot, admission::admitted);
        return;
    }
    bool counted = false;
    const address_key key = key_of(report);
    const admission verdict = address_book->admit(key, monotonic_ms(), &counted);
    if (counted) workers.hold_address(slot, key);
    give_admission(slot, verdict);
}

// The worker's connection no longer counts under its client's address.
void release_address(pid_t worker) {
    address_key key;
    if (address_book && workers.take_address(worker, &key))
        address_book->finished(key, monotonic_ms());
}

// The sender is the kernel's word, and only a worker of our own table is ever signalled.
void handle_report(const received_report &incoming, bool in_drain) {
    switch (incoming.report.kind) {
    case MSG_ACCEPTED:
        if (!in_drain) workers.accepted(incoming.sender);
        if (address_book) rule_on_connection(incoming.sender, incoming.report, in_drain);
        break;
    case MSG_FINISHED:
        release_address(incoming.sender);
        if (workers.finished(incoming.sender, !in_drain)) kill(incoming.sender, SIGUSR1);
        break;
    case MSG_LOGIN_FAILED:
        if (address_book && incoming.report.family != AF_UNSPEC &&
            workers.slot_of(incoming.sender) >= 0)
            address_book->login_failed(key_of(incoming.report), monotonic_ms());
        break;
    case MSG_WAKE: break;
    }
}

// Reaps every child that has ended, released or not, and frees its slot and its share of the
// counts. Returns how many were reaped.
int reap_ended_children() {
    child_has_ended = 0; // a child that ends from here on raises it again
    int reaped = 0;
    for (;;) {
        const pid_t child = waitpid(-1, nullptr, WNOHANG);
        if (child > 0) {
            release_address(child);
            workers.ended(child);
            ++reaped;
        } else if (child < 0 && errno == EINTR) {
            continue;
        } else {
            return reaped; // none has ended (0), or none is left (ECHILD)
        }
    }
}

// Handles every report already waiting. After a reap this comes before the next fork, so that
// a late report of a reaped worker finds its slot free and cannot be taken for a new worker
// that happens to get the same pid.
void handle_waiting_reports() {
    for (;;) {
        received_report incoming;
        const receive_result result = receive_report(tvn_process.report_read_fd, false, &incoming);
        if (result == receive_result::report)
            handle_report(incoming, false);
        else if (result != receive_result::dropped && result != receive_result::interrupted)
            return;
    }
}

// After SIGQUIT: release workers that finish, until eight polls have found nothing.
void drain_finished_workers() {
    for (int empty_polls = 0; empty_polls < DRAIN_EMPTY_POLLS;) {
        reap_ended_children();
        received_report incoming;
        const receive_result result = receive_report(tvn_process.report_read_fd, false, &incoming);
        if (result == receive_result::report) {
            handle_report(incoming, true);
        } else if (result == receive_result::nothing || result == receive_result::failed) {
            ++empty_polls;
            pause_for(1);
        }
    }
}

void kill_remaining_workers() {
    reap_ended_children();
    const int slots_used = workers.slots_used();
    for (int i = 0; i < slots_used; ++i) {
        const pid_t pid = workers.pid_at(i);
        if (pid > 0) kill(pid, SIGKILL); // never kill(0) or kill(-1): they name process groups
    }
    for (int i = 0; i < slots_used; ++i) {
        const pid_t pid = workers.pid_at(i);
        if (pid <= 0) continue;
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
        release_address(pid);
        workers.ended(pid);
    }
}

void master_loop(tvn_server_conf *conf) {
    install_master_handlers();
    tvn_process.master_pid = getpid();
    init_process_title();
    set_process_title((std::string("tvn: master ") + conf->server_root).c_str());
    tvn_process.area->running = 1;
    tvn_process.accept_lock_fd = create_accept_lock();
    if (tvn_process.accept_lock_fd < 0) return;
    for (int i = 0; i < MIN_IDLE_WORKERS && workers.next_slot() != -1; ++i) start_one_worker(conf);

    for (;;) {
        // Reading waiting reports can take in the wake-up of a child that ended meanwhile, or
        // of a stop signal: the flags, not the datagrams, decide before the loop may wait.
        while (child_has_ended)
            if (reap_ended_children() > 0) handle_waiting_reports();
        if (!tvn_process.area->running) break;
        if (reopen_files) reopen_in_master(conf);
        // One worker per pass; the loop only waits when no more are wanted.
        if (workers.wants_worker() && !start_one_worker(conf)) {
            sleep(1); // a failed fork is tried again on a later pass, not in a busy loop
            continue;
        }
        received_report incoming;
        const receive_result result =
            receive_report(tvn_process.report_read_fd, !workers.wants_worker(), &incoming);
        if (result == receive_result::report)
            handle_report(incoming, false);
        else if (result == receive_result::failed)
            sleep(1);
    }
    if (drain_on_quit) drain_finished_workers();
    kill_remaining_workers();
}

void clean_up() {
    if (tvn_process.area != nullptr) {
        tvn_status_area *area = tvn_process.area;
        tvn_process.area = nullptr; // first, so that a stop signal's handler finds it gone
        shmdt(area);
    }
    if (tvn_process.shm_id >= 0) shmctl(tvn_process.shm_id, IPC_RMID, nullptr);
    tvn_process.shm_id = -1;
    remove_child_handler();
    for (int *end : {&tvn_process.report_read_fd, &tvn_process.report_send_fd}) {
        const int fd = *end;
        *end = -1; // first, so that a stop signal's handler never posts to a reused descriptor
        if (fd >= 0) close(fd);
    }
    unlink("log/tolvaned.pid");
    for (int i = 0; i < tvn_process.socket_count; ++i) close(tvn_process.sockets[i]);
    tvn_process.socket_count = 0;
    if (tvn_process.accept_lock_fd >= 0) close(tvn_process.accept_lock_fd);
    tvn_process.accept_lock_fd = -1;
    free(tvn_process.lock_path);
    tvn_process.lock_path = nullptr;
    close_admission_board();
    address_book.reset();
    if (tvn_process.reopen_generation != nullptr)
        munmap(const_cast<uint32_t *>(tvn_process.reopen_generation), sizeof(uint32_t));
    tvn_process.reopen_generation = nullptr;
}

} // namespace

void call_reopen_hooks(const tvn_server_conf *conf) {
    tvn_module *module = conf->modules;
    for (int i = 0; i < MAX_MODULES && module != nullptr; ++i, module = module->next)
        if (conf->reopen_files[i] != nullptr) conf->reopen_files[i](module);
}

void catch_up_with_reopen(const tvn_server_conf *conf) {
    if (tvn_process.reopen_generation == nullptr) return;
    const uint32_t now = *tvn_process.reopen_generation;
    if (now == tvn_process.seen_generation) return;
    tvn_process.seen_generation = now;
    call_reopen_hooks(conf);
}

extern "C" int os_get_server_status(void) {
    return tvn_process.area != nullptr ? tvn_process.area->running : 0;
}

extern "C" void os_quit_server(int signal_number) {
    if (tvn_process.area != nullptr) tvn_process.area->running = 0;
    if (signal_number == SIGQUIT) drain_on_quit = 1;
    // Wake the master if it waits for a report: the signal may have come just before the wait.
    const int saved_errno = errno;
    if (tvn_process.report_send_fd >= 0) post_report(tvn_process.report_send_fd, status_report{});
    errno = saved_errno;
}

extern "C" int os_stop_main(void) { return 0; }

extern "C" int os_main(tvn_server_conf *conf, tvn_init_mpool *) {
    std::fflush(stdout);
    if (open_listeners(conf) && drop_privileges(conf)) {
        limit_core_files();
        if (create_ipc(conf)) master_loop(conf);
    }
    clean_up();
    return 0;
}
