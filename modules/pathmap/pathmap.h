/* pathmap: the client's namespace "/" with its three areas, mapped onto the connected user's
 * directories, and the rules on what may be touched there.
 *
 * Plain C: the server reaches init_module by name; other modules may call the rest. */
#ifndef TOLVANE_PATHMAP_H
#define TOLVANE_PATHMAP_H

#include <stdint.h>

#include "tolvane/module.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PATHMAP_EXPORT __attribute__((visibility("default")))

/* Names the module and fills its two hooks, access_check and path_translation; every other
 * hook is cleared. Touches no other field of the record. Returns OK. */
PATHMAP_EXPORT int init_module(tvn_module *module, const char *server_root);

/* Translates remote_path1 into local_path1, then remote_path2 into local_path2, each when set.
 * OK when every set path was translated; otherwise the first failure of adapt_path. */
PATHMAP_EXPORT int path_translation(tvn_request *request);

/* Maps one client path onto the user's directory and stores the local path, allocated from the
 * request pool, in *destination. Returns 0; NOT_HANDLED when the path lies in no area or in a
 * closed one; ACCESS_DENIED for a "." or ".." component or a path longer than 32767 bytes;
 * INTERNAL_SERVER_ERR when the pool has no room. On success one trailing "/" is removed from
 * the client path itself. *destination is written only on success. */
PATHMAP_EXPORT int adapt_path(tvn_request *request, char **destination, char *path);

/* OK or ACCESS_DENIED for the request's paths (as translation left them), method and guest
 * flag: area roots, closed areas and what a guest may do. */
PATHMAP_EXPORT int access_check(tvn_request *request);

/* From index start on, refuses with ACCESS_DENIED every "." or ".." that follows a "/"; on
 * success removes one trailing "/" (only if it lies at or after start) and returns 0. A
 * negative start, a start past the end or a path longer than 32767 bytes is refused. */
PATHMAP_EXPORT int check_path_syntax(char *path, int16_t start);

#ifdef __cplusplus
}
#endif

#endif
