// Test support: a request record with real connection pools, as the server makes one for each
// connection, for calling module code directly.
#pragma once

#include <cstring>
#include <string>

#include "pool.h"

namespace tvn_test {

class pooled_request {
public:
    pooled_request() : pools_(create_connection_pools()) { request_.mpool = pools_; }
    ~pooled_request() { release_connection_pools(pools_); }
    pooled_request(const pooled_request &) = delete;
    pooled_request &operator=(const pooled_request &) = delete;

    tvn_request *get() { return &request_; }
    tvn_request *operator->() { return &request_; }
    tvn_mpool *pools() { return pools_; }

    // A copy of value in the connection pool, as the server puts texts into the record.
    char *text(const std::string &value) {
        auto *copy =
            static_cast<char *>(tvn_malloc(pools_->connection_pool, uint32_t(value.size() + 1)));
        std::memcpy(copy, value.c_str(), value.size() + 1);
        return copy;
    }
    // The blocks the request pool holds.
    int request_blocks() const { return pools_->request_pool->in_use; }

private:
    tvn_mpool *pools_;
    tvn_request request_{};
};

} // namespace tvn_test
