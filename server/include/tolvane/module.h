/* The module interface of tolvane: the records through which the server and the separately
 * built module libraries meet, and the pools they allocate from.
 *
 * Plain C and part of the ABI: the server and every module are compiled against these
 * declarations, so the field order and widths below must never change. */
#ifndef TOLVANE_MODULE_H
#define TOLVANE_MODULE_H

#include <stdint.h>

#include "tolvane/protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A hook's "not my business, ask the next module". Never sent on the wire. */
#define NOT_HANDLED 21

/* ---- Pools ------------------------------------------------------------------------------
 * A pool is a fixed table of slots that remembers every block allocated from it, so that
 * everything a request or a connection took is released with one tvn_clear_pool call.
 * It never grows: an allocation from a full pool fails like a shortage of memory. */
typedef struct tvn_pool {
    int16_t capacity; /* number of slots */
    int16_t in_use;   /* occupied slots; bookkeeping only */
    void **blocks;    /* capacity slots, each a block of this pool or NULL */
} tvn_pool;

typedef void *(*tvn_malloc_fn)(tvn_pool *pool, uint32_t size);
typedef void *(*tvn_realloc_fn)(tvn_pool *pool, void *block, uint32_t size);
typedef void (*tvn_free_fn)(tvn_pool *pool, void *block);

/* The start-up pool with its functions; lives for the whole run. Modules reach it through
 * their tvn_module record and allocate their configuration from it. */
typedef struct tvn_init_mpool {
    tvn_pool *init_pool;
    tvn_malloc_fn tvn_malloc;
    tvn_realloc_fn tvn_realloc;
    tvn_free_fn tvn_free;
} tvn_init_mpool;

/* The pools of one connection. The request pool is cleared after every request; the
 * connection pool when the connection ends. */
typedef struct tvn_mpool {
    tvn_pool *connection_pool;
    tvn_pool *request_pool;
    tvn_malloc_fn tvn_malloc;
    tvn_realloc_fn tvn_realloc;
    tvn_free_fn tvn_free;
} tvn_mpool;

/* ---- The request record -----------------------------------------------------------------*/

/* The configuration summary every request carries. */
typedef struct tvn_conf {
    char *server_root; /* ends in "/" */
    uint16_t server_major_version;
    uint16_t server_minor_version;
    uint8_t suggested_cache_level; /* 4 minus SuggestedCacheLevel */
} tvn_conf;

/* Bit 0 of link_permission: symbolic links may be listed and followed. */
#define TVN_LINK_SHOW 0x01
#define TVN_LINK_FOLLOW 0x02

/* One per connection, zero-filled from the connection pool; the only argument of every
 * hook except server_exit. Every text the server puts here comes from the connection or
 * request pool and is never freed one by one. */
typedef struct tvn_request {
    char *os_version; /* never set by the server */
    uint16_t client_major_version;
    uint16_t client_minor_version;
    uint32_t session_id;    /* pid of the serving worker */
    int connection_id;      /* the accepted socket */
    int32_t status;         /* options word of the CONNECT that opened the session */
    uint8_t response;       /* status of the answer just sent; 0 between requests */
    uint8_t disconnect;     /* non-zero: the connection ends after this request */
    void *init_module_data; /* the called module's global data (loaded before each hook) */
    void *user_module_data; /* the called module's per-connection data */
    char *username;         /* non-NULL once a session is open */
    char *domain;
    char *password;
    uint8_t is_guest;           /* 0 owner, 1 guest, 2 not authenticated */
    uint32_t server_ip_address; /* never set by the server */
    uint16_t server_port;       /* never set by the server */
    uint32_t client_ip_address; /* network byte order */
    uint16_t client_port;       /* network byte order */
    char *private_dir;          /* local directories of the three areas; NULL: area closed */
    char *public_dir;
    char *web_dir;
    uint8_t method;
    uint32_t method_options; /* OPEN: host open flags; CHANGEPWD: 1 owner, 2 guest */
    char *remote_path1;      /* CHANGEPWD: the new password */
    char *local_path1;       /* CHANGEPWD: the new password's hash, left by the module */
    char *remote_path2;
    char *local_path2;
    int32_t seek;
    int32_t length;
    uint8_t link_permission; /* TVN_LINK_SHOW, TVN_LINK_FOLLOW */
    char *redirect;          /* not used by the server */
    char *msg_url;           /* not used by the server */
    int16_t msg_win_pos_x;
    int16_t msg_win_pos_y;
    int16_t msg_win_dim_x;
    int16_t msg_win_dim_y;
    char *log_message; /* extra text for the journal line of this request */
    tvn_mpool *mpool;
    tvn_conf conf;
} tvn_request;

/* ---- The module record ------------------------------------------------------------------*/

typedef struct tvn_module tvn_module;
typedef int (*tvn_hook)(tvn_request *request);
typedef int (*tvn_exit_hook)(tvn_module *module);

/* One per LoadModule line, zero-filled from the start-up pool and chained in file order.
 * init_module fills module_name, the module versions, init_module_data and its hooks;
 * a NULL hook takes no part in that stage. */
struct tvn_module {
    int16_t major_version; /* interface version, 1 */
    int16_t minor_version; /* 1 */
    tvn_init_mpool *mpool;
    tvn_module *next;
    char *module_filename;
    char *module_name;
    int16_t module_major_version;
    int16_t module_minor_version;
    void *init_module_data;
    void *user_module_data;
    tvn_hook auth_check;
    tvn_hook auth_check2;
    tvn_hook message_lookup;
    tvn_hook access_check;
    tvn_hook path_translation;
    tvn_hook logging;
    tvn_hook connection_closing;
    tvn_hook change_pwd;
    tvn_exit_hook server_exit;
};

/* Every module library exports this entry point. It is called once at start-up with the
 * module's record and the server root (ending in "/"), and returns 1 on success. */
typedef int (*tvn_init_module_fn)(tvn_module *module, const char *server_root);

/* A module library may also export "reopen_module_files" of this type. The master calls it
 * with the module's record when it is asked to reopen its files (SIGHUP, after the files were
 * rotated); workers started afterwards inherit what it opened. Returns 1 on success. */
typedef int (*tvn_reopen_module_fn)(tvn_module *module);

#ifdef __cplusplus
}
#endif

#endif
