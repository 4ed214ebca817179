// The mount behaves as a local file system would: files written at offsets and read back,
// truncation, rename over a file, directories, a removed file that stays open, a directory
// of 10,000 entries, the refusals of what the server cannot keep, a guest's read-only mount.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <atomic>
#include <set>
#include <thread>
#include <vector>
#include <filesystem>
#include <fstream>

#include "client_session.h"
#include "tvnmount_fixture.h"

namespace tvn_test::mount {
namespace {

namespace fs = std::filesystem;

using tvnmount_files = tvnmount_fixture;

// Journal lines that start with `start` ("6 " for READ).
std::size_t count_journal(const temp_root &root, const std::string &start) {
    std::size_t count = 0;
    for (const auto &line : journal_lines(root)) count += line.starts_with(start);
    return count;
}

// The errno of a call that returned -1, or 0 when it succeeded.
template <typename Call>
int errno_of(Call call) {
    errno = 0;
    return call() < 0 ? errno : 0;
}

TEST_F(tvnmount_files, bytes_written_at_offsets_read_back_and_reach_the_server) {
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    const std::string file = mounted->path("Private/offsets.bin");
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "tail", 4, 100000), 4);
    ASSERT_EQ(pwrite(fd, "MID", 3, 50), 3);
    char back[8] = {};
    ASSERT_EQ(pread(fd, back, 4, 100000), 4);
    EXPECT_EQ(std::string(back, 4), "tail");
    struct stat status {};
    ASSERT_EQ(fstat(fd, &status), 0);
    EXPECT_EQ(status.st_size, 100004);
    ASSERT_EQ(close(fd), 0);

    std::string expected(100004, '\0');
    expected.replace(0, 4, "head");
    expected.replace(50, 3, "MID");
    expected.replace(100000, 4, "tail");
    EXPECT_EQ(read_file(area("Private/offsets.bin")), expected);
    EXPECT_EQ(read_file(file), expected);
}

TEST_F(tvnmount_files, small_writes_are_seen_before_close_and_arrive_whole) {
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    const std::string file = mounted->path("Public/small.txt");
    const std::string content = random_bytes(300000, 7);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (std::size_t at = 0; at < content.size(); at += 1000)
        ASSERT_EQ(write(fd, content.data() + at, 1000), 1000);
    // Another reader, through another descriptor, sees the size and the bytes already.
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 300000);
    EXPECT_EQ(read_file(file), content);
    ASSERT_EQ(close(fd), 0);
    EXPECT_EQ(read_file(area("Public/small.txt")), content);
}

TEST_F(tvnmount_files, truncation_cuts_and_extends_with_zeros) {
    write_file(area("Private/cut.txt"), "0123456789abcdef");
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    const std::string file = mounted->path("Private/cut.txt");
    ASSERT_EQ(truncate(file.c_str(), 4), 0);
    EXPECT_EQ(read_file(area("Private/cut.txt")), "0123");
    const int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 8), 0);
    struct stat status {};
    ASSERT_EQ(fstat(fd, &status), 0);
    EXPECT_EQ(status.st_size, 8);
    close(fd);
    EXPECT_EQ(read_file(area("Private/cut.txt")), std::string("0123\0\0\0\0", 8));
    // open(O_TRUNC) empties it in the same OPEN.
    const int emptied = ::open(file.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(emptied, 0);
    close(emptied);
    EXPECT_EQ(fs::file_size(area("Private/cut.txt")), 0u);
}

TEST_F(tvnmount_files, rename_replaces_an_existing_file_and_moves_directories) {
    write_file(area("Private/new.txt"), "new");
    write_file(area("Private/old.txt"), "old");
    fs::create_directories(area("Private/dir/inner"));
    write_file(area("Private/dir/inner/x.txt"), "x");
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    ASSERT_EQ(rename(mounted->path("Private/new.txt").c_str(),
                     mounted->path("Private/old.txt").c_str()), 0);
    EXPECT_EQ(read_file(mounted->path("Private/old.txt")), "new");
    EXPECT_FALSE(fs::exists(mounted->path("Private/new.txt")));
    ASSERT_EQ(rename(mounted->path("Private/dir").c_str(), mounted->path("Public/moved").c_str()),
              0);
    EXPECT_EQ(read_file(mounted->path("Public/moved/inner/x.txt")), "x");
    EXPECT_TRUE(fs::exists(area("Public/moved/inner/x.txt")));
    // A directory cannot go inside itself, nor onto a directory that holds something.
    fs::create_directories(area("Public/full/y"));
    EXPECT_EQ(errno_of([&] {
                  return rename(mounted->path("Public/moved").c_str(),
                                mounted->path("Public/moved/inner/deeper").c_str());
              }),
              EINVAL);
    EXPECT_EQ(errno_of([&] {
                  return rename(mounted->path("Public/moved").c_str(),
                                mounted->path("Public/full").c_str());
              }),
              ENOTEMPTY);
}

