// --help and --version of every program: answered first, whatever else the command line holds
// and whoever runs it, while wrong arguments keep their usage lines and statuses.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "child_guard.h"
#include "server_root.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;

struct program {
    const char *name;
    std::string binary;
    const char *help_start; // how its --help begins
};

// Test names show the program, not the record's bytes.
void PrintTo(const program &p, std::ostream *out) { *out << p.name; }

// tvnbench is built beside tvn.
const std::string tvnbench_binary = (fs::path(TVN_BINARY).parent_path() / "tvnbench").string();

const std::vector<program> programs = {
    {"tvn", TVN_BINARY, "Usage: tvn [-d work_directory]\n"},
    {"tvnadduser", TVNADDUSER_BINARY,
     "Usage: tvnadduser [-m METHOD] <filename> <root directory>\n"},
    {"tvnsysadduser", TVNSYSADDUSER_BINARY, "Usage: tvnsysadduser [-m METHOD] <filename>\n"},
    {"tvnvpasswd", TVNVPASSWD_BINARY,
     "Usage: tvnvpasswd [-m METHOD] -g|-o <user_name> <filename>\n"},
    {"tvnpasswd", TVNPASSWD_BINARY, "Usage: tvnpasswd [-m METHOD] <user_name> <filename>\n"},
    {"tvnclient", TVNCLIENT_BINARY, "NAME\n    tvnclient - "},
    {"tvnbench", tvnbench_binary, "usage: tvnbench [options] [workload...]\n"},
};

std::string version_line(const program &p) { return std::string(p.name) + " " + TVN_VERSION + "\n"; }

class program_info : public ::testing::TestWithParam<program> {};

TEST_P(program_info, version_prints_the_name_and_the_build_version) {
    const command_result result = run_command({GetParam().binary, "--version"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, version_line(GetParam()));
}

TEST_P(program_info, help_prints_a_usage_and_names_both_options) {
    const command_result result = run_command({GetParam().binary, "--help"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output.rfind(GetParam().help_start, 0), 0u) << result.output;
    EXPECT_NE(result.output.find("--version"), std::string::npos) << result.output;
    EXPECT_GT(std::count(result.output.begin(), result.output.end(), '\n'), 3);
}

TEST_P(program_info, the_options_are_answered_before_the_other_arguments_are_looked_at) {
    for (const char *option : {"--version", "--help"}) {
        const command_result result =
            run_command({GetParam().binary, option, "-d", "/nonexistent/tvn-root", "x", "y"});
        EXPECT_EQ(result.exit_status, 0) << option;
        if (std::string(option) == "--version")
            EXPECT_EQ(result.output, version_line(GetParam()));
        else
            EXPECT_EQ(result.output.rfind(GetParam().help_start, 0), 0u) << result.output;
    }
}

// Runs the program as nobody, from a copy nobody can reach (the build tree may lie under a
// home only root enters); its output and exit status.
command_result run_as_nobody(const std::string &binary, const std::string &argument) {
    command_result result;
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) return result;
    temp_root place;
    const std::string copy = place.file(fs::path(binary).filename().string());
    fs::copy_file(binary, copy);
    chmod(place.path().c_str(), 0755);
    chmod(copy.c_str(), 0755);
    int output[2];
    if (pipe(output) != 0) return result;
    child_guard child(fork());
    if (child.pid() == 0) {
        dup2(output[1], 1);
        dup2(output[1], 2);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
            setuid(nobody->pw_uid) != 0)
            _exit(126);
        execl(copy.c_str(), copy.c_str(), argument.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(output[1]);
    pollfd readable{output[0], POLLIN, 0};
    char chunk[4096];
    while (poll(&readable, 1, 10000) > 0) {
        const ssize_t got = read(output[0], chunk, sizeof chunk);
        if (got <= 0) break;
        result.output.append(chunk, size_t(got));
    }
    close(output[0]);
    result.exit_status = child.wait_exit(10s);
    return result;
}

TEST_P(program_info, another_user_gets_the_answers_too) {
    if (getuid() != 0) GTEST_SKIP() << "running a program as nobody needs root";
    const command_result version = run_as_nobody(GetParam().binary, "--version");
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.output, version_line(GetParam()));
    const command_result help = run_as_nobody(GetParam().binary, "--help");
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.output.rfind(GetParam().help_start, 0), 0u) << help.output;
}

INSTANTIATE_TEST_SUITE_P(every_program, program_info, ::testing::ValuesIn(programs),
                         [](const ::testing::TestParamInfo<program> &info) {
                             return std::string(info.param.name);
                         });

// Anything else keeps the usage lines and statuses the programs always had.
struct refused_line {
    std::vector<std::string> argv;
    const char *output;
};

TEST(program_info_neighbours, other_words_keep_the_usage_lines_and_status_255) {
    const std::vector<refused_line> rows = {
        {{TVN_BINARY, "-help"}, "\ntvn: usage: tvn [-d work_directory]\n"},
        {{TVN_BINARY, "--helpme", "x"}, "\ntvn: usage: tvn [-d work_directory]\n"},
        {{TVNADDUSER_BINARY, "-h"}, "Usage :  tvnadduser <filename>\n"},
        {{TVNSYSADDUSER_BINARY, "--Version", "a", "b"}, "Usage :  tvnadduser <filename>\n"},
        {{TVNVPASSWD_BINARY, "-v", "alice", "db"},
         "Usage :  passwd -[go] <user_name> <filename>\n"},
        {{TVNPASSWD_BINARY, "--versions"}, "Usage :  tvnpasswd <user_name> <filename>\n"},
    };
    for (const refused_line &row : rows) {
        const command_result result = run_command(row.argv);
        EXPECT_EQ(result.exit_status, 255) << row.argv[1];
        EXPECT_EQ(result.output, row.output) << row.argv[1];
    }
}

TEST(program_info_neighbours, the_password_tools_still_refuse_other_users_before_their_arguments) {
    if (getuid() != 0) GTEST_SKIP() << "running a program as nobody needs root";
    for (const std::string binary : {TVNVPASSWD_BINARY, TVNPASSWD_BINARY}) {
        const command_result result = run_as_nobody(binary, "-x");
        EXPECT_EQ(result.exit_status, 255) << binary;
        EXPECT_EQ(result.output, "You don't have the permissions to execute this file\n");
    }
}

} // namespace
