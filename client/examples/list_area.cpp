// list_area: libtolvane-client in a few lines. Connects to a tolvane server, logs in, lists
// /Public and, given a file name there, prints the file.
//
//   TVN_PASSWORD=secret list_area 127.0.0.1 700 alice@example [hello.txt]
//
// Build it against the installed library:
//   c++ -std=c++20 list_area.cpp $(pkg-config --cflags --libs libtolvane-client) -o list_area
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tolvane/connection.h"
#include "tolvane/listing.h"
#include "tolvane/packet.h"
#include "tolvane/protocol.h"
#include "tolvane/transfer.h"

namespace {

using namespace std::chrono_literals;
namespace tvn = tvn_client;

// One request and its answer; false when the connection failed or the server refused.
bool ask(tvn::connection &server, const tvn::packet_builder &request, tvn::answer &answer,
         const char *what) {
    const tvn::read_result result = server.request(request.build(), answer, 10s);
    if (result != tvn::read_result::answer_read) {
        std::fprintf(stderr, "list_area: %s: the connection failed\n", what);
        return false;
    }
    if (answer.status() != OK) {
        std::fprintf(stderr, "list_area: %s: refused with status %d\n", what, answer.status());
        return false;
    }
    return true;
}

// Prints a file of /Public with a pipelined transfer: READs go out ahead of their answers.
bool print_file(tvn::connection &server, const std::string &path) {
    tvn::answer answer;
    if (!ask(server, tvn::open_request(path, tvn::open_mode::read_only), answer, path.c_str()))
        return false;
    const std::uint32_t handle = answer.param_u32(4).value_or(0);
    const std::uint32_t size = answer.param_u32(8).value_or(0);
    tvn::read_range whole;
    whole.expected_size = size; // READs run ahead up to the size OPEN announced
    const tvn::transfer_report report =
        tvn::read_file(server, handle, whole, [](std::span<const std::uint8_t> data) {
            return std::fwrite(data.data(), 1, data.size(), stdout) == data.size();
        });
    if (report.outcome != tvn::transfer_outcome::complete) {
        std::fprintf(stderr, "list_area: %s: %s\n", path.c_str(),
                     tvn::outcome_name(report.outcome));
        return false;
    }
    return ask(server, tvn::close_request(handle), answer, path.c_str());
}

} // namespace

int main(int argc, char **argv) {
    const char *password = std::getenv("TVN_PASSWORD");
    if (argc < 4 || argc > 5 || password == nullptr) {
        std::fprintf(stderr, "usage: TVN_PASSWORD=... list_area IPV4 PORT USER@DOMAIN [FILE]\n");
        return 2;
    }
    auto server =
        tvn::connection::connect_to(argv[1], static_cast<std::uint16_t>(std::atoi(argv[2])), 10s);
    if (!server) {
        std::perror("list_area: connect");
        return 1;
    }
    tvn::answer answer;
    // Extended listings carry each file's size.
    if (!ask(*server, tvn::connect_request(argv[3], password, TVN_OPTION_EXTENDED_LISTING), answer,
             "login"))
        return 1;
    if (!ask(*server, tvn::getdir_request("/Public"), answer, "/Public")) return 1;
    const auto entries = tvn::parse_listing(answer.body(), true);
    if (!entries) {
        std::fprintf(stderr, "list_area: /Public: a listing that does not parse\n");
        return 1;
    }
    for (const tvn::listing_entry &entry : *entries) {
        if (entry.is_dir)
            std::printf("%s/\n", entry.name.c_str());
        else
            std::printf("%s %u\n", entry.name.c_str(), entry.size);
    }
    if (argc == 5 && !print_file(*server, std::string("/Public/") + argv[4])) return 1;
    server->send_all(tvn::disconnect_request().build());
    return 0;
}
