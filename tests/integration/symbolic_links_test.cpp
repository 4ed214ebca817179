// Symbolic links inside an area: without the session's right to follow links none is
// followed, neither as the last component of a path nor as a directory in its middle; with it,
// every request goes through them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "client_session.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_client;

class symbolic_links_test : public ::testing::Test {
protected:
    void SetUp() override {
        outside = server.root().file("outside");
        fs::create_directory(outside);
        std::ofstream(outside + "/secret.txt") << "secret";
        fs::create_directory_symlink(outside, local("Public/linked"));
        fs::create_symlink(outside + "/secret.txt", local("Public/secret-link"));
        std::ofstream(local("Public/plain.txt")) << "plain";
    }
    std::string local(const std::string &relative) {
        return server.root().file("home/" + relative);
    }
    std::uint32_t open_for_writing(connection &session, const std::string &path) {
        answer opened = exchange(session, open_request(path, TVN_OPEN_WRITE | TVN_OPEN_CREATE));
        EXPECT_EQ(opened.status(), OK) << path;
        return opened.param_u32(4).value_or(0);
    }

    test_server server{[] {
        server_options options;
        options.modules = {"test_auth_module.so", "pathmap.so"};
        return options;
    }()};
    std::string outside;
};

TEST_F(symbolic_links_test, without_link_rights_no_link_is_followed_anywhere_in_a_path) {
    connection session = logged_in(server);
    const std::uint32_t destination = open_for_writing(session, "/Public/copy.txt");
    struct refusal {
        const char *what;
        packet_builder request;
    };
    const refusal refused[] = {
        {"open a link", open_request("/Public/secret-link", TVN_OPEN_READ)},
        {"open through a linked directory",
         open_request("/Public/linked/secret.txt", TVN_OPEN_READ)},
        {"create through a linked directory",
         open_request("/Public/linked/new.txt", TVN_OPEN_WRITE | TVN_OPEN_CREATE)},
        {"list a linked directory", getdir_request("/Public/linked")},
        {"delete through a linked directory", delete_request("/Public/linked/secret.txt")},
        {"make a directory through a linked directory", mkdir_request("/Public/linked/made")},
        {"rename out of a linked directory",
         rename_request("/Public/linked/secret.txt", "/Public/got")},
        {"rename into a linked directory",
         rename_request("/Public/plain.txt", "/Public/linked/put")},
        {"copy from a linked directory",
         copyfile_request(destination, 0, 100, "/Public/linked/secret.txt")},
        {"set the times of a link", settime_request("/Public/secret-link", 1, 2)},
        {"set the times through a linked directory",
         settime_request("/Public/linked/secret.txt", 1, 2)},
    };
    for (const refusal &row : refused)
        EXPECT_EQ(exchange(session, row.request).status(), ACCESS_DENIED) << row.what;
    // Nothing moved, appeared or vanished behind the links.
    EXPECT_TRUE(fs::exists(outside + "/secret.txt"));
    struct stat secret {};
    ASSERT_EQ(stat((outside + "/secret.txt").c_str(), &secret), 0);
    EXPECT_GT(secret.st_mtime, 2); // its times untouched
    EXPECT_FALSE(fs::exists(outside + "/new.txt"));
    EXPECT_FALSE(fs::exists(outside + "/made"));
    EXPECT_FALSE(fs::exists(outside + "/put"));
    EXPECT_TRUE(fs::exists(local("Public/plain.txt")));
    EXPECT_EQ(fs::file_size(local("Public/copy.txt")), 0u);
    // Plain files and directories of the area are served as ever.
    EXPECT_EQ(exchange(session, open_request("/Public/plain.txt", TVN_OPEN_READ)).status(), OK);
    EXPECT_EQ(exchange(session, mkdir_request("/Public/real")).status(), OK);
    EXPECT_EQ(
        exchange(session, rename_request("/Public/plain.txt", "/Public/real/plain.txt")).status(),
        OK);
    EXPECT_EQ(exchange(session, delete_request("/Public/real/plain.txt")).status(), OK);
}

TEST_F(symbolic_links_test, a_directory_replaced_by_a_link_after_opening_a_handle_is_not_followed) {
    connection session = logged_in(server);
    fs::create_directory(local("Public/dir"));
    std::ofstream(local("Public/dir/file.txt")) << "mine";
    const std::uint32_t handle =
        exchange(session, open_request("/Public/dir/file.txt", TVN_OPEN_READ))
            .param_u32(4)
            .value_or(0);
    // Twenty more handles push the first one's descriptor out: its next use reopens the path.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(exchange(session, open_request("/Public/plain.txt", TVN_OPEN_READ)).status(), OK);
    fs::rename(local("Public/dir"), local("Public/dir-moved"));
    fs::create_directory_symlink(outside, local("Public/dir"));
    std::ofstream(outside + "/file.txt") << "secret";
    answer read = exchange(session, read_request(handle, 0, 100));
    EXPECT_NE(read.status(), OK);
    EXPECT_EQ(std::string(read.body().begin(), read.body().end()), "");
}

TEST_F(symbolic_links_test, with_link_rights_requests_go_through_links) {
    server.root().write_file("conf/test_auth", "links\n");
    connection session = logged_in(server);
    answer opened = exchange(session, open_request("/Public/linked/secret.txt", TVN_OPEN_READ));
    ASSERT_EQ(opened.status(), OK);
    answer read = exchange(session, read_request(opened.param_u32(4).value_or(0), 0, 100));
    EXPECT_EQ(std::string(read.body().begin(), read.body().end()), "secret");
    EXPECT_EQ(exchange(session, open_request("/Public/secret-link", TVN_OPEN_READ)).status(), OK);
    EXPECT_EQ(exchange(session, getdir_request("/Public/linked")).status(), OK);
    EXPECT_EQ(exchange(session, mkdir_request("/Public/linked/made")).status(), OK);
    EXPECT_TRUE(fs::is_directory(outside + "/made"));
    EXPECT_EQ(exchange(session, rename_request("/Public/linked/made", "/Public/made")).status(),
              OK);
    EXPECT_TRUE(fs::is_directory(local("Public/made")));
    EXPECT_EQ(exchange(session, settime_request("/Public/secret-link", 3, 4)).status(), OK);
    struct stat secret {};
    ASSERT_EQ(stat((outside + "/secret.txt").c_str(), &secret), 0);
    EXPECT_EQ(secret.st_mtime, 4); // the target's, as every request through a link
}

} // namespace
