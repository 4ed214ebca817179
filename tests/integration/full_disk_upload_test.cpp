// Uploads to a server whose disk fills on the way: the first refused WRITE stops the transfer,
// the part on the server keeps what the server confirmed (and no more), and put --continue
// finishes it once there is room. The server's root lies on a small tmpfs in a mount namespace
// of the test's own (root only).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "private_tmpfs.h"
#include "tvnclient_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

// Entered before the server starts, so that the server is made on it and sees it.
struct tmpfs_holder {
    private_tmpfs tmpfs{"64m"};
};

server_options on_tmpfs(const private_tmpfs &tmpfs) {
    server_options options = client_server_options();
    if (tmpfs.entered()) options.parent_dir = tmpfs.path();
    return options;
}

class full_disk_upload_test : public tmpfs_holder, public tvnclient_fixture {
protected:
    full_disk_upload_test() : tvnclient_fixture(on_tmpfs(tmpfs)) {}

    void SetUp() override {
        if (!tmpfs.entered()) GTEST_SKIP() << "no private tmpfs: " << tmpfs.failure();
        ASSERT_TRUE(server.running()) << server.output();
    }

    // Fills the tmpfs, then gives `bytes` of it back.
    void leave_free(std::uint64_t bytes) {
        ASSERT_TRUE(tmpfs.fill());
        const std::string filler = tmpfs.path() + "/filler";
        const std::uint64_t size = fs::file_size(filler);
        ASSERT_GT(size, bytes);
        fs::resize_file(filler, size - bytes);
    }
    void make_room() { fs::remove(tmpfs.path() + "/filler"); }
};

TEST_F(full_disk_upload_test, a_disk_that_fills_on_the_way_stops_the_put_and_continue_finishes_it) {
    const std::string original = random_bytes(20'000'000, 31);
    write_file(local("big.bin"), original);
    leave_free(6'000'000);
    client_result put = run({"put", "big.bin", "/Private/"});
    EXPECT_EQ(put.status, 1);
    // A write the disk cut short, or one it refused: either stops the upload there.
    EXPECT_EQ(put.err.rfind("tvnclient: /Private/big.bin: ", 0), 0u) << put.err;
    EXPECT_TRUE(put.err.find("no space left on the server (writing at byte ") != std::string::npos ||
                put.err.find("the server wrote ") != std::string::npos)
        << put.err;
    EXPECT_NE(put.err.find("; partial upload kept as /Private/big.bin.tvnpart; resume with: "
                           "tvnclient put --continue big.bin /Private/big.bin\n"),
              std::string::npos)
        << put.err;
    EXPECT_FALSE(fs::exists(area("Private/big.bin")));
    const std::string part = read_file(area("Private/big.bin.tvnpart"));
    EXPECT_GT(part.size(), 0u);
    EXPECT_LT(part.size(), 6'000'000u);
    EXPECT_EQ(part, original.substr(0, part.size()));

    make_room();
    client_result resumed = run({"put", "--continue", "big.bin", "/Private/big.bin"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(checksum(read_file(area("Private/big.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(area("Private/big.bin.tvnpart")));
}

TEST_F(full_disk_upload_test, a_disk_full_from_the_first_write_keeps_no_part) {
    write_file(local("x.bin"), random_bytes(3'000'000, 32));
    leave_free(0);
    client_result put = run({"put", "x.bin", "/Private/"});
    EXPECT_EQ(put.status, 1);
    EXPECT_EQ(put.err, "tvnclient: /Private/x.bin: no space left on the server\n");
    EXPECT_FALSE(fs::exists(area("Private/x.bin")));
    EXPECT_FALSE(fs::exists(area("Private/x.bin.tvnpart")));
}

} // namespace