TEST_F(tvnmount_files, directories_are_made_and_removed_as_locally) {
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    const std::string directory = mounted->path("Private/made");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    EXPECT_TRUE(fs::is_directory(area("Private/made")));
    EXPECT_EQ(errno_of([&] { return mkdir(directory.c_str(), 0755); }), EEXIST);
    write_file(directory + "/inside.txt", "i");
    EXPECT_EQ(errno_of([&] { return rmdir(directory.c_str()); }), ENOTEMPTY);
    ASSERT_EQ(unlink((directory + "/inside.txt").c_str()), 0);
    ASSERT_EQ(rmdir(directory.c_str()), 0);
    EXPECT_FALSE(fs::exists(area("Private/made")));
    EXPECT_EQ(errno_of([&] { return rmdir(directory.c_str()); }), ENOENT);
    EXPECT_EQ(errno_of([&] { return ::open(mounted->path("Private/none").c_str(), O_RDONLY); }),
              ENOENT);
    // "/" holds the three areas and nothing can be made there.
    EXPECT_EQ(errno_of([&] { return mkdir(mounted->path("Elsewhere").c_str(), 0755); }), EACCES);
}

TEST_F(tvnmount_files, an_exclusive_create_of_an_existing_file_fails) {
    write_file(area("Private/there.txt"), "kept");
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    EXPECT_EQ(errno_of([&] {
                  return ::open(mounted->path("Private/there.txt").c_str(),
                                O_WRONLY | O_CREAT | O_EXCL, 0644);
              }),
              EEXIST);
    EXPECT_EQ(read_file(area("Private/there.txt")), "kept");
}

TEST_F(tvnmount_files, a_removed_file_that_is_open_stays_readable_until_closed) {
    write_file(area("Private/doomed.txt"), "still here");
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    const std::string file = mounted->path("Private/doomed.txt");
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_FALSE(fs::exists(file));
    char back[16] = {};
    EXPECT_EQ(pread(fd, back, sizeof back, 0), 10);
    EXPECT_EQ(std::string(back, 10), "still here");
    ASSERT_EQ(close(fd), 0);
    // Once closed, nothing of it is left on the server, hidden or not.
    EXPECT_TRUE(wait_until([&] { return fs::is_empty(area("Private")); }, 5s));
}

TEST_F(tvnmount_files, a_directory_of_ten_thousand_entries_is_listed_whole) {
    fs::create_directories(area("Public/many"));
    for (int i = 0; i < 10000; ++i)
        std::ofstream(area("Public/many/entry-" + std::to_string(i))) << i;
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    DIR *listing = opendir(mounted->path("Public/many").c_str());
    ASSERT_NE(listing, nullptr);
    std::set<std::string> names;
    while (const dirent *entry = readdir(listing)) names.insert(entry->d_name);
    closedir(listing);
    EXPECT_EQ(names.size(), 10002u); // with "." and ".."
    EXPECT_TRUE(names.count("entry-0") && names.count("entry-9999"));
    EXPECT_EQ(read_file(mounted->path("Public/many/entry-4321")), "4321");
}

