// tvn_main end to end: banner, configuration failures, module loading and the shutdown order.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "server_root.h"
#include "test_server.h"

namespace {

using tvn_test::launched_server;
using tvn_test::loopback_server_section;
using tvn_test::temp_root;

const std::string STARS(59, '*');
const std::string BANNER = STARS + "\n\n                   TOLVANE SERVER\n\n" + STARS +
                           "\n\nConfiguring TOLVANE SERVER...";

class startup_test : public ::testing::Test {
protected:
    void SetUp() override { root.install_server_library(); }
    temp_root root;
};

// A configuration that loads neither an account module nor a path-mapping module starts, and
// says that it can serve nobody.
const std::string NO_MODULES_WARNINGS =
    "warning: no account module is loaded (LoadModule listacct.so or hostacct.so): every login "
    "will be refused\nwarning: no path-mapping module is loaded (LoadModule pathmap.so): no file "
    "can be reached\n";

TEST_F(startup_test, a_normal_start_and_stop_prints_every_message_in_order) {
    root.install_test_module("recorder_module", "first.so");
    root.install_test_module("recorder_module", "second.so");
    const std::string section =
        loopback_server_section("LoadModule first.so\nLoadModule second.so\n");
    root.write_config(section);
    const size_t port_at = section.find("ServerPort ") + 11;
    const std::string port = section.substr(port_at, section.find('\n', port_at) - port_at);
    launched_server server(root);
    ASSERT_TRUE(server.start()) << root.output();
    EXPECT_EQ(server.stop(SIGINT), 0);
    const std::string lib = root.path() + "lib/";
    EXPECT_EQ(root.output(), BANNER + "..OK\nLoading module library " + lib +
                                 "first.so ...ok\nLoading module library " + lib +
                                 "second.so ...ok\n" + NO_MODULES_WARNINGS + "listening on 127.0.0.1:" + port +
                                 "\n\n\n\nShutting down 'tolvane server'...\n\n... done\n\n");
    EXPECT_EQ(root.read_file("log/module_events"),
              "init_module first.so\ninit_module second.so\nserver_exit first.so\n"
              "server_exit second.so\n");
}

TEST_F(startup_test, sigquit_stops_the_server_as_well) {
    root.write_config(loopback_server_section());
    launched_server server(root);
    ASSERT_TRUE(server.start());
    EXPECT_EQ(server.stop(SIGQUIT), 0);
    EXPECT_NE(root.output().find("... done\n\n"), std::string::npos);
}

TEST_F(startup_test, a_configuration_error_ends_with_status_1_after_its_message) {
    root.write_config("<Server>\nBogusKey 1\n</Server>\n");
    launched_server server(root);
    server.start();
    EXPECT_EQ(server.wait_exit(), 1);
    EXPECT_EQ(root.output(), BANNER +
                                 "\nUnknown field BogusKey, control your server configuration "
                                 "file\n\nError configuring the server. I can't go on!\n\n");
}

TEST_F(startup_test, a_configuration_without_server_section_fails) {
    root.write_config("# nothing here\n");
    launched_server server(root);
    server.start();
    EXPECT_EQ(server.wait_exit(), 1);
    EXPECT_EQ(root.output(), BANNER + "\nI can't find <Server> section, I can't go on\n" +
                                 "\nError configuring the server. I can't go on!\n\n");
}

TEST_F(startup_test, a_failed_module_runs_the_earlier_exit_hooks_and_ends_with_status_1) {
    root.install_test_module("recorder_module", "good.so");
    root.install_test_module("failing_init_module", "bad.so");
    root.install_test_module("recorder_module", "never.so");
    root.write_config("<Server>\nLoadModule good.so\nLoadModule bad.so\nLoadModule never.so\n");
    launched_server server(root);
    server.start();
    EXPECT_EQ(server.wait_exit(), 1);
    const std::string out = root.output();
    EXPECT_NE(out.find("bad.so ...\nError loading modules. I can't go on!\n\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("never.so"), std::string::npos);
    EXPECT_EQ(root.read_file("log/module_events"),
              "init_module good.so\ninit_module_failed bad.so\nserver_exit good.so\n"
              "server_exit bad.so\n");
}

TEST_F(startup_test, a_missing_module_library_fails_the_start) {
    root.write_config("<Server>\nLoadModule absent.so\n</Server>\n");
    launched_server server(root);
    server.start();
    EXPECT_EQ(server.wait_exit(), 1);
    const std::string out = root.output();
    EXPECT_NE(out.find("\nCan't load congiguration lib " + root.path() + "lib/absent.so\n\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nError loading modules. I can't go on!\n\n"), std::string::npos);
}

} // namespace
