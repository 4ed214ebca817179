// tvnbench --rtt with tiny sizes: the workloads, plain and TLS, run through its delay relay and
// name their figures NAME@MSms; raw_stream gives the bare stream's rate with and without the
// relay; the command line refuses what makes no sense. Only a bound that a delay guarantees is
// checked, never a speed.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_server.h"
#include "tvnbench_output.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;

const std::string &build_dir = tvnbench_build_dir;

command_result run_tvnbench(std::vector<std::string> arguments) {
    std::vector<std::string> argv{
        tvnbench_binary, "--size", "1200000",  "--settle", "0",         "--sessions", "3",
        "--entries",     "20",     "--repeat", "2",        "--timeout", "10"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_command(argv);
}

class tvnbench_rtt : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(tvnbench_binary)) GTEST_SKIP() << tvnbench_binary << " is not built";
    }
};

TEST_F(tvnbench_rtt, every_workload_runs_through_the_relay_and_its_figure_names_the_round_trip) {
    const auto result = run_tvnbench({"--build", build_dir, "--rtt", "20", "-v", "read", "write",
                                      "tls_read", "sessions", "listing", "raw_stream"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    const auto figures = figures_of(result.output);
    for (const char *name : {"read@20ms", "write@20ms", "tls_read@20ms", "sessions@20ms",
                             "listing@20ms", "raw_stream@20ms"}) {
        ASSERT_EQ(figures.count(name), 1u) << name << " missing in:\n" << result.output;
        EXPECT_GT(figures.at(name), 0) << name;
    }
    for (const char *plain : {"read", "write", "tls_read", "sessions", "raw_stream"})
        EXPECT_EQ(figures.count(plain), 0u) << plain;
    // A session waits at least for its login and its listing, each a round trip: 20 ms there
    // and back hold it below 25 a second, however fast the machine.
    EXPECT_LT(figures.at("sessions@20ms"), 25) << result.output;
    // A listing is one round trip at the least (less a rounding).
    EXPECT_GE(figures.at("listing@20ms"), 19) << result.output;
}

TEST_F(tvnbench_rtt, a_running_server_is_measured_through_the_relay_too) {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so"};
    test_server server(options);
    ASSERT_TRUE(server.running()) << server.output();
    setenv("TVN_PASSWORD", "secret", 1);
    const auto result = run_tvnbench({"-p", std::to_string(server.port()), "-u", "tester@test",
                                      "--rtt", "10", "read", "listing"});
    unsetenv("TVN_PASSWORD");
    ASSERT_EQ(result.exit_status, 0) << result.output;
    const auto figures = figures_of(result.output);
    ASSERT_EQ(figures.count("read@10ms"), 1u) << result.output;
    EXPECT_GT(figures.at("read@10ms"), 0);
    ASSERT_EQ(figures.count("listing@10ms"), 1u) << result.output;
    EXPECT_GE(figures.at("listing@10ms"), 9) << result.output;
    EXPECT_EQ(fs::file_size(server.root().file("home/Private/tvnbench/large.bin")), 1200000u);
}

TEST_F(tvnbench_rtt, without_the_relay_raw_stream_is_the_bare_loopback_stream) {
    const auto result = run_tvnbench({"--build", build_dir, "raw_stream"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    const auto figures = figures_of(result.output);
    ASSERT_EQ(figures.count("raw_stream"), 1u) << result.output;
    EXPECT_GT(figures.at("raw_stream"), 0);
}

struct refusal_case {
    const char *name;
    std::vector<std::string> arguments;
    const char *said;
};

void PrintTo(const refusal_case &row, std::ostream *out) { *out << row.name; }

class tvnbench_rtt_refusal : public ::testing::TestWithParam<refusal_case> {};

TEST_P(tvnbench_rtt_refusal, is_a_usage_error_that_says_why) {
    if (!fs::exists(tvnbench_binary)) GTEST_SKIP() << tvnbench_binary << " is not built";
    const auto result = run_tvnbench(GetParam().arguments);
    EXPECT_EQ(result.exit_status, 2) << result.output;
    EXPECT_NE(result.output.find(GetParam().said), std::string::npos) << result.output;
}

INSTANTIATE_TEST_SUITE_P(
    rows, tvnbench_rtt_refusal,
    ::testing::Values(
        refusal_case{"a_round_trip_that_is_no_number", {"--rtt", "fast"}, "--rtt: a bad value"},
        refusal_case{"a_round_trip_above_a_minute", {"--rtt", "60001"}, "--rtt: a bad value"},
        refusal_case{"a_negative_round_trip", {"--rtt=-5"}, "--rtt: a bad value"},
        refusal_case{"the_relay_with_serve", {"--rtt", "40", "--serve"}, "not with --serve"},
        refusal_case{"raw_stream_over_tls", {"tls_raw_stream"}, "raw_stream is plain TCP"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
