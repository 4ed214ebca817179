// Fixed-slot memory pools. Every search is linear over at most 200 slots; a pool never grows.
#include "pool.h"

#include <cstdlib>
#include <cstring>

namespace {

int find_slot(const tvn_pool *pool, const void *block) {
    for (int i = 0; i < pool->capacity; ++i)
        if (pool->blocks[i] == block) return i;
    return -1;
}

// A pool record and its zeroed slot table, allocated plainly.
tvn_pool *new_plain_pool(int16_t capacity) {
    auto *pool = static_cast<tvn_pool *>(std::malloc(sizeof(tvn_pool)));
    if (pool == nullptr) return nullptr;
    pool->blocks = static_cast<void **>(std::calloc(capacity, sizeof(void *)));
    if (pool->blocks == nullptr) {
        std::free(pool);
        return nullptr;
    }
    pool->capacity = capacity;
    pool->in_use = 0;
    return pool;
}

void release_plain_pool(tvn_pool *pool) {
    if (pool == nullptr) return;
    std::free(pool->blocks);
    std::free(pool);
}

} // namespace

extern "C" void *tvn_malloc(tvn_pool *pool, uint32_t size) {
    int slot = find_slot(pool, nullptr);
    if (slot < 0) return nullptr;
    void *block = std::malloc(size);
    if (block == nullptr) return nullptr;
    pool->blocks[slot] = block;
    ++pool->in_use;
    return block;
}

extern "C" void *tvn_realloc(tvn_pool *pool, void *block, uint32_t size) {
    int slot = find_slot(pool, block);
    if (slot < 0) return nullptr;
    void *resized = std::realloc(block, size);
    if (resized == nullptr) return nullptr;
    if (block == nullptr) ++pool->in_use;
    pool->blocks[slot] = resized;
    return resized;
}

extern "C" void tvn_free(tvn_pool *pool, void *block) {
    if (block == nullptr) return;
    int slot = find_slot(pool, block);
    if (slot < 0) return;
    std::free(block);
    pool->blocks[slot] = nullptr;
    --pool->in_use;
}

extern "C" void tvn_clear_pool(tvn_pool *pool) {
    for (int i = pool->capacity - 1; i >= 0; --i) {
        if (pool->blocks[i] == nullptr) continue;
        std::free(pool->blocks[i]);
        pool->blocks[i] = nullptr;
        --pool->in_use;
    }
}

tvn_init_mpool *create_init_pool() {
    auto *record = static_cast<tvn_init_mpool *>(std::malloc(sizeof(tvn_init_mpool)));
    if (record == nullptr) std::exit(0);
    record->init_pool = new_plain_pool(INIT_POOL_SLOTS);
    if (record->init_pool == nullptr) std::exit(0);
    record->tvn_malloc = tvn_malloc;
    record->tvn_realloc = tvn_realloc;
    record->tvn_free = tvn_free;
    return record;
}

void release_init_pool(tvn_init_mpool *record) {
    if (record == nullptr) return;
    tvn_clear_pool(record->init_pool);
    release_plain_pool(record->init_pool);
    std::free(record);
}

tvn_mpool *create_connection_pools() {
    auto *pools = static_cast<tvn_mpool *>(std::malloc(sizeof(tvn_mpool)));
    if (pools == nullptr) return nullptr;
    pools->tvn_malloc = tvn_malloc;
    pools->tvn_realloc = tvn_realloc;
    pools->tvn_free = tvn_free;
    pools->connection_pool = new_plain_pool(CONNECTION_POOL_SLOTS);
    if (pools->connection_pool == nullptr) {
        std::free(pools);
        return nullptr;
    }
    tvn_pool *conn = pools->connection_pool;
    auto *request = static_cast<tvn_pool *>(tvn_malloc(conn, sizeof(tvn_pool)));
    void *slots = request ? tvn_malloc(conn, REQUEST_POOL_SLOTS * sizeof(void *)) : nullptr;
    if (slots == nullptr) {
        tvn_free(conn, request);
        release_plain_pool(conn);
        std::free(pools);
        return nullptr;
    }
    std::memset(slots, 0, REQUEST_POOL_SLOTS * sizeof(void *));
    request->capacity = REQUEST_POOL_SLOTS;
    request->in_use = 0;
    request->blocks = static_cast<void **>(slots);
    pools->request_pool = request;
    return pools;
}

void release_connection_pools(tvn_mpool *pools) {
    if (pools == nullptr) return;
    // The request pool's record and slot table live in the connection pool: clear it first.
    tvn_clear_pool(pools->request_pool);
    tvn_clear_pool(pools->connection_pool);
    release_plain_pool(pools->connection_pool);
    std::free(pools);
}