TEST_F(tvnmount_files, times_are_kept_and_modes_owners_and_links_refused_unless_unchanged) {
    write_file(area("Private/file.txt"), "f");
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    const std::string file = mounted->path("Private/file.txt");
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode, mode_t(S_IFREG | 0644));
    EXPECT_EQ(status.st_uid, getuid());
    // Confirming the mode shown succeeds; any other mode would be a lie.
    EXPECT_EQ(chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(errno_of([&] { return chmod(file.c_str(), 0755); }), EPERM);
    EXPECT_EQ(chown(file.c_str(), getuid(), getgid()), 0);
    EXPECT_EQ(errno_of([&] { return chown(file.c_str(), getuid() + 1, getgid()); }), EPERM);
    // Times go to the server, in whole seconds, and the mount shows them at once.
    const timespec past[2] = {{1000000000, 0}, {1000000500, 999}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), past, 0), 0);
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mtime, 1000000500);
    struct stat kept {};
    ASSERT_EQ(stat(area("Private/file.txt").c_str(), &kept), 0);
    EXPECT_EQ(kept.st_atime, 1000000000);
    EXPECT_EQ(kept.st_mtime, 1000000500);
    const std::string directory = mounted->path("Private");
    ASSERT_EQ(utimensat(AT_FDCWD, directory.c_str(), past, 0), 0);
    ASSERT_EQ(stat(area("Private").c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mtime, 1000000500);
    ASSERT_EQ(stat(directory.c_str(), &status), 0); // shown, though no listing carries it
    EXPECT_EQ(status.st_mtime, 1000000500);
    const timespec before_1970[2] = {{0, UTIME_OMIT}, {-86400, 0}};
    EXPECT_EQ(errno_of([&] { return utimensat(AT_FDCWD, file.c_str(), before_1970, 0); }),
              EOVERFLOW);
    EXPECT_EQ(errno_of([&] { return utimensat(AT_FDCWD, mounted->path().c_str(), past, 0); }),
              EPERM); // "/" is the mount's own
    EXPECT_EQ(errno_of([&] { return link(file.c_str(), (file + ".link").c_str()); }), EPERM);
    EXPECT_EQ(errno_of([&] { return symlink("file.txt", (file + ".sym").c_str()); }), EPERM);
    // "Now" is the server's clock.
    fs::last_write_time(area("Private/file.txt"),
                        fs::file_time_type::clock::now() - std::chrono::hours(48));
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), nullptr, 0), 0);
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(area("Private/file.txt"));
    EXPECT_LT(age, std::chrono::minutes(1));
    EXPECT_EQ(read_file(area("Private/file.txt")), "f");
}

// The kernel's read-ahead window of a mount, as its backing device shows it.
std::string kernel_read_ahead_of(const std::string &mount_point) {
    struct stat status {};
    if (stat(mount_point.c_str(), &status) != 0) return "no mount";
    return read_file("/sys/class/bdi/" + std::to_string(major(status.st_dev)) + ":" +
                     std::to_string(minor(status.st_dev)) + "/read_ahead_kb");
}

TEST_F(tvnmount_files, the_kernel_reads_ahead_a_mebibyte_unless_told_otherwise) {
    const auto wide = mount();
    ASSERT_TRUE(wide->mounted());
    EXPECT_EQ(kernel_read_ahead_of(wide->mount_point()), "1024\n");
    const auto chosen = mount({"--kernel-read-ahead", "256"});
    ASSERT_TRUE(chosen->mounted());
    EXPECT_EQ(kernel_read_ahead_of(chosen->mount_point()), "256\n");
    const auto kernels = mount({"--kernel-read-ahead=0"});
    ASSERT_TRUE(kernels->mounted());
    const std::string left = kernel_read_ahead_of(kernels->mount_point());
    EXPECT_NE(left, "1024\n"); // the kernel's own (128 KiB here)
    EXPECT_NE(left, "no mount");
}

TEST_F(tvnmount_files, the_file_system_reports_its_sizes_as_unknown) {
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    struct statvfs sizes {};
    ASSERT_EQ(statvfs(mounted->path().c_str(), &sizes), 0);
    EXPECT_EQ(sizes.f_blocks, 0u);
    EXPECT_EQ(sizes.f_files, 0u);
    EXPECT_EQ(sizes.f_namemax, 255u);
}

