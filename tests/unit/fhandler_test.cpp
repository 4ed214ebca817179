// The file handle pool: 200 handles over 20 descriptors, the most recently used first; eviction,
// reopening (never truncating) and the handles that cannot be reopened.
#include "fhandler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "connection.h"
#include "pool.h"
#include "server_root.h"

namespace fs = std::filesystem;

namespace {

class fhandler_test : public ::testing::Test {
protected:
    void SetUp() override {
        pools = create_connection_pools();
        ASSERT_NE(pools, nullptr);
        request.mpool = pools;
        connection.request = &request;
        connection.handles = create_fhandler_pool(pools->connection_pool);
        ASSERT_NE(connection.handles, nullptr);
    }
    void TearDown() override {
        release_fhandler_pool(connection.handles);
        close_area_anchors(&connection.anchors);
        release_connection_pools(pools);
    }

    std::string make_file(const std::string &name, const std::string &content = "x") {
        const std::string path = root.file(name);
        std::ofstream(path) << content;
        return path;
    }
    // Opens and registers path: the handle number.
    uint32_t open_handle(const std::string &path, int flags = O_RDONLY) {
        const int fd = open(path.c_str(), flags);
        EXPECT_GE(fd, 0) << path;
        const registered_handle made =
            register_handle(&connection, fd, uint32_t(flags), path.c_str());
        EXPECT_EQ(made.status, OK);
        return made.number;
    }
    // The list position of a handle, or -1.
    int position_of(uint32_t number) {
        int position = 0;
        for (fhandler *h = connection.handles->head; h != nullptr; h = h->next, ++position)
            if (h->number == number) return position;
        return -1;
    }
    bool holds_descriptor(uint32_t number) {
        const int position = position_of(number);
        return position >= 0 && position < CACHED_DESCRIPTORS &&
               connection.handles->descriptors[position] != -1;
    }

    tvn_test::temp_root root;
    tvn_mpool *pools = nullptr;
    tvn_request request{};
    tvn_connection connection{};
};

TEST_F(fhandler_test, the_twenty_most_recently_used_handles_hold_the_descriptors) {
    const std::string file = make_file("f");
    std::vector<uint32_t> handles;
    for (int i = 0; i < 21; ++i) handles.push_back(open_handle(file));
    EXPECT_EQ(connection.handles->count, 21);
    EXPECT_FALSE(holds_descriptor(handles[0])); // pushed to position 20
    for (int i = 1; i < 21; ++i) EXPECT_TRUE(holds_descriptor(handles[size_t(i)])) << i;

    // Using the first reopens it and moves it to the front; the second gives up its descriptor.
    const handle_descriptor used =
        descriptor_of(&connection, find_handle(connection.handles, handles[0]));
    ASSERT_EQ(used.status, OK);
    EXPECT_GE(used.fd, 0);
    EXPECT_EQ(position_of(handles[0]), 0);
    EXPECT_TRUE(holds_descriptor(handles[0]));
    EXPECT_FALSE(holds_descriptor(handles[1]));
}

TEST_F(fhandler_test, a_released_descriptor_goes_to_the_first_handle_without_one) {
    const std::string file = make_file("f");
    std::vector<uint32_t> handles;
    for (int i = 0; i < 22; ++i) handles.push_back(open_handle(file));
    // Positions 20 and 21 hold the two oldest, without descriptors.
    EXPECT_FALSE(holds_descriptor(handles[1]));
    EXPECT_EQ(release_handle(&connection, find_handle(connection.handles, handles[21])), OK);
    EXPECT_EQ(find_handle(connection.handles, handles[21]), nullptr);
    EXPECT_TRUE(holds_descriptor(handles[1])); // now at position 19, reopened
    EXPECT_FALSE(holds_descriptor(handles[0]));
    EXPECT_EQ(connection.handles->count, 21);
}

TEST_F(fhandler_test, reopening_never_creates_nor_truncates) {
    const std::string kept = make_file("kept", "written before");
    const uint32_t first = open_handle(kept, O_RDWR | O_TRUNC);
    ASSERT_EQ(write(connection.handles->descriptors[0], "written before", 14), 14);
    const std::string other = make_file("other");
    for (int i = 0; i < 20; ++i) open_handle(other);
    ASSERT_FALSE(holds_descriptor(first));
    const handle_descriptor again =
        descriptor_of(&connection, find_handle(connection.handles, first));
    ASSERT_EQ(again.status, OK);
    char text[32] = {};
    EXPECT_EQ(pread(again.fd, text, sizeof text, 0), 14);
    EXPECT_EQ(fs::file_size(kept), 14u);
}

TEST_F(fhandler_test, a_handle_whose_file_vanished_is_dropped_when_reopened) {
    const std::string gone = make_file("gone");
    const uint32_t handle = open_handle(gone);
    const std::string other = make_file("other");
    for (int i = 0; i < 20; ++i) open_handle(other);
    fs::remove(gone);
    const handle_descriptor failed =
        descriptor_of(&connection, find_handle(connection.handles, handle));
    EXPECT_EQ(failed.status, NOT_FOUND);
    EXPECT_EQ(find_handle(connection.handles, handle), nullptr);
    EXPECT_EQ(connection.handles->count, 20);
}

TEST_F(fhandler_test, a_refill_skips_and_drops_handles_that_cannot_be_reopened) {
    const std::string file = make_file("f");
    std::vector<uint32_t> handles;
    for (int i = 0; i < 22; ++i)
        handles.push_back(open_handle(i < 2 ? make_file("old" + std::to_string(i)) : file));
    fs::remove(root.file("old1")); // the first without a descriptor after the release below
    EXPECT_EQ(release_handle(&connection, find_handle(connection.handles, handles[21])), OK);
    EXPECT_EQ(find_handle(connection.handles, handles[1]), nullptr); // dropped
    EXPECT_TRUE(holds_descriptor(handles[0]));                       // took the slot instead
    EXPECT_EQ(connection.handles->count, 20);
}

TEST_F(fhandler_test, the_201st_handle_is_refused_and_numbers_are_never_reused) {
    const std::string file = make_file("f");
    uint32_t last = 0;
    for (int i = 0; i < MAX_HANDLES; ++i) {
        const uint32_t number = open_handle(file);
        EXPECT_GT(number, last);
        last = number;
    }
    const int fd = open(file.c_str(), O_RDONLY);
    EXPECT_EQ(register_handle(&connection, fd, O_RDONLY, file.c_str()).status, NO_MORE_FILEHANDLES);
    close(fd);
    EXPECT_EQ(release_handle(&connection, find_handle(connection.handles, last)), OK);
    EXPECT_GT(open_handle(file), last);
    EXPECT_EQ(find_handle(connection.handles, 0), nullptr);
    EXPECT_EQ(find_handle(connection.handles, last), nullptr);
}

} // namespace
