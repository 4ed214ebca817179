// The operating-system layer: directory entries with their symbolic-link rules, truncation.
#include "os.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "connection.h"
#include "pool.h"
#include "server_root.h"

namespace fs = std::filesystem;

namespace {

class getdir_element_test : public ::testing::Test {
protected:
    void SetUp() override {
        pools = create_connection_pools();
        request.mpool = pools;
        connection.request = &request;
        dir = root.path() + "listing";
        fs::create_directory(dir);
        request.local_path1 = dir.data();
    }
    void TearDown() override { release_connection_pools(pools); }

    void make_file(const std::string &name, size_t size) {
        std::ofstream(dir + "/" + name) << std::string(size, 'x');
    }

    // Every entry delivered until the end, by name.
    std::map<std::string, dir_entry> list_all() {
        std::map<std::string, dir_entry> entries;
        const int16_t blocks_before = pools->request_pool->in_use;
        dir_stream slot = DIR_STREAM_UNOPENED;
        for (;;) {
            int result = os_getdir_element(&connection, &slot, &entry);
            if (result != 0) {
                EXPECT_EQ(result, OK);
                break;
            }
            entries[name] = entry;
        }
        EXPECT_EQ(pools->request_pool->in_use, blocks_before); // a listing takes no request memory
        return entries;
    }

