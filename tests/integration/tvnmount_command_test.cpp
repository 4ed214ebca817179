// tvnmount's command line: it mounts and goes to the background, -u MOUNTPOINT and
// --unmount unmount; a refused login, a bad option or a missing mount point mount nothing.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "tvnmount_fixture.h"

namespace tvn_test::mount {
namespace {

namespace fs = std::filesystem;

// The password for the programs this test runs (each test runs in a process of its own).
class password_in_environment {
public:
    explicit password_in_environment(const std::string &password) {
        setenv("TVN_PASSWORD", password.c_str(), 1);
    }
    ~password_in_environment() { unsetenv("TVN_PASSWORD"); }
};

// The background tvnmount becomes this process's child when its parent leaves, so that it
// can be waited for (and ended, should it outlive its mount).
class adopted_daemons {
public:
    adopted_daemons() { become_subreaper(); }
    ~adopted_daemons() {
        for (const pid_t pid : daemons()) child_guard ended(pid);
    }
    bool all_gone() const { return daemons().empty(); }

private:
    // Children running tvnmount (the test's server may be a child too).
    static std::vector<pid_t> daemons() {
        std::vector<pid_t> found;
        for (const pid_t pid : children_of(getpid()))
            if (read_file("/proc/" + std::to_string(pid) + "/comm") == "tvnmount\n")
                found.push_back(pid);
        return found;
    }
};

class tvnmount_command : public tvnmount_fixture {
protected:
    std::vector<std::string> login_words() const {
        return {TVNMOUNT_BINARY, "-H", "127.0.0.1", "-p", std::to_string(server.port()), "-u",
                "tester@test"};
    }
    command_result mount_at(const std::string &point, std::vector<std::string> more = {}) {
        std::vector<std::string> argv = login_words();
        argv.insert(argv.end(), more.begin(), more.end());
        argv.push_back(point);
        return run(argv);
    }
};

TEST_F(tvnmount_command, it_mounts_in_the_background_and_dash_u_unmounts) {
    adopted_daemons daemons;
    write_file(area("Public/seen.txt"), "seen");
    for (const std::string unmount_option : {"-u", "--unmount"}) {
        scratch_directory point("tvnmount-point");
        password_in_environment password("secret");
        const command_result mounted = mount_at(point.path());
        ASSERT_EQ(mounted.exit_status, 0) << mounted.output;
        EXPECT_EQ(mounted.output, "");
        ASSERT_TRUE(is_mounted(point.path()));
        EXPECT_EQ(read_file(point.file("Public/seen.txt")), "seen");
        const command_result unmounted = run({TVNMOUNT_BINARY, unmount_option, point.path()});
        EXPECT_EQ(unmounted.exit_status, 0) << unmounted.output;
        EXPECT_FALSE(is_mounted(point.path()));
        EXPECT_TRUE(wait_until([&] { return daemons.all_gone(); }, 10s));
    }
}

TEST_F(tvnmount_command, a_refused_login_mounts_nothing) {
    scratch_directory point("tvnmount-point");
    password_in_environment password("wrong");
    const command_result refused = mount_at(point.path());
    EXPECT_EQ(refused.exit_status, 5);
    EXPECT_EQ(refused.output.rfind("tvnmount: ", 0), 0u) << refused.output; // its own name
    EXPECT_NE(refused.output.find("login refused"), std::string::npos) << refused.output;
    EXPECT_FALSE(is_mounted(point.path()));
}

TEST_F(tvnmount_command, an_unknown_mount_option_mounts_nothing) {
    scratch_directory point("tvnmount-point");
    password_in_environment password("secret");
    const command_result refused = mount_at(point.path(), {"-f", "-o", "no_such_option"});
    EXPECT_EQ(refused.exit_status, 1) << refused.output;
    EXPECT_NE(refused.output.find("no_such_option"), std::string::npos) << refused.output;
    EXPECT_FALSE(is_mounted(point.path()));
}

TEST_F(tvnmount_command, command_line_mistakes_are_usage_errors) {
    password_in_environment password("secret");
    const std::vector<std::vector<std::string>> mistakes = {
        {},                                 // no mount point
        {"--sessions", "0", "/tmp"},        // no session at all
        {"--cache-level", "5", "/tmp"},     // no such level
        {"--write-back", "20000000", "/tmp"}, // more than is ever gathered
        {"/tmp", "/var"},                   // two mount points
        {"--bogus", "/tmp"},
    };
    for (const auto &mistake : mistakes) {
        std::vector<std::string> argv = login_words();
        argv.insert(argv.end(), mistake.begin(), mistake.end());
        const command_result refused = run(argv);
        EXPECT_EQ(refused.exit_status, 2) << refused.output;
        EXPECT_NE(refused.output.find("tvnmount --help"), std::string::npos) << refused.output;
    }
    const command_result helped = run({TVNMOUNT_BINARY, "--help"});
    EXPECT_EQ(helped.exit_status, 0);
    EXPECT_NE(helped.output.find("Usage: tvnmount"), std::string::npos);
}

} // namespace
} // namespace tvn_test::mount
