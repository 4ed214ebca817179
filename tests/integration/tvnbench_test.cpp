// tvnbench with tiny sizes: every workload prints its "name value unit" line with a sane value,
// against a test server and against a server of its own. Nothing here is timed: the figures
// are only checked to be there and to make sense.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_server.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;

// tvnbench is built beside tvn.
const std::string tvnbench_binary = (fs::path(TVN_BINARY).parent_path() / "tvnbench").string();

struct figure {
    double value = -1;
    std::string unit;
};

// The lines "name value unit" of the output, by name.
std::map<std::string, figure> figures_of(const std::string &output) {
    std::map<std::string, figure> figures;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, unit, rest;
        double value = 0;
        if (fields >> name >> value >> unit && !(fields >> rest)) figures[name] = {value, unit};
    }
    return figures;
}

const std::vector<std::string> tiny_sizes = {"--size",
                                             "1200000",
                                             "--settle",
                                             "0",
                                             "--sessions",
                                             "4",
                                             "--entries",
                                             "40",
                                             "--repeat",
                                             "2",
                                             "--clients",
                                             "3",
                                             "--concurrent-size",
                                             "600000",
                                             "--hold-sessions",
                                             "6",
                                             "--hold-seconds",
                                             "0.5",
                                             "--keepalive",
                                             "0.2",
                                             "--timeout",
                                             "10"};

command_result run_tvnbench(std::vector<std::string> arguments) {
    std::vector<std::string> argv{tvnbench_binary};
    argv.insert(argv.end(), tiny_sizes.begin(), tiny_sizes.end());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_command(argv);
}

server_options bench_server() {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so"};
    return options;
}

class tvnbench_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(tvnbench_binary)) GTEST_SKIP() << tvnbench_binary << " is not built";
        setenv("TVN_PASSWORD", "secret", 1);
    }
    void TearDown() override { unsetenv("TVN_PASSWORD"); }
};

TEST_F(tvnbench_test, every_workload_prints_its_figure_against_a_running_server) {
    test_server server(bench_server());
    ASSERT_TRUE(server.running()) << server.output();
    const auto result = run_tvnbench({"-p", std::to_string(server.port()), "-u", "tester@test"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    const auto figures = figures_of(result.output);
    for (const auto &[name, unit] :
         std::vector<std::pair<std::string, std::string>>{{"read", "MB/s"},
                                                          {"write", "MB/s"},
                                                          {"sessions", "sessions/s"},
                                                          {"listing", "ms"},
                                                          {"concurrent", "MB/s"},
                                                          {"hold", "sessions"},
                                                          {"hold_master_pss", "KiB"},
                                                          {"hold_worker_pss", "KiB"}}) {
        ASSERT_EQ(figures.count(name), 1u) << name << " missing in:\n" << result.output;
        EXPECT_EQ(figures.at(name).unit, unit) << name;
        EXPECT_GT(figures.at(name).value, 0) << name;
    }
    EXPECT_EQ(figures.at("hold").value, 6);
    // What the workloads left on the server: the data they read and the upload.
    EXPECT_EQ(fs::file_size(server.root().file("home/Private/tvnbench/large.bin")), 1200000u);
    EXPECT_EQ(fs::file_size(server.root().file("home/Private/tvnbench/upload.bin")), 1200000u);
    const fs::directory_iterator many(server.root().file("home/Private/tvnbench/many"));
    EXPECT_GE(std::distance(many, fs::directory_iterator()), 40);
}

TEST_F(tvnbench_test, a_second_run_keeps_the_data_of_the_first) {
    test_server server(bench_server());
    ASSERT_TRUE(server.running()) << server.output();
    const std::vector<std::string> args{"-p", std::to_string(server.port()), "-u", "tester@test",
                                        "read"};
    ASSERT_EQ(run_tvnbench(args).exit_status, 0);
    const auto made = fs::last_write_time(server.root().file("home/Private/tvnbench/large.bin"));
    const auto again = run_tvnbench(args);
    ASSERT_EQ(again.exit_status, 0) << again.output;
    EXPECT_EQ(fs::last_write_time(server.root().file("home/Private/tvnbench/large.bin")), made);
    EXPECT_EQ(figures_of(again.output).count("read"), 1u) << again.output;
}

TEST_F(tvnbench_test, a_refused_login_fails_with_the_reason) {
    test_server server(bench_server());
    ASSERT_TRUE(server.running()) << server.output();
    setenv("TVN_PASSWORD", "wrong", 1);
    const auto result =
        run_tvnbench({"-p", std::to_string(server.port()), "-u", "tester@test", "read"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.output.find("WRONG_AUTH"), std::string::npos) << result.output;
}

TEST_F(tvnbench_test, its_own_server_is_started_measured_and_stopped) {
    const std::string build_dir = fs::path(TVN_BINARY).parent_path().parent_path().string();
    const auto result = run_tvnbench({"--build", build_dir, "read", "listing", "-v"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    auto figures = figures_of(result.output);
    EXPECT_GT(figures["read"].value, 0) << result.output;
    EXPECT_GT(figures["listing"].value, 0) << result.output;
    // The root it reported is gone, and so is the server that ran on it.
    const auto at = result.output.find("root /tmp/tvnbench.");
    ASSERT_NE(at, std::string::npos) << result.output;
    const auto end = result.output.find_first_of(" \n", at + 5);
    const std::string root = result.output.substr(at + 5, end - at - 5);
    EXPECT_FALSE(fs::exists(root)) << root;
}

TEST_F(tvnbench_test, an_unknown_workload_is_a_usage_error) {
    const auto result = run_command({tvnbench_binary, "-p", "1", "-u", "a@b", "everything"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.output.find("unknown workload everything"), std::string::npos)
        << result.output;
}

} // namespace
