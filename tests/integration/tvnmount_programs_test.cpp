// Real programs on the mount: cp -r and diff -r, tar -x and tar -c, rsync -r, git clone with
// git fsck, and fio verifying what it wrote (CRC32C) in sequential and random patterns.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tvnmount_fixture.h"

namespace tvn_test::mount {
namespace {

namespace fs = std::filesystem;

bool have_program(const std::string &name) {
    return shell("command -v " + name + " >/dev/null").exit_status == 0;
}

// A source tree with the modes a umask of 022 gives: directories several deep, empty and
// tiny files, names with spaces, a file of a few megabytes.
void make_tree(const std::string &root) {
    const mode_t previous = umask(022);
    fs::permissions(root, fs::perms(0755));
    for (int d = 0; d < 6; ++d) {
        const std::string directory = root + "/dir " + std::to_string(d) + "/sub";
        fs::create_directories(directory);
        for (int f = 0; f < 25; ++f)
            write_file(directory + "/file-" + std::to_string(f) + ".c",
                       random_bytes(std::size_t(f * 397), unsigned(d * 100 + f)));
    }
    fs::create_directories(root + "/empty");
    write_file(root + "/zero", "");
    write_file(root + "/large.bin", random_bytes(3 << 20, 42));
    umask(previous);
}

class tvnmount_programs : public tvnmount_fixture {
protected:
    void SetUp() override {
        tvnmount_fixture::SetUp();
        if (IsSkipped()) return;
        make_tree(source.path());
        mounted = mount();
        ASSERT_TRUE(mounted->mounted());
    }

    // diff -r between the source tree and a copy: "" when they are the same.
    std::string differences(const std::string &copy) {
        const command_result compared = run({"diff", "-r", source.path(), copy});
        return compared.exit_status == 0 ? "" : compared.output + "(diff status " +
                                                    std::to_string(compared.exit_status) + ")";
    }

