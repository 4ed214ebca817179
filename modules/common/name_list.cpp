// Lists of names in the start-up pool.
#include "name_list.h"

#include <cstring>

#include "startup_pool.h"

bool add_name(tvn_init_mpool *mpool, name_node **list, const char *name) {
    const std::size_t length = std::strlen(name);
    auto *node = static_cast<name_node *>(init_pool_alloc(mpool, sizeof(name_node) + length + 1));
    if (node == nullptr) return false;
    node->name = reinterpret_cast<char *>(node + 1);
    std::memcpy(node->name, name, length + 1);
    node->next = *list;
    *list = node;
    return true;
}

void release_names(tvn_init_mpool *mpool, name_node *list) {
    while (list != nullptr) {
        name_node *next = list->next;
        mpool->tvn_free(mpool->init_pool, list);
        list = next;
    }
}

bool holds_name(const name_node *list, const char *name) {
    if (name == nullptr) return false;
    for (; list != nullptr; list = list->next)
        if (std::strcmp(list->name, name) == 0) return true;
    return false;
}