TEST_F(tvnmount_files, a_guest_mount_reads_and_refuses_every_change) {
    write_file(area("Public/open.txt"), "for all");
    const auto mounted = mount({}, "guest");
    ASSERT_TRUE(mounted->mounted());
    EXPECT_EQ(read_file(mounted->path("Public/open.txt")), "for all");
    struct stat status {};
    ASSERT_EQ(stat(mounted->path("Public/open.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0444u);
    const int refused = errno_of([&] {
        return ::open(mounted->path("Public/new.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    });
    EXPECT_TRUE(refused == EROFS || refused == EACCES) << std::strerror(refused);
    EXPECT_EQ(errno_of([&] { return unlink(mounted->path("Public/open.txt").c_str()); }), EROFS);
    EXPECT_EQ(errno_of([&] { return mkdir(mounted->path("Public/d").c_str(), 0755); }), EROFS);
    EXPECT_TRUE(fs::exists(area("Public/open.txt")));
    EXPECT_FALSE(fs::exists(area("Public/new.txt")));
}

TEST_F(tvnmount_files, files_written_side_by_side_go_over_several_sessions) {
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    constexpr int writers = 6;
    std::vector<std::string> contents;
    for (int i = 0; i < writers; ++i) contents.push_back(random_bytes(3000000 + 1000 * i, i));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < writers; ++i)
        threads.emplace_back([&, i] {
            const std::string file = mounted->path("Private/parallel-" + std::to_string(i));
            write_file(file, contents[std::size_t(i)]);
            for (int round = 0; round < 3; ++round)
                if (read_file(file) != contents[std::size_t(i)]) ++failures;
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < writers; ++i)
        EXPECT_EQ(read_file(area("Private/parallel-" + std::to_string(i))),
                  contents[std::size_t(i)]);
    // More than the first session logged in to serve them.
    EXPECT_GT(count_journal(server.root(), "1 1 "), 1u);
}

TEST_F(tvnmount_files, changes_made_on_the_server_show_once_the_cache_time_has_passed) {
    write_file(area("Public/changing.txt"), "first");
    const auto mounted = mount({"--cache-level", "0"});
    ASSERT_TRUE(mounted->mounted());
    EXPECT_EQ(read_file(mounted->path("Public/changing.txt")), "first");
    EXPECT_FALSE(fs::exists(mounted->path("Public/appeared.txt")));
    write_file(area("Public/appeared.txt"), "new");
    write_file(area("Public/changing.txt"), "second, longer");
    EXPECT_TRUE(wait_until([&] { return fs::exists(mounted->path("Public/appeared.txt")); }, 5s));
    EXPECT_TRUE(wait_until(
        [&] { return read_file(mounted->path("Public/changing.txt")) == "second, longer"; }, 5s));
}

TEST_F(tvnmount_files, a_file_read_ahead_still_shows_what_was_written_meanwhile) {
    std::string expected = random_bytes(5000000, 11);
    write_file(area("Public/ahead.bin"), expected);
    const auto mounted = mount({"--read-ahead", "always", "--no-page-cache"});
    ASSERT_TRUE(mounted->mounted());
    const std::string file = mounted->path("Public/ahead.bin");
    const std::size_t reads_before = count_journal(server.root(), "6 ");
    const int reader = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    std::string seen;
    char chunk[65536];
    while (seen.size() < 1000000) {
        const ssize_t got = read(reader, chunk, sizeof chunk);
        ASSERT_GT(got, 0);
        seen.append(chunk, std::size_t(got));
    }
    // Through another descriptor, into what the reader's stretch already holds.
    const int writer = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(pwrite(writer, "CHANGED", 7, 1100000), 7);
    ASSERT_EQ(close(writer), 0);
    expected.replace(1100000, 7, "CHANGED");
    for (ssize_t got; (got = read(reader, chunk, sizeof chunk)) > 0;) seen.append(chunk, std::size_t(got));
    close(reader);
    EXPECT_EQ(seen.size(), expected.size());
    EXPECT_TRUE(seen == expected);
    // Stretches of 500000-byte READs, not one READ for each 64 KiB read.
    EXPECT_LT(count_journal(server.root(), "6 ") - reads_before, 40u);
}

class tvnmount_cache_hint : public tvnmount_fixture {
protected:
    // Level 4: clients may trust what they listed for five minutes.
    tvnmount_cache_hint() : tvnmount_fixture(mount_server_options("    SuggestedCacheLevel 4\n")) {}
};

TEST_F(tvnmount_cache_hint, the_servers_suggested_level_keeps_listings_longer) {
    write_file(area("Public/kept.txt"), "kept");
    const auto mounted = mount();
    ASSERT_TRUE(mounted->mounted());
    struct stat status {};
    ASSERT_EQ(stat(mounted->path("Public/kept.txt").c_str(), &status), 0);
    // The server writes its journal line once the answer has left.
    ASSERT_TRUE(wait_until([&] { return count_journal(server.root(), "3 ") == 1; }, 5s));
    // Past the second that level 0 would trust a listing for: the question has to wait.
    const auto later = std::chrono::steady_clock::now() + 1500ms;
    std::this_thread::sleep_until(later);
    ASSERT_EQ(stat(mounted->path("Public/kept.txt").c_str(), &status), 0);
    EXPECT_EQ(access(mounted->path("Public/none.txt").c_str(), F_OK), -1);
    EXPECT_EQ(count_journal(server.root(), "3 "), 1u);
}

} // namespace
} // namespace tvn_test::mount
