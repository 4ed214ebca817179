// Resolving local paths beneath an area: links refused anywhere below it unless followed, both
// through the kernel's resolution and through the walk kept for kernels without it.
#include "local_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "connection.h"
#include "pool.h"
#include "server_root.h"

namespace fs = std::filesystem;

namespace {

class local_path_test : public ::testing::Test {
protected:
    void SetUp() override {
        area = root.file("area");
        fs::create_directories(area + "/dir/sub");
        fs::create_directory(root.file("outside"));
        std::ofstream(area + "/dir/file") << "inside";
        std::ofstream(root.file("outside/file")) << "outside";
        fs::create_directory_symlink(root.file("outside"), area + "/linked");
        fs::create_symlink(area + "/dir/file", area + "/dir/file-link");
        request.private_dir = area.data();
        connection.request = &request;
    }
    void TearDown() override { close_area_anchors(&connection.anchors); }

    // What opening path gives: "ok", or the errno's name for the cases that matter here.
    std::string open_result(const std::string &path, bool follow) {
        errno = 0;
        const int fd = open_local(&connection, path.c_str(), O_RDONLY, 0, follow);
        if (fd >= 0) {
            close(fd);
            return "ok";
        }
        return errno == ELOOP ? "link" : errno == ENOENT ? "missing" : std::to_string(errno);
    }

    tvn_test::temp_root root;
    std::string area;
    tvn_request request{};
    tvn_connection connection{};
};

TEST_F(local_path_test, links_below_the_area_are_refused_unless_followed) {
    struct row {
        const char *relative;
        const char *refused;  // links not followed
        const char *followed; // links followed
    };
    const row rows[] = {
        {"/dir/file", "ok", "ok"},
        {"/dir/sub", "ok", "ok"},
        {"", "ok", "ok"}, // the area's directory itself
        {"/dir/file-link", "link", "ok"},
        {"/linked/file", "link", "ok"},
        {"/linked", "link", "ok"},
        {"/dir/missing", "missing", "missing"},
        {"//dir///file", "ok", "ok"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(open_result(area + r.relative, false), r.refused) << r.relative;
        EXPECT_EQ(open_result(area + r.relative, true), r.followed) << r.relative;
    }
}

TEST_F(local_path_test, the_walk_refuses_links_and_every_dot_dot) {
    const int anchor = open(area.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(anchor, 0);
    struct row {
        const char *rest;
        int error; // 0: opens
    };
    const row rows[] = {
        {"dir/file", 0},
        {"dir//sub", 0},
        {"", 0},
        {"dir/file-link", ELOOP},
        {"linked/file", ELOOP},
        {"linked", ELOOP},
        {"dir/../dir/file", ELOOP},
        {"..", ELOOP},
        {"dir/nothing", ENOENT},
        {"dir/file/x", ENOTDIR},
    };
    for (const row &r : rows) {
        errno = 0;
        const int fd = open_beneath_by_walk(anchor, r.rest, O_RDONLY, 0);
        if (fd >= 0) close(fd);
        EXPECT_EQ(fd >= 0 ? 0 : errno, r.error) << r.rest;
    }
    close(anchor);
}

TEST_F(local_path_test, the_parent_of_a_name_is_opened_without_links) {
    {
        parent_dir parent(&connection, (area + "/dir/new").c_str(), false);
        ASSERT_TRUE(parent.opened());
        EXPECT_STREQ(parent.leaf(), "new");
        EXPECT_EQ(mkdirat(parent.fd(), parent.leaf(), 0755), 0);
        EXPECT_TRUE(fs::is_directory(area + "/dir/new"));
    }
    {
        parent_dir trailing(&connection, (area + "/dir/new//").c_str(), false);
        ASSERT_TRUE(trailing.opened());
        EXPECT_STREQ(trailing.leaf(), "new");
    }
    {
        parent_dir through_link(&connection, (area + "/linked/file").c_str(), false);
        EXPECT_FALSE(through_link.opened());
        EXPECT_EQ(errno, ELOOP);
    }
    {
        parent_dir the_area(&connection, area.c_str(), false);
        EXPECT_FALSE(the_area.opened()); // an area's directory is never created or removed
    }
    {
        parent_dir followed(&connection, (area + "/linked/file").c_str(), true);
        ASSERT_TRUE(followed.opened());
        EXPECT_EQ(followed.fd(), AT_FDCWD);
    }
}

TEST_F(local_path_test, a_path_in_no_area_is_checked_from_the_root) {
    EXPECT_EQ(open_result(root.file("outside/file"), false), "ok");
    const std::string link = root.file("elsewhere");
    fs::create_directory_symlink(root.file("outside"), link);
    EXPECT_EQ(open_result(link + "/file", false), "link");
}

} // namespace
