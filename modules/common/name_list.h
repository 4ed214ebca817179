/* Lists of names read from the configuration: "Alias" values, authorised groups and shells.
 * One type for every module that keeps such a list. Plain C, so that a module's C header can
 * carry it; the functions are for the modules' C++ code. */
#ifndef TOLVANE_NAME_LIST_H
#define TOLVANE_NAME_LIST_H

#include "tolvane/module.h"

/* One name of a list; the name is stored right after the node, in the same block of the
 * start-up pool. */
typedef struct name_node {
    char *name;
    struct name_node *next;
} name_node;

#ifdef __cplusplus

// Puts name at the front of *list, node and name in one block: the pool has few slots.
// False when memory is short.
bool add_name(tvn_init_mpool *mpool, name_node **list, const char *name);

// Gives every node of list back to the start-up pool.
void release_names(tvn_init_mpool *mpool, name_node *list);

// True when list holds name (exact comparison). A NULL name is in no list.
bool holds_name(const name_node *list, const char *name);

#endif

#endif
