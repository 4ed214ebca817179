// tvnbench over TLS with tiny sizes: the tls_ workloads print their figures beside the plain
// ones, against a server of its own (which gets a certificate and a TLS port) and against a
// running one. Nothing here is timed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tls_fixture.h"
#include "tvnbench_output.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;

const std::string &build_dir = tvnbench_build_dir;

command_result run_tvnbench(std::vector<std::string> arguments) {
    std::vector<std::string> argv{tvnbench_binary, "--size",     "1200000", "--settle",
                                  "0",             "--sessions", "4",       "--timeout",
                                  "10"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_command(argv);
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(tvnbench_tls, its_own_server_gets_tls_and_the_tls_figures_stand_beside_the_plain_ones) {
    if (!fs::exists(tvnbench_binary)) GTEST_SKIP() << tvnbench_binary << " is not built";
    const auto result = run_tvnbench(
        {"--build", build_dir, "-v", "read", "tls_read", "tls_write", "sessions", "tls_sessions"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    const auto figures = figures_of(result.output);
    for (const char *name : {"read", "tls_read", "tls_write", "sessions", "tls_sessions"}) {
        ASSERT_EQ(figures.count(name), 1u) << name << " missing in:\n" << result.output;
        EXPECT_GT(figures.at(name), 0) << name;
    }
    EXPECT_EQ(figures.count("write"), 0u);
    // Its certificate verifies (tvnbench trusts its own server's), and every session but the
    // first resumed a TLS session.
    EXPECT_TRUE(contains(result.output, ": TLSv1.3, certificate verified")) << result.output;
    EXPECT_TRUE(contains(result.output, "tvnbench: tls_sessions: 4 of 4 resumed a TLS session"))
        << result.output;
}

TEST(tvnbench_tls, serve_with_tls_names_the_tls_port_the_certificate_and_the_key) {
    if (!fs::exists(tvnbench_binary)) GTEST_SKIP() << tvnbench_binary << " is not built";
    become_subreaper();
    const auto result = run_command({tvnbench_binary, "--build", build_dir, "--serve", "--tls"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    std::istringstream words(result.output);
    std::map<std::string, std::string> said;
    for (std::string key, value; words >> key >> value;) said[key] = value;
    const pid_t pid = pid_t(std::atol(said["pid"].c_str()));
    ASSERT_GT(pid, 0) << result.output;
    EXPECT_TRUE(port_listening(uint16_t(std::atoi(said["port"].c_str()))));
    EXPECT_TRUE(port_listening(uint16_t(std::atoi(said["tls_port"].c_str()))));
    EXPECT_EQ(tls::fingerprint_of(said["certificate"]).size(), 95u) << said["certificate"];
    EXPECT_EQ(fs::status(said["key"]).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    kill(pid, SIGINT);
    EXPECT_EQ(wait_for_exit(pid, 20s), 0);
    fs::remove_all(said["root"]);
}

TEST(tvnbench_tls, tls_workloads_against_a_running_server_need_its_tls_port) {
    const auto result =
        run_command({tvnbench_binary, "-p", "1", "-u", "a@b", "read", "tls_read"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_TRUE(contains(result.output, "need --tls-port")) << result.output;
}

class tvnbench_tls_running_test : public tls::tls_fixture {
protected:
    void SetUp() override {
        if (!fs::exists(tvnbench_binary)) GTEST_SKIP() << tvnbench_binary << " is not built";
        tls_fixture::SetUp();
        setenv("TVN_PASSWORD", "secret", 1);
    }
    void TearDown() override { unsetenv("TVN_PASSWORD"); }
};

TEST_F(tvnbench_tls_running_test, a_running_server_is_measured_at_its_tls_port) {
    // Beside the plain port,
    auto result = run_tvnbench({"-p", std::to_string(server.port()), "--tls-port",
                                std::to_string(tls_port), "--ca", certificate(), "-u",
                                "tester@test", "-v", "read", "tls_read"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    auto figures = figures_of(result.output);
    EXPECT_GT(figures["read"], 0) << result.output;
    EXPECT_GT(figures["tls_read"], 0) << result.output;
    EXPECT_TRUE(contains(result.output, "TLSv1.3, certificate verified")) << result.output;
    // and alone, with --tls; without --ca the self-signed certificate is measured unverified.
    result = run_tvnbench({"-p", std::to_string(tls_port), "--tls", "-u", "tester@test", "-v",
                           "sessions"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    figures = figures_of(result.output);
    EXPECT_GT(figures["tls_sessions"], 0) << result.output;
    EXPECT_EQ(figures.count("sessions"), 0u) << result.output;
    EXPECT_TRUE(contains(result.output, "certificate not verified: self-signed certificate"))
        << result.output;
}

} // namespace
