// The server a soak run drives: list accounts, path mapping and a journal of every method on
// a temporary root, as a deployment runs it, started with the test support library.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "soak_ledger.h"
#include "test_server.h"

namespace tvnsoak {

inline constexpr int regular_users = 16;
inline constexpr int changing_users = 4;

class soak_server {
public:
    // Lays out the root, the accounts (into context) and their directories, and starts the
    // server for as many clients; throws std::runtime_error when it cannot.
    soak_server(soak_context &context, int clients);

    tvn_test::test_server &server() { return *server_; }
    pid_t master() const { return server_->pid(); }
    const std::string &root() const { return root_; }
    std::string database() const { return root_ + "users/soak.passwd"; }
    std::string journal() const { return root_ + "log/journal.log"; }

private:
    std::unique_ptr<tvn_test::test_server> server_;
    std::string root_;
};

} // namespace tvnsoak
