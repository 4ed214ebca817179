// Laying out the test bed and starting its servers and its balancer.
#include "scale_bed.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "scale_checks.h"
#include "seeded_content.h"

namespace fs = std::filesystem;

namespace tvnscale {

namespace {

using namespace std::chrono_literals;

// Health checks twice a second: a stopped server is out within about a second.
constexpr int check_ms = 500;

// A file of seeded content for a bench user to read, the service account's.
void write_bench_file(const std::string &path, std::size_t size, uid_t uid, gid_t gid) {
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint8_t> piece(1 << 20);
    for (std::size_t done = 0; done < size; done += piece.size()) {
        tvn_test::fill_content(0xbe7c4, done, piece);
        out.write(reinterpret_cast<const char *>(piece.data()), std::streamsize(piece.size()));
    }
    out.close();
    if (!out || chown(path.c_str(), uid, gid) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::unique_ptr<tvn_test::test_server> start_server(const tvn_test::shared_tree &tree,
                                                    const std::string &lines) {
    auto server = std::make_unique<tvn_test::test_server>(tree.options(lines));
    tree.prepare_root(server->root());
    if (!server->start()) throw std::runtime_error("a server did not start:\n" + server->output());
    return server;
}

} // namespace

std::string client_address(int index) { return "127.0.0." + std::to_string(2 + index); }
std::string bench_address(int index) { return "127.0.1." + std::to_string(1 + index); }

scale_bed::scale_bed(scale_context &context, int clients, bool for_figures,
                     const std::string &shared_parent)
        : tree_(std::make_unique<tvn_test::shared_tree>(shared_parent)) {
    std::vector<tvn_test::shared_account> accounts;
    for (int i = 0; i < user_count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "u%02d", i);
        accounts.push_back(tree_->make_account(name, std::string("own-") + name,
                                               std::string("gst-") + name));
        auto user = std::make_unique<scale_user>();
        user->name = name;
        user->home = accounts.back().home;
        user->owner_password = accounts.back().owner_password;
        user->guest_password = accounts.back().guest_password;
        context.users.push_back(std::move(user));
    }
    if (for_figures) {
        for (int i = 0; i < bench_users; ++i) {
            accounts.push_back(tree_->make_account(bench_name(i), bench_password(i), "x"));
            write_bench_file(accounts.back().home + "/Private/bench.dat", bench_file_size,
                             tree_->service_uid(), tree_->service_gid());
        }
    }
    tree_->write_records(accounts);
    for (int i = 0; i < clients; ++i) {
        scale_client client;
        client.index = i;
        client.source = client_address(i);
        client.user = context.users[std::size_t(i % user_count)].get();
        char dir[16];
        std::snprintf(dir, sizeof dir, "c%03d", i);
        client.remote_dir = std::string("/Private/") + dir;
        client.local_dir = client.user->home + "/Private/" + dir;
        context.clients.push_back(client);
    }

    // Room for every client at once on one server, when the others are down.
    const std::string lines = "    ProxyProtocol 127.0.0.1\n    MaxConcurrentUsers " +
                              std::to_string(clients + 100) + "\n    ListenBacklog 1024\n";
    for (int i = 0; i < server_count; ++i) servers_.push_back(start_server(*tree_, lines));
    if (for_figures) direct_ = start_server(*tree_, "    ListenBacklog 1024\n");

    port_all_ = tvn_test::free_port();
    port_one_ = tvn_test::free_port();
    std::vector<std::uint16_t> ports;
    for (const auto &server : servers_) ports.push_back(server->port());
    balancer_ = std::make_unique<haproxy_process>(
        balancer_dir_.path(),
        std::vector<balanced_service>{{all_servers, port_all_, ports},
                                      {first_server, port_one_, {ports.front()}}},
        check_ms);
    if (!balancer_->started())
        throw std::runtime_error("HAProxy did not start:\n" + read_text(balancer_->log()));
    for (int i = 0; i < server_count; ++i)
        if (!balancer_->wait_state(all_servers, i, "UP", 10s))
            throw std::runtime_error("HAProxy does not see server " + std::to_string(i) + " up");
    context.port = port_all_;
}

scale_bed::~scale_bed() {
    balancer_.reset(); // before its directory goes
}

scratch_dir::scratch_dir(const std::string &pattern) {
    std::string name = pattern;
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot make " + pattern);
    path_ = name + "/";
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

} // namespace tvnscale
