// libtolvane-client as its users take it: installed into a temporary DESTDIR, the README's
// example is compiled with the flags pkg-config gives, linked shared and static, and run
// against a real server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "tvnclient_fixture.h"

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

std::vector<std::string> words_of(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool has_pkg_config() {
    return access("/usr/bin/pkg-config", X_OK) == 0 ||
           access("/usr/local/bin/pkg-config", X_OK) == 0;
}

class client_library_test : public tvnclient_fixture {
protected:
    void SetUp() override {
        if (!has_pkg_config()) GTEST_SKIP() << "pkg-config is not installed";
        const command_result installed =
            run_command({"/usr/bin/env", "DESTDIR=" + stage.path(), TVN_CMAKE_COMMAND, "--install",
                         TVN_BUILD_DIR});
        ASSERT_EQ(installed.exit_status, 0) << installed.output;
        write_file(area("Public/notes.bin"), content);
        std::filesystem::create_directory(area("Public/docs"));
    }

    // pkg-config's answer for the staged tree: the .pc file names the prefix, the sysroot
    // puts the staging directory in front of it.
    std::vector<std::string> pkg_config(const std::vector<std::string> &what) {
        std::vector<std::string> command = {"/usr/bin/env",
                                            "PKG_CONFIG_PATH=" + libdir() + "/pkgconfig",
                                            "PKG_CONFIG_SYSROOT_DIR=" + stage.path(), "pkg-config"};
        command.insert(command.end(), what.begin(), what.end());
        command.push_back("libtolvane-client");
        const command_result asked = run_command(command);
        EXPECT_EQ(asked.exit_status, 0) << asked.output;
        return words_of(asked.output);
    }

    // Compiles the example with the given link flags; the program's path, empty on failure.
    std::string compile_example(const std::vector<std::string> &link_flags, const char *name) {
        std::vector<std::string> command = {TVN_CXX_COMPILER, "-std=c++20"};
        for (const std::string &flag : words_of(TVN_EXAMPLE_FLAGS)) command.push_back(flag);
        command.push_back(std::string(TVN_SOURCE_DIR) + "/client/examples/list_area.cpp");
        for (const std::string &flag : pkg_config({"--cflags"})) command.push_back(flag);
        const std::string program = local(name);
        command.insert(command.end(), {"-o", program});
        command.insert(command.end(), link_flags.begin(), link_flags.end());
        const command_result compiled = run_command(command);
        EXPECT_EQ(compiled.exit_status, 0) << compiled.output;
        return compiled.exit_status == 0 ? program : "";
    }

    command_result run_example(const std::string &program, const std::string &library_path) {
        std::vector<std::string> command = {"/usr/bin/env", "-i", "TVN_PASSWORD=secret"};
        if (!library_path.empty()) command.push_back("LD_LIBRARY_PATH=" + library_path);
        command.insert(command.end(), {program, "127.0.0.1", std::to_string(server.port()),
                                       "tester@test", "notes.bin"});
        return run_command(command);
    }

    // The listing of /Public in any order, then the file.
    void expect_listing_and_file(const std::string &output) {
        const std::string docs = "docs/\n";
        const std::string notes = "notes.bin " + std::to_string(content.size()) + "\n";
        ASSERT_EQ(output.size(), docs.size() + notes.size() + content.size());
        const std::string listing = output.substr(0, docs.size() + notes.size());
        EXPECT_TRUE(listing == docs + notes || listing == notes + docs) << listing;
        EXPECT_EQ(checksum(output.substr(listing.size())), checksum(content));
    }

    std::string libdir() const { return stage.path() + TVN_INSTALL_LIBDIR; }

    local_directory stage;
    // Three READs' worth, so that the example's transfer keeps several in flight.
    const std::string content = random_bytes(1200000, 17);
};

TEST_F(client_library_test, the_example_builds_with_pkg_config_against_the_shared_library) {
    const std::string program = compile_example(pkg_config({"--libs"}), "list_area_shared");
    ASSERT_FALSE(program.empty());
    // It needs the shared library: without its directory it does not even start.
    EXPECT_NE(run_example(program, "").exit_status, 0);
    const command_result ran = run_example(program, libdir());
    ASSERT_EQ(ran.exit_status, 0) << ran.output.substr(0, 500);
    expect_listing_and_file(ran.output);
}

TEST_F(client_library_test, the_example_links_the_archive_with_what_libs_private_names) {
    // The archive, and the libraries it needs besides.
    std::vector<std::string> flags;
    for (const std::string &flag : pkg_config({"--libs", "--static"})) {
        if (flag == "-ltolvane-client")
            flags.insert(flags.end(), {"-Wl,-Bstatic", flag, "-Wl,-Bdynamic"});
        else
            flags.push_back(flag);
    }
    const std::string program = compile_example(flags, "list_area_static");
    ASSERT_FALSE(program.empty());
    const command_result ran = run_example(program, "");
    ASSERT_EQ(ran.exit_status, 0) << ran.output.substr(0, 500);
    expect_listing_and_file(ran.output);
}

} // namespace
