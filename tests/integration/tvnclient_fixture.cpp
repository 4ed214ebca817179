// The tvnclient tests' fixture and file helpers.
#include "tvnclient_fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "client_session.h"

namespace tvn_test::cli {

namespace fs = std::filesystem;

local_directory::local_directory() {
    char pattern[] = "/tmp/tvnclient-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

local_directory::~local_directory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

server_options client_server_options(const std::string &server_lines) {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    return options;
}

client_settings tvnclient_fixture::settings(std::vector<std::string> arguments,
                                            const std::string &password) {
    client_settings made;
    made.arguments = {"-H", "127.0.0.1", "-p", std::to_string(server.port()), "-u", "tester@test"};
    made.arguments.insert(made.arguments.end(), arguments.begin(), arguments.end());
    made.environment = {"PATH=/usr/bin:/bin", "HOME=" + work.path(), "TZ=UTC", "LANG=C"};
    if (!password.empty()) made.environment.push_back("TVN_PASSWORD=" + password);
    made.directory = work.path();
    return made;
}

client_result tvnclient_fixture::run(std::vector<std::string> arguments,
                                     const std::string &password, std::string_view input) {
    return run_client(settings(std::move(arguments), password), input);
}

std::size_t tvnclient_fixture::journal_size() {
    // The worker writes a session's last line after the client has gone: wait for it, so that
    // the lines counted from here on are the next session's.
    std::vector<std::string> lines;
    wait_until(
        [&] {
            lines = journal_lines(server.root());
            return lines.empty() || lines.back().rfind("2 ", 0) == 0;
        },
        10s);
    return lines.size();
}

std::vector<int> tvnclient_fixture::journal_methods(std::size_t from) {
    std::vector<std::string> lines;
    wait_until(
        [&] {
            lines = journal_lines(server.root());
            for (std::size_t i = from; i < lines.size(); ++i)
                if (lines[i].rfind("2 ", 0) == 0) return true;
            return false;
        },
        10s);
    std::vector<int> methods;
    for (std::size_t i = from; i < lines.size(); ++i)
        methods.push_back(std::atoi(lines[i].c_str()));
    return methods;
}

void write_file(const std::string &path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937_64 noise(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = noise();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = char(word >> (8 * j));
    }
    return bytes;
}

std::uint64_t checksum(std::string_view data) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

std::size_t count_of(const std::vector<int> &values, int value) {
    return std::size_t(std::count(values.begin(), values.end(), value));
}

} // namespace tvn_test::cli
