// The tvnclient tests' fixture: a real server with the test account (tester@test, owner
// password "secret", guest password "guest", areas ROOT/home/{Private,Public,Web}) and the
// journal of test_logger_module, plus a local working directory for the client.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "test_server.h"
#include "tvnclient_runner.h"

namespace tvn_test::cli {

// A fresh directory under /tmp, removed with everything in it.
class local_directory {
public:
    local_directory();
    ~local_directory();
    local_directory(const local_directory &) = delete;
    local_directory &operator=(const local_directory &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The modules of the account, the path mapping and the journal; extra Server lines.
server_options client_server_options(const std::string &server_lines = "");

class tvnclient_fixture : public ::testing::Test {
protected:
    explicit tvnclient_fixture(const server_options &options = client_server_options())
            : server(options) {}

    // A path in the test account's areas on the server's disk ("Public/a.txt").
    std::string area(const std::string &relative) { return server.root().file("home/" + relative); }
    // A path in the client's local working directory.
    std::string local(const std::string &relative) const { return work.path() + "/" + relative; }
    // A client for tester@test on the fixture's server, logging in with `password` (none
    // in the environment when empty), working in the local directory, time zone UTC.
    client_settings settings(std::vector<std::string> arguments,
                             const std::string &password = "secret");
    client_result run(std::vector<std::string> arguments, const std::string &password = "secret",
                      std::string_view input = {});
    // The method codes of the journal's lines from line `from` on, once the connection that
    // wrote them has ended (its DISCONNECT line is there).
    std::vector<int> journal_methods(std::size_t from = 0);
    std::size_t journal_size();

    test_server server;
    local_directory work;
};

void write_file(const std::string &path, std::string_view content);
std::string read_file(const std::string &path);
// Reproducible noise.
std::string random_bytes(std::size_t size, unsigned seed);
// FNV-1a, 64 bits.
std::uint64_t checksum(std::string_view data);
// How many of `values` equal `value`.
std::size_t count_of(const std::vector<int> &values, int value);

} // namespace tvn_test::cli
