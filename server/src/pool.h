// Fixed-slot memory pools: the start-up pool of the run and the two pools of a connection.
#pragma once

#include "export.h"

#include "tolvane/module.h"

inline constexpr int16_t INIT_POOL_SLOTS = 100;
inline constexpr int16_t CONNECTION_POOL_SLOTS = 100;
inline constexpr int16_t REQUEST_POOL_SLOTS = 200;

extern "C" {
// Allocate from the first empty slot; NULL when the pool is full or memory is short.
TVN_EXPORT void *tvn_malloc(tvn_pool *pool, uint32_t size);
// Resize a block this pool holds (NULL allocates into the first empty slot). NULL on
// failure, and the old block stays valid; a block of another pool is left alone.
TVN_EXPORT void *tvn_realloc(tvn_pool *pool, void *block, uint32_t size);
// Release a block this pool holds; NULL and foreign blocks are ignored.
TVN_EXPORT void tvn_free(tvn_pool *pool, void *block);
// Release every block, last slot first; the pool stays usable.
TVN_EXPORT void tvn_clear_pool(tvn_pool *pool);
}

// Builds the start-up pool record; exits the process with status 0 when memory is short.
tvn_init_mpool *create_init_pool();
// Clears the start-up pool and releases it with its record.
void release_init_pool(tvn_init_mpool *record);

// A connection pool (100 slots) and a request pool (200 slots, its record and slot table
// living in the connection pool). NULL when memory is short, with nothing left allocated.
tvn_mpool *create_connection_pools();
// Ends a connection's memory: request pool, then connection pool, then the records.
void release_connection_pools(tvn_mpool *pools);
