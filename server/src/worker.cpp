// A worker process: it waits for one connection under the accept lock, serves it, reports
// that it is done and waits for the master to release it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "admission_board.h"
#include "clock.h"
#include "config.h"
#include "process.h"
#include "process_title.h"
#include "proxy_reception.h"
#include "workers.h"

namespace {

constexpr int ACCEPT_WAIT_MS = 2000; // how soon a waiting worker notices a stop
// The master rules at once; a master that does not within this time cannot be asked.
constexpr int ADMISSION_WAIT_MS = 10000;

// The master rules on every new connection when a per-address limit is set.
bool address_limits_set(const tvn_server_conf *conf) {
    return conf->max_connections_per_address > 0 || conf->max_connection_rate_per_address > 0 ||
           conf->max_failed_logins_per_address > 0;
}

// The accept lock keeps one worker at the sockets; the others wait here.
void set_accept_lock(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    while (fcntl(tvn_process.accept_lock_fd, F_SETLKW, &lock) != 0 && errno == EINTR) {}
}

void set_my_state(slot_state state) { tvn_process.area->slots[tvn_process.my_slot].state = state; }

// Waits until a listening socket has a connection and accepts it; -1 when the server stops.
// A readable socket whose accept fails sends the worker back to waiting.
int wait_for_connection(sockaddr_storage *client, bool *tls) {
    pollfd watched[MAX_LISTENERS];
    for (int i = 0; i < tvn_process.socket_count; ++i)
        watched[i] = pollfd{tvn_process.sockets[i], POLLIN, 0};
    // A master that is gone can count and reap nobody: its waiting workers end within a tick
    // and take no more connections.
    while (os_get_server_status() && getppid() == tvn_process.master_pid) {
        if (poll(watched, nfds_t(tvn_process.socket_count), ACCEPT_WAIT_MS) <= 0) continue;
        for (int i = 0; i < tvn_process.socket_count; ++i) {
            if ((watched[i].revents & POLLIN) == 0) continue;
            socklen_t length = sizeof *client;
            int fd = accept(watched[i].fd, reinterpret_cast<sockaddr *>(client), &length);
            if (fd < 0) continue;
            *tls = tvn_process.socket_is_tls[i];
            return fd;
        }
    }
    return -1;
}

// Remembers the client for this worker's reports (nullptr: a connection without a client
// address). The stop signals' handler may report at any moment, so the address is complete
// before it is marked known.
void remember_client(const sockaddr *address) {
    tvn_process.client = make_report(MSG_ACCEPTED, address);
    std::atomic_signal_fence(std::memory_order_release);
    tvn_process.client_known = 1;
}

// A report about this worker's client, if it has one; the kernel adds who sent it.
bool report(status_kind kind) {
    status_report message = tvn_process.client_known ? tvn_process.client : status_report{};
    message.kind = kind;
    return send_report(tvn_process.report_send_fd, message);
}

} // namespace

void worker_accept(tvn_server_conf *conf) {
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) return;
    auto *info = static_cast<tvn_conn_info *>(std::calloc(1, sizeof(tvn_conn_info)));
    if (info == nullptr) return;
    set_process_title("tvn: waiting");
    set_accept_lock(F_WRLCK);
    set_my_state(SLOT_WAITING);
    const int fd = wait_for_connection(&info->client_addr, &info->tls);
    if (fd < 0) { // stopping: the lock goes with the process
        std::free(info);
        return;
    }
    set_my_state(SLOT_SERVING);
    set_accept_lock(F_UNLCK);
    info->socket = fd;
    info->server_conf = conf;
    info->worker_pid = getpid();
    info->accepted_at = monotonic_ms();
    catch_up_with_reopen(conf);
    // Behind a balancer the header comes before the master hears of the connection, so that
    // its book and the busy count below see the client the header names, never the balancer.
    // Until the report the master counts this worker as idle: the header is read within the
    // connection's first deadlines, and only from a balancer.
    const sockaddr *client = reinterpret_cast<const sockaddr *>(&info->client_addr);
    if (conf->balancer_count > 0) {
        const proxy_verdict verdict = take_proxy_header(info);
        if (verdict.refusal != nullptr) {
            refuse_connection(info, verdict.refusal);
            return;
        }
        if (verdict.balancer_own) client = nullptr;
    }
    remember_client(client);
    // Read before our own report: afterwards the count may or may not include this very
    // connection, and a connection under the limit would be refused at random.
    const uint32_t busy = tvn_process.area->busy_count;
    const bool ruled_by_master = address_limits_set(conf);
    if (ruled_by_master) expect_admission(tvn_process.my_slot);
    if (!report(MSG_ACCEPTED)) {
        close(fd);
        std::free(info);
        return;
    }
    // A connection over a limit is closed without an answer; the journal says why.
    if (busy >= uint32_t(conf->max_connections)) {
        refuse_connection(info, " Too many connections in service");
        return;
    }
    if (ruled_by_master) {
        const admission verdict = await_admission(tvn_process.my_slot, ADMISSION_WAIT_MS);
        if (verdict != admission::admitted) {
            const char *reason = admission_reason(verdict);
            refuse_connection(info, reason != nullptr ? reason : " No admission from the server");
            return;
        }
    }
    connection_main(info);
}

void report_failed_login(const tvn_server_conf *conf) {
    if (conf->max_failed_logins_per_address > 0) report(MSG_LOGIN_FAILED);
}

void report_finished_and_wait() {
    if (!report(MSG_FINISHED)) _exit(1);
    sigset_t none;
    sigemptyset(&none);
    for (;;) sigsuspend(&none); // the master answers with SIGUSR1
}

extern "C" void os_quit_child(int signal_number) {
    if (signal_number == SIGUSR1) _exit(0);
    report_finished_and_wait();
}
