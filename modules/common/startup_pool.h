// Blocks of the start-up pool for what a module reads from its configuration: they live until
// the server exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tolvane/module.h"

// A zero-filled block of the start-up pool, or NULL.
inline void *init_pool_alloc(tvn_init_mpool *mpool, std::size_t size) {
    void *block = mpool->tvn_malloc(mpool->init_pool, uint32_t(size));
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}

// A copy of text in the start-up pool, or NULL.
inline char *init_pool_copy(tvn_init_mpool *mpool, const char *text) {
    auto *copy = static_cast<char *>(init_pool_alloc(mpool, std::strlen(text) + 1));
    if (copy != nullptr) std::strcpy(copy, text);
    return copy;
}
