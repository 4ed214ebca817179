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
    // Each figure is printed rounded: the ratio of two rounded figures may differ from the
    // printed ratio by their rounding (half a unit of the last digit each) and its own.
    const auto expect_ratio = [&](const char *ratio, const char *over, const char *under,
                                  double half_unit) {
        const double a = figures.at(over), b = figures.at(under);
        const double slack = 0.005 + (a / b) * (half_unit / a + half_unit / b);
        EXPECT_NEAR(figures.at(ratio), a / b, slack) << ratio;
    };
    expect_ratio("mount_read_ratio", "mount_read", "mount_get_read", 0.05);
    expect_ratio("mount_tar_ratio", "mount_tar_x", "mount_put_r", 0.0005);
}

TEST(tvnbench_mount, is_run_only_when_named) {
    const command_result help = run({tvnbench_binary, "--help"});
    EXPECT_NE(help.output.find("mount "), std::string::npos);
    const command_result unknown =
        run({tvnbench_binary, "--build", tvnbench_build_dir, "tls_mounts"});
    EXPECT_EQ(unknown.exit_status, 2) << unknown.output;
}

} // namespace
} // namespace tvn_test::mount
