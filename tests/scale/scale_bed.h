// The test bed: one shared tree (account database and users' areas), three tolvane servers
// with roots of their own that take the PROXY header from the balancer, HAProxy in front of
// them (one frontend over all three, one over the first alone), and for the figures a fourth,
// plain server on the same tree that clients reach directly.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "haproxy_process.h"
#include "scale_ledger.h"
#include "shared_tree.h"
#include "test_server.h"

namespace tvnscale {

inline constexpr int server_count = 3;
inline constexpr int user_count = 50;
inline constexpr int bench_users = 16;
// The balancer's service over all servers, and over the first alone.
inline constexpr const char *all_servers = "tolvane";
inline constexpr const char *first_server = "tolvane_one";

// A scratch directory made from a mkdtemp pattern, removed with everything in it.
class scratch_dir {
public:
    explicit scratch_dir(const std::string &pattern);
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    // Ends in "/".
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

class scale_bed {
public:
    // Lays out the tree (under shared_parent), the users (into context) and the clients, and starts the servers
    // and the balancer; throws std::runtime_error when something does not start.
    scale_bed(scale_context &context, int clients, bool for_figures,
              const std::string &shared_parent);
    ~scale_bed();

    tvn_test::shared_tree &tree() { return *tree_; }
    tvn_test::test_server &server(int i) { return *servers_[std::size_t(i)]; }
    tvn_test::test_server *direct() { return direct_.get(); }
    haproxy_process &balancer() { return *balancer_; }
    std::uint16_t port_all() const { return port_all_; }
    std::uint16_t port_one() const { return port_one_; }
    // The bench users' names and owner passwords, and the file each one reads.
    std::string bench_name(int i) const { return "bench" + std::to_string(i); }
    static std::string bench_password(int i) { return "bench-own-" + std::to_string(i); }
    static constexpr std::size_t bench_file_size = 32u << 20;

private:
    std::unique_ptr<tvn_test::shared_tree> tree_;
    std::vector<std::unique_ptr<tvn_test::test_server>> servers_;
    std::unique_ptr<tvn_test::test_server> direct_;
    scratch_dir balancer_dir_{"/tmp/tvn-balancer-XXXXXX"};
    std::uint16_t port_all_ = 0;
    std::uint16_t port_one_ = 0;
    std::unique_ptr<haproxy_process> balancer_;
};

// The loopback address of client i (127.0.0.2 onwards) and of bench thread i (127.0.1.1 on).
std::string client_address(int index);
std::string bench_address(int index);

} // namespace tvnscale
