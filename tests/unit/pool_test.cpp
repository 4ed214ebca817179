// The fixed-slot pools: capacity limits, slot reuse, foreign blocks, clearing.
#include "pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class pool_test : public ::testing::Test {
protected:
    void SetUp() override {
        pools = create_connection_pools();
        ASSERT_NE(pools, nullptr);
    }
    void TearDown() override { release_connection_pools(pools); }
    tvn_mpool *pools = nullptr;
};

void fill(tvn_pool *pool, int count) {
    for (int i = 0; i < count; ++i) ASSERT_NE(tvn_malloc(pool, 8), nullptr) << "allocation " << i;
}

TEST_F(pool_test, fresh_connection_pool_holds_the_request_pools_record_and_slot_table) {
    EXPECT_EQ(pools->connection_pool->capacity, 100);
    EXPECT_EQ(pools->connection_pool->in_use, 2);
    EXPECT_EQ(pools->connection_pool->blocks[0], pools->request_pool);
    EXPECT_EQ(pools->connection_pool->blocks[1], pools->request_pool->blocks);
    EXPECT_EQ(pools->request_pool->capacity, 200);
    EXPECT_EQ(pools->request_pool->in_use, 0);
    EXPECT_EQ(pools->tvn_malloc, &tvn_malloc);
    EXPECT_EQ(pools->tvn_realloc, &tvn_realloc);
    EXPECT_EQ(pools->tvn_free, &tvn_free);
}

TEST_F(pool_test, the_101st_block_of_a_connection_pool_is_refused) {
    fill(pools->connection_pool, 98); // two slots are taken already
    EXPECT_EQ(pools->connection_pool->in_use, 100);
    EXPECT_EQ(tvn_malloc(pools->connection_pool, 1), nullptr);
    EXPECT_EQ(pools->connection_pool->in_use, 100);
}

TEST_F(pool_test, the_201st_block_of_a_request_pool_is_refused) {
    fill(pools->request_pool, 200);
    EXPECT_EQ(tvn_malloc(pools->request_pool, 1), nullptr);
    // A resize of NULL needs a free slot too.
    EXPECT_EQ(tvn_realloc(pools->request_pool, nullptr, 1), nullptr);
}

TEST_F(pool_test, a_released_slot_is_reused_before_later_free_ones) {
    tvn_pool *pool = pools->request_pool;
    void *first = tvn_malloc(pool, 16);
    void *second = tvn_malloc(pool, 16);
    tvn_malloc(pool, 16);
    tvn_free(pool, second);
    EXPECT_EQ(pool->blocks[1], nullptr);
    void *again = tvn_malloc(pool, 16);
    EXPECT_EQ(pool->blocks[1], again);
    EXPECT_EQ(pool->blocks[0], first);
    EXPECT_EQ(pool->in_use, 3);
}

TEST_F(pool_test, releasing_twice_releases_once) {
    tvn_pool *pool = pools->request_pool;
    void *block = tvn_malloc(pool, 16);
    void *kept = tvn_malloc(pool, 16);
    tvn_free(pool, block);
    tvn_free(pool, block); // finds nothing: no double free, no count change
    EXPECT_EQ(pool->in_use, 1);
    EXPECT_EQ(pool->blocks[1], kept);
    tvn_free(pool, nullptr);
    EXPECT_EQ(pool->in_use, 1);
}

TEST_F(pool_test, blocks_of_another_pool_are_left_alone) {
    void *foreign = tvn_malloc(pools->connection_pool, 16);
    tvn_free(pools->request_pool, foreign);
    EXPECT_EQ(tvn_realloc(pools->request_pool, foreign, 64), nullptr);
    EXPECT_EQ(pools->connection_pool->in_use, 3);
    EXPECT_EQ(pools->connection_pool->blocks[2], foreign); // still valid, still owned
}

TEST_F(pool_test, resize_keeps_the_slot_and_the_contents) {
    tvn_pool *pool = pools->request_pool;
    auto *block = static_cast<char *>(tvn_malloc(pool, 4));
    std::memcpy(block, "abc", 4);
    auto *grown = static_cast<char *>(tvn_realloc(pool, block, 100000));
    ASSERT_NE(grown, nullptr);
    EXPECT_STREQ(grown, "abc");
    EXPECT_EQ(pool->blocks[0], grown);
    EXPECT_EQ(pool->in_use, 1);
    void *fresh = tvn_realloc(pool, nullptr, 10); // resizing none allocates
    EXPECT_EQ(pool->blocks[1], fresh);
    EXPECT_EQ(pool->in_use, 2);
}

TEST_F(pool_test, clearing_empties_every_slot_and_is_harmless_twice) {
    tvn_pool *pool = pools->request_pool;
    fill(pool, 200);
    tvn_clear_pool(pool);
    EXPECT_EQ(pool->in_use, 0);
    for (int i = 0; i < pool->capacity; ++i) EXPECT_EQ(pool->blocks[i], nullptr);
    tvn_clear_pool(pool);
    EXPECT_EQ(pool->in_use, 0);
    fill(pool, 200); // every slot usable again
}

TEST(init_pool, has_100_slots_and_the_three_functions) {
    tvn_init_mpool *record = create_init_pool();
    EXPECT_EQ(record->init_pool->capacity, 100);
    EXPECT_EQ(record->init_pool->in_use, 0);
    EXPECT_EQ(record->tvn_malloc, &tvn_malloc);
    std::vector<void *> blocks;
    for (int i = 0; i < 100; ++i) blocks.push_back(record->tvn_malloc(record->init_pool, 1));
    EXPECT_EQ(record->tvn_malloc(record->init_pool, 1), nullptr);
    release_init_pool(record); // releases the 100 blocks too (checked by the sanitizer build)
}

} // namespace
