// What the master and its worker processes share: the status area, the report channel, the
// accept lock and the listening sockets.
#pragma once

#include "export.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "status_channel.h"

struct tvn_server_conf;

inline constexpr int MAX_LISTENERS = 16;
inline constexpr int WORKER_SLOTS = 3005;
inline constexpr int MIN_IDLE_WORKERS = 5;

enum slot_state : uint32_t { SLOT_FREE = 0, SLOT_STARTED = 1, SLOT_WAITING = 2, SLOT_SERVING = 3 };

struct worker_slot {
    int32_t pid;    // written by the master; 0 is a free slot
    uint32_t state; // written by the worker itself
};

// The shared memory area: written without locks, each field by one side only.
struct tvn_status_area {
    worker_slot slots[WORKER_SLOTS];
    uint32_t busy_count; // connections in service; master only
    uint8_t running;     // 1 while the server runs; the master's signal handler clears it
};
inline constexpr size_t STATUS_AREA_SIZE = offsetof(tvn_status_area, running) + 1;
static_assert(STATUS_AREA_SIZE == 24045);

// What a worker hands to the connection loop; connection_main takes it over and frees it.
struct tvn_conn_info {
    int32_t socket;
    sockaddr_storage client_addr; // as accept filled it, or as a PROXY header named it
    bool tls;                     // accepted on a TLS listener: the handshake comes first
    bool proxied;                 // client_addr is the client a PROXY header named
    int64_t accepted_at;          // monotonic milliseconds; the login grace time runs from here
    tvn_server_conf *server_conf;
    int32_t worker_pid;
};

// Process-wide state of the process model, set up by the master before the first fork and
// inherited by every worker.
struct process_state {
    int sockets[MAX_LISTENERS];
    bool socket_is_tls[MAX_LISTENERS] = {};
    int socket_count = 0;
    // The report channel's ends. Only the master holds report_read_fd; every process holds
    // report_send_fd, the master for the wake-ups its signal handlers post.
    int report_read_fd = -1;
    int report_send_fd = -1;
    int shm_id = -1;
    tvn_status_area *area = nullptr;
    int accept_lock_fd = -1;
    char *lock_path = nullptr;
    int my_slot = -1;     // in a worker: its own slot
    pid_t master_pid = 0; // a worker whose parent is no longer this one has lost its master
    // Raised by the master each time it reopens the modules' files (SIGHUP); a worker that
    // saw an older value reopens them itself before it serves its connection.
    volatile uint32_t *reopen_generation = nullptr;
    uint32_t seen_generation = 0;
    // In a worker: its client's address for its reports, once client_known is set (the stop
    // signals' handler reads them).
    status_report client;
    volatile sig_atomic_t client_known = 0;
};
extern process_state tvn_process;

extern "C" {
TVN_EXPORT extern int32_t socket_num; // index of the last listening socket
// Ends a worker: SIGUSR1 exits at once; SIGINT and SIGQUIT report MSG_FINISHED, wait for the
// master's release and exit.
TVN_EXPORT void os_quit_child(int signal_number);
// Serves the connection of the accept loop, declared by the connection loop.
TVN_EXPORT void connection_main(tvn_conn_info *info);
}

// Closes a connection that is not to be served, without an answer, after the journal's line
// for a refused connection with reason (leading blank) as its message. Takes over info.
void refuse_connection(tvn_conn_info *info, const char *reason);
// Calls every module's reopen_module_files entry point, in chain order.
void call_reopen_hooks(const tvn_server_conf *conf);
// In a worker: reopens the modules' files when the master has done so since this worker was
// forked.
void catch_up_with_reopen(const tvn_server_conf *conf);
// In a worker: tells the master that a login of its client was refused, when the master
// counts them.
void report_failed_login(const tvn_server_conf *conf);

// The worker's life after the fork: wait for a connection under the accept lock, serve it.
void worker_accept(tvn_server_conf *conf);
// Reports MSG_FINISHED and waits to be released by the master; never returns. Async-signal-safe.
[[noreturn]] void report_finished_and_wait();
