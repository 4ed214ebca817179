// tvnbench's mount workload with a small file: every figure is there and makes sense. Nothing
// here is timed.
#include <gtest/gtest.h>

#include "tvnbench_output.h"
#include "tvnmount_fixture.h"

namespace tvn_test::mount {
namespace {

TEST(tvnbench_mount, reports_the_mount_against_tvnclient_and_their_ratios) {
    if (const std::string why = mount_unavailable(); !why.empty()) GTEST_SKIP() << why;
    const command_result measured =
        run({tvnbench_binary, "--build", tvnbench_build_dir, "--size", "4M", "mount"});
    ASSERT_EQ(measured.exit_status, 0) << measured.output;
    const auto figures = figures_of(measured.output);
    for (const char *name : {"mount_read", "mount_get_read", "mount_read_ratio", "mount_tar_x",
                             "mount_put_r", "mount_tar_ratio"}) {
        ASSERT_TRUE(figures.count(name)) << name << " missing in:\n" << measured.output;
        EXPECT_GT(figures.at(name), 0) << name;
    }
    EXPECT_NEAR(figures.at("mount_read_ratio"),
                figures.at("mount_read") / figures.at("mount_get_read"), 0.01);
    EXPECT_NEAR(figures.at("mount_tar_ratio"), figures.at("mount_tar_x") / figures.at("mount_put_r"),
                0.01);
}

TEST(tvnbench_mount, is_run_only_when_named) {
    const command_result help = run({tvnbench_binary, "--help"});
    EXPECT_NE(help.output.find("mount "), std::string::npos);
    const command_result unknown = run({tvnbench_binary, "--build", tvnbench_build_dir, "tls_mounts"});
    EXPECT_EQ(unknown.exit_status, 2) << unknown.output;
}

} // namespace
} // namespace tvn_test::mount
