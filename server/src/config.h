// The server's own configuration: the Server section of conf/tolvane.conf and module loading.
#pragma once

#include "export.h"

#include <cstdio>

#include "balancer_list.h"
#include "tolvane/module.h"

inline constexpr int MAX_MODULES = 50;

// One listening address, from the start-up pool.
struct tvn_listen_addr {
    tvn_listen_addr *next;
    uint32_t address;     // IPv4 (family AF_INET), network byte order; 0 is any address
    uint16_t port;        // host byte order
    uint16_t family;      // AF_INET or AF_INET6
    uint8_t address6[16]; // IPv6 (family AF_INET6); all zero is any address
};

// The server's configuration: one instance, a local of tvn_main, read once at start-up.
struct tvn_server_conf {
    char *server_root; // ends in "/"
    int32_t idle_timeout;
    uint16_t keepalive;
    int32_t keepalive_timeout;
    uint8_t cache_level; // 4 minus SuggestedCacheLevel
    tvn_listen_addr *listen_addrs;
    uint8_t restricted;
    int32_t run_uid;
    int32_t run_gid;
    int32_t max_connections;
    tvn_module *modules;
    int32_t login_grace_time; // seconds a connection may take to open its session; 0: no limit
    // Per client address (0: no limit): connections in service, new connections per minute,
    // and refused logins within ten minutes before the address is shut out for ten minutes.
    int32_t max_connections_per_address;
    int32_t max_connection_rate_per_address;
    int32_t max_failed_logins_per_address;
    int32_t failed_login_delay; // seconds a refused login waits for its answer
    int32_t listen_backlog;     // connections the kernel queues before a worker accepts them
    // Encrypted sessions: listeners on tls_port (0: none) on every address, with the chain of
    // tls_certificate_file and the key of tls_key_file; plain_listening 0 opens no plain one.
    char *tls_certificate_file;
    char *tls_key_file;
    uint16_t tls_port;
    uint8_t plain_listening;
    // ProxyProtocol: the balancers whose connections open with a PROXY header. With any, every
    // listener (plain and TLS) takes connections from them alone, and the header's client is
    // the connection's client.
    tvn_balancer_net balancers[MAX_BALANCERS];
    int32_t balancer_count;
    // The modules' optional "reopen_module_files" entry points, in chain order (NULL: none).
    tvn_reopen_module_fn reopen_files[MAX_MODULES];
};

inline constexpr const char *DEFAULT_SERVER_ROOT = "/usr/local/tolvane/";
inline constexpr const char *CONFIG_FILE = "conf/tolvane.conf";
inline constexpr uint16_t DEFAULT_PORT = 700;

extern "C" {
// Reads the Server section of root + "conf/tolvane.conf" into conf. 0 on success, -1 on any
// failure (after printing the reason where there is one). Allocates from the start-up pool.
TVN_EXPORT int init_server_config(tvn_server_conf *conf, tvn_init_mpool *mpool,
                                  const char *server_root);
// root + "lib/" + file name, from the start-up pool; NULL when the pool refuses.
TVN_EXPORT char *os_get_module_libname(tvn_init_mpool *mpool, const char *server_root,
                                       const char *file);
}

// Reads one line into *buffer (not terminated: the caller zeroes the buffer after each line),
// doubling the buffer as needed. Returns the buffer's size, -1 at end of file before any
// character, -10 when the buffer cannot be grown.
long read_config_line(FILE *file, long size, char **buffer);
// True when the line opens the section named by tag ("<Server>").
bool match_open_tag(const char *line, const char *tag);

enum class key_result { accepted, section_end, fatal };
// Applies one key line of the Server section.
key_result parse_server_key(tvn_server_conf *conf, const char *key, const char *value,
                            tvn_init_mpool *mpool);

enum class module_load {
    loaded,      // every module is loaded and initialised
    cannot_load, // a library or its init_module could not be loaded
    init_failed, // an init_module did not return 1
};
// Loads every module of the chain and calls its init_module. handles gets the library handles
// in chain order, ended by the first NULL.
module_load load_modules(tvn_server_conf *conf, void *handles[MAX_MODULES], const char *server_root,
                         tvn_init_mpool *mpool);
