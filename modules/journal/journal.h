/* journal: the activity log. One line per answered request and one per closed connection,
 * written to the log file of the VirtualDomain section that the login's domain selects.
 *
 * Plain C: the server reaches init_module and the hooks through the module record; the other
 * names are exported so that the steps can be driven one by one. */
#ifndef TOLVANE_JOURNAL_H
#define TOLVANE_JOURNAL_H

#include <stdint.h>
#include <stdio.h>

#include "name_list.h"
#include "tolvane/module.h"

#ifdef __cplusplus
extern "C" {
#endif

#define JOURNAL_EXPORT __attribute__((visibility("default")))

/* One VirtualDomain section; start-up pool. The list holds the sections in reverse file
 * order: the last section of the file comes first. */
typedef struct virtual_domain {
    name_node *aliases;   /* "Alias", the last one first; none: the section serves every domain */
    int32_t log_fd;       /* "LoggingFile", opened for appending; -1: nothing is logged */
    uint32_t method_mask; /* bit (1 << method code) set for each method to log */
    struct virtual_domain *next;
    char *log_path; /* "LoggingFile" as given, for reopening after a rotation; NULL: none */
} virtual_domain;

/* Names indexed by method code and by status code; filled by init_vect. An empty name marks
 * an unassigned method code. */
JOURNAL_EXPORT extern const char *methods_string[TVN_LAST_METHOD + 1];
JOURNAL_EXPORT extern const char *statusr[TVN_LAST_STATUS + 1];

/* Reads the "mod_log" section of "conf/tolvane.conf" and fills the module record with the
 * section list and the two hooks. 1; 8 after "Can't read config file for mod_log module". */
JOURNAL_EXPORT int init_module(tvn_module *module, const char *server_root);

/* The section list of the "mod_log" section of the configuration file at path, or NULL when
 * the file, the section or every VirtualDomain section is missing, or a key is unknown. On
 * failure nothing stays allocated and no log file stays open. */
JOURNAL_EXPORT virtual_domain *read_config_file(tvn_init_mpool *mpool, const char *path);

/* Reads fp, which stands inside the "mod_log" section, up to "</module>" (or the end of the
 * file), pushing every VirtualDomain section onto *list. 0, or -1 on an unknown key or a
 * lack of memory; what was read so far then stays on *list for the caller to release. */
JOURNAL_EXPORT int read_module_section(virtual_domain **list, tvn_init_mpool *mpool, FILE *fp);

/* Pushes a new section onto *list and reads its lines up to "</VirtualDomain>" (or the end
 * of the file). 0, or -1 as read_module_section. */
JOURNAL_EXPORT int read_virtual_domain(FILE *fp, virtual_domain **list, tvn_init_mpool *mpool);

/* Applies one key of a VirtualDomain section to the record. 0; -1 after "Unknown field %s"
 * for a key not in the table, or when an alias cannot be stored. */
JOURNAL_EXPORT int put_elem(virtual_domain *record, const char *key, const char *value,
                            tvn_init_mpool *mpool);

/* The section that serves the domain: the first in list order that has no alias or an alias
 * equal to domain (NULL matches no alias); failing that, the last of the list. NULL only for
 * an empty list. */
JOURNAL_EXPORT virtual_domain *check_address(virtual_domain *list, const char *domain);

/* Fills methods_string and statusr. */
JOURNAL_EXPORT void init_vect(void);

/* Opens every section's log file again by its path and puts it in the place of the old one
 * (the same descriptor number), so that workers started afterwards write to the file now under
 * that name: the server calls it on SIGHUP, after the files were rotated. 1. */
JOURNAL_EXPORT int reopen_module_files(tvn_module *module);

/* Writes the request's line. 1 when a line was written (or its write failed), NOT_HANDLED
 * when the connection or the method is not logged, 8 when memory ran out. */
JOURNAL_EXPORT int logging(tvn_request *request);

/* Closes this connection's copy of its log file and releases the per-connection record. 1. */
JOURNAL_EXPORT int connection_closing(tvn_request *request);

#ifdef __cplusplus
}
#endif

#endif