    tvn_test::temp_root root;
    tvn_mpool *pools = nullptr;
    tvn_request request{};
    tvn_connection connection{};
    std::string dir;
    char name[DIR_ENTRY_NAME_SIZE] = {};
    dir_entry entry{name, 0, 0, 0};
};

TEST_F(getdir_element_test, an_empty_directory_gives_dot_and_dot_dot_then_the_end) {
    dir_stream slot = DIR_STREAM_UNOPENED;
    std::set<std::string> seen;
    ASSERT_EQ(os_getdir_element(&connection, &slot, &entry), 0);
    seen.insert(name);
    ASSERT_EQ(os_getdir_element(&connection, &slot, &entry), 0);
    seen.insert(name);
    EXPECT_EQ(os_getdir_element(&connection, &slot, &entry), OK);
    EXPECT_EQ(seen, (std::set<std::string>{".", ".."}));
}

TEST_F(getdir_element_test, files_and_directories_carry_kind_size_and_time) {
    make_file("a.txt", 5);
    make_file(".hidden", 1);
    fs::create_directory(dir + "/docs");
    auto entries = list_all();
    ASSERT_EQ(entries.count("a.txt"), 1u);
    EXPECT_EQ(entries["a.txt"].is_dir, 0);
    EXPECT_EQ(entries["a.txt"].size, 5);
    struct stat status {};
    stat((dir + "/a.txt").c_str(), &status);
    EXPECT_EQ(entries["a.txt"].mtime, int32_t(status.st_mtime));
    EXPECT_EQ(entries["docs"].is_dir, 1);
    EXPECT_EQ(entries.count(".hidden"), 1u);
}

TEST_F(getdir_element_test, symbolic_links_are_hidden_without_permission) {
    make_file("target", 3);
    fs::create_directory_symlink(root.path(), dir + "/to_dir");
    fs::create_symlink(dir + "/target", dir + "/to_file");
    fs::create_symlink(dir + "/missing", dir + "/dangling");
    request.link_permission = 0;
    auto entries = list_all();
    EXPECT_EQ(entries.count("to_dir") + entries.count("to_file") + entries.count("dangling"), 0u);
    request.link_permission = TVN_LINK_FOLLOW; // following alone does not show them
    EXPECT_EQ(list_all().count("to_file"), 0u);
}

TEST_F(getdir_element_test, shown_links_are_described_by_their_target) {
    make_file("target", 3);
    fs::create_directory_symlink(root.path(), dir + "/to_dir");
    fs::create_symlink(dir + "/target", dir + "/to_file");
    const std::string dangling_target = dir + "/missing-target-name";
    fs::create_symlink(dangling_target, dir + "/dangling");
    request.link_permission = TVN_LINK_SHOW;
    auto entries = list_all();
    EXPECT_EQ(entries["to_dir"].is_dir, 1);
    EXPECT_EQ(entries["to_file"].is_dir, 0);
    EXPECT_EQ(entries["to_file"].size, 3);
    ASSERT_EQ(entries.count("dangling"), 1u);
    EXPECT_EQ(entries["dangling"].is_dir, 0);
    EXPECT_EQ(entries["dangling"].size, int32_t(dangling_target.size())); // the link itself
}

TEST_F(getdir_element_test, an_entry_removed_between_readdir_and_stat_is_skipped) {
    make_file("first", 1);
    make_file("second", 1);
    dir_stream slot = DIR_STREAM_UNOPENED;
    ASSERT_EQ(os_getdir_element(&connection, &slot, &entry), 0); // the stream has read ahead
    fs::remove(dir + "/first");
    fs::remove(dir + "/second");
    std::set<std::string> later;
    int result;
    while ((result = os_getdir_element(&connection, &slot, &entry)) == 0) later.insert(name);
    EXPECT_EQ(result, OK);
    EXPECT_EQ(later.count("first") + later.count("second"), 0u);
    EXPECT_GE(later.size(), 1u); // "." or ".." is still delivered
}

TEST_F(getdir_element_test, a_directory_that_cannot_be_opened_answers_not_found) {
    std::string missing = dir + "/nope";
    request.local_path1 = missing.data();
    dir_stream slot = DIR_STREAM_UNOPENED;
    EXPECT_EQ(os_getdir_element(&connection, &slot, &entry), NOT_FOUND);
    EXPECT_EQ(slot, DIR_STREAM_UNOPENED);
    make_file("plain", 1);
    std::string file = dir + "/plain";
    request.local_path1 = file.data();
    EXPECT_EQ(os_getdir_element(&connection, &slot, &entry), NOT_FOUND);
}

TEST_F(getdir_element_test, reading_entries_takes_no_memory_of_the_request) {
    make_file("one", 1);
    for (int i = 0; i < 200; ++i) tvn_malloc(pools->request_pool, 1); // the pool is full
    const auto entries = list_all();
    EXPECT_EQ(entries.count("one"), 1u);
}

TEST(os_layer, truncate_cuts_or_extends_with_zeros) {
    tvn_test::temp_root root;
    const std::string path = root.file("data");
    std::ofstream(path) << std::string(1000, 'a');
    int fd = os_open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os_truncate(fd, nullptr, 0, 100), 0);
    EXPECT_EQ(fs::file_size(path), 100u);
    EXPECT_EQ(os_close(fd), 0);
    std::ofstream(path, std::ios::trunc) << std::string(10, 'a');
    fd = os_open(path.c_str(), O_RDWR);
    EXPECT_EQ(os_truncate(fd, nullptr, 0, 100), 0);
    char tail[90];
    EXPECT_EQ(os_lseek(fd, 10, SEEK_SET), 10);
    EXPECT_EQ(os_read(fd, tail, sizeof tail), 90);
    EXPECT_EQ(std::string(tail, 90), std::string(90, '\0'));
    os_close(fd);
}

TEST(os_layer, created_files_get_mode_0666_and_directories_0755_before_the_umask) {
    tvn_test::temp_root root;
    mode_t old_mask = umask(0);
    int fd = os_open(root.file("made").c_str(), O_CREAT | O_WRONLY);
    ASSERT_GE(fd, 0);
    os_close(fd);
    EXPECT_EQ(os_mkdir(root.file("dir").c_str()), 0);
    umask(old_mask);
    struct stat status {};
    stat(root.file("made").c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0666u);
    stat(root.file("dir").c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0755u);
    EXPECT_EQ(os_isdir(&status), 1);
    EXPECT_EQ(os_rmdir(root.file("dir").c_str()), 0);
    EXPECT_EQ(os_rmdir(root.file("dir").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