    scratch_directory source{"tvnmount-source"};
    scratch_directory local{"tvnmount-local"};
    std::unique_ptr<mounted_tvnmount> mounted;
};

TEST_F(tvnmount_programs, cp_r_copies_a_tree_that_diff_r_finds_the_same) {
    const command_result copied = run({"cp", "-r", source.path(), mounted->path("Private/cp")});
    ASSERT_EQ(copied.exit_status, 0) << copied.output;
    EXPECT_EQ(differences(mounted->path("Private/cp")), "");
    EXPECT_EQ(differences(area("Private/cp")), "");
}

// With tar's defaults: times are set on the server; as root tar also restores owners and
// modes, which succeeds where they are those the mount shows (the tree's are).
TEST_F(tvnmount_programs, tar_x_then_tar_c_gives_back_the_same_content) {
    const std::string archive = local.file("tree.tar");
    ASSERT_EQ(run({"tar", "-cf", archive, "-C", source.path(), "."}).exit_status, 0);
    fs::create_directory(mounted->path("Private/tar"));
    const command_result extracted =
        run({"tar", "-xf", archive, "-C", mounted->path("Private/tar")});
    ASSERT_EQ(extracted.exit_status, 0) << extracted.output;
    EXPECT_EQ(extracted.output, "");
    EXPECT_EQ(differences(mounted->path("Private/tar")), "");
    // tar's own comparison: content, sizes and modification times.
    const command_result compared = run({"tar", "-df", archive, "-C", mounted->path("Private/tar")});
    EXPECT_EQ(compared.exit_status, 0) << compared.output;
    // Right into an area: the archive's "./" gives the area itself its time.
    const command_result into_area = run({"tar", "-xf", archive, "-C", mounted->path("Web")});
    EXPECT_EQ(into_area.exit_status, 0) << into_area.output;
    EXPECT_EQ(run({"tar", "-df", archive, "-C", mounted->path("Web")}).exit_status, 0);

    const std::string again = local.file("again.tar");
    const command_result created = run({"tar", "-cf", again, "-C", mounted->path("Private/tar"), "."});
    ASSERT_EQ(created.exit_status, 0) << created.output;
    fs::create_directory(local.file("back"));
    ASSERT_EQ(run({"tar", "-xf", again, "-C", local.file("back")}).exit_status, 0);
    EXPECT_EQ(differences(local.file("back")), "");
}

TEST_F(tvnmount_programs, rsync_r_copies_a_tree_and_a_second_run_keeps_it) {
    if (!have_program("rsync")) GTEST_SKIP() << "rsync is not installed";
    const std::string target = mounted->path("Public/rsync") + "/";
    for (int round = 0; round < 2; ++round) {
        const command_result synced = run({"rsync", "-r", source.path() + "/", target});
        ASSERT_EQ(synced.exit_status, 0) << synced.output;
    }
    EXPECT_EQ(differences(mounted->path("Public/rsync")), "");
}

// A repository given as a local path is cloned by copying its files and setting their
// times; --no-local clones through git's own transport instead. Both must work.
TEST_F(tvnmount_programs, git_clone_writes_a_repository_that_git_fsck_accepts) {
    if (!have_program("git")) GTEST_SKIP() << "git is not installed";
    const std::string repository = local.file("repository");
    const std::string git = "git -c user.name=tester -c user.email=tester@test "
                            "-c init.defaultBranch=main -c safe.directory='*' ";
    const command_result made = shell(
        "set -e; cp -r '" + source.path() + "' '" + repository + "'; cd '" + repository + "'; " +
        git + "init -q; " + git + "add -A; " + git + "commit -qm tree; echo more >> zero; " +
        git + "commit -qam second");
    ASSERT_EQ(made.exit_status, 0) << made.output;
    const std::string copied = mounted->path("Private/copied");
    const command_result copied_clone = shell(git + "clone -q '" + repository + "' '" + copied + "'");
    ASSERT_EQ(copied_clone.exit_status, 0) << copied_clone.output;
    const command_result copy_checked = shell(git + "-C '" + copied + "' fsck --full --strict");
    EXPECT_EQ(copy_checked.exit_status, 0) << copy_checked.output;
    const std::string clone = mounted->path("Private/clone");
    const command_result cloned = shell(git + "clone -q --no-local '" + repository + "' '" + clone + "'");
    ASSERT_EQ(cloned.exit_status, 0) << cloned.output;
    const command_result checked = shell(git + "-C '" + clone + "' fsck --full --strict");
    EXPECT_EQ(checked.exit_status, 0) << checked.output;
    const command_result status = shell(git + "-C '" + clone + "' status --porcelain");
    EXPECT_EQ(status.exit_status, 0) << status.output;
    EXPECT_EQ(status.output, "");
    EXPECT_EQ(read_file(clone + "/zero"), "more\n");
    // git keeps no empty directories.
    const command_result compared =
        run({"diff", "-r", "--exclude=.git", "--exclude=empty", repository, clone});
    EXPECT_EQ(compared.exit_status, 0) << compared.output;
}

TEST_F(tvnmount_programs, fio_verifies_sequential_and_random_writes_and_reads) {
    if (!have_program("fio")) GTEST_SKIP() << "fio is not installed";
    const std::string directory = mounted->path("Private/fio");
    fs::create_directory(directory);
    for (const char *pattern : {"write", "randwrite", "randrw"}) {
        const command_result checked =
            run({"fio", std::string("--name=") + pattern, "--directory=" + directory,
                 "--rw=" + std::string(pattern), "--size=4M", "--bsrange=4k-128k",
                 "--ioengine=psync", "--verify=crc32c", "--do_verify=1", "--verify_fatal=1",
                 "--randrepeat=1"});
        EXPECT_EQ(checked.exit_status, 0) << pattern << ":\n" << checked.output;
        EXPECT_NE(checked.output.find("err= 0"), std::string::npos) << checked.output;
    }
}

} // namespace
} // namespace tvn_test::mount
