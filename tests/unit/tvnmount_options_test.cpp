// tvnmount's command line.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "mount_options.h"

namespace {

using namespace std::chrono_literals;
using tvnmount::mount_options;

struct parsed {
    tvnclient::problem failed;
    mount_options options;
};

parsed parse(std::vector<std::string> words) {
    unsetenv("TVN_USER");
    unsetenv("TVN_TLS");
    words.insert(words.begin(), "tvnmount");
    std::vector<char *> argv;
    for (auto &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    parsed result;
    result.failed = tvnmount::parse_mount_options(int(words.size()), argv.data(), result.options);
    return result;
}

TEST(tvnmount_options, the_login_options_are_tvnclients) {
    const parsed got = parse({"-H", "files.example", "-p7070", "-u", "alice@example", "-t", "5",
                              "--tls", "--accept-new", "/mnt/files"});
    ASSERT_FALSE(got.failed) << got.failed.words;
    EXPECT_EQ(got.options.login.host, "files.example");
    EXPECT_EQ(got.options.login.port, 7070);
    EXPECT_EQ(got.options.login.login, "alice@example");
    EXPECT_EQ(got.options.login.timeout, 5s);
    EXPECT_TRUE(got.options.login.tls);
    EXPECT_TRUE(got.options.login.accept_new);
    EXPECT_EQ(got.options.mount_point, "/mnt/files");
    const parsed ca = parse({"-u", "a@b", "--ca=/etc/ca.pem", "/mnt"});
    EXPECT_EQ(ca.options.login.ca_file, "/etc/ca.pem");
    EXPECT_TRUE(ca.options.login.tls);
}

TEST(tvnmount_options, the_mount_options_are_read) {
    const parsed got = parse({"-u", "a@b", "-f", "-o", "allow_other", "-oro", "--sessions", "2",
                              "--cache-level=3", "--attr-timeout", "0.5", "--entry-timeout=7",
                              "--no-page-cache", "--write-back", "0", "/mnt"});
    ASSERT_FALSE(got.failed) << got.failed.words;
    EXPECT_TRUE(got.options.foreground);
    EXPECT_EQ(got.options.fuse_options, (std::vector<std::string>{"allow_other", "ro"}));
    EXPECT_EQ(got.options.sessions, 2u);
    EXPECT_EQ(got.options.cache.level, 3);
    EXPECT_EQ(got.options.cache.attributes, 500ms);
    EXPECT_EQ(got.options.cache.entries, 7000ms);
    EXPECT_EQ(got.options.cache.keep_page_cache, false);
    EXPECT_EQ(got.options.write_back, 0u);
    EXPECT_EQ(parse({"-u", "a@b", "--read-ahead", "always", "/mnt"}).options.read_ahead,
              tvnmount::read_ahead_mode::always);
    EXPECT_EQ(parse({"-u", "a@b", "--read-ahead=never", "/mnt"}).options.read_ahead,
              tvnmount::read_ahead_mode::never);
    const parsed defaults = parse({"-u", "a@b", "/mnt"});
    EXPECT_EQ(defaults.options.sessions, 4u);
    EXPECT_EQ(defaults.options.write_back, 2u << 20);
    EXPECT_FALSE(defaults.options.foreground);
    EXPECT_EQ(defaults.options.read_ahead, tvnmount::read_ahead_mode::automatic);
    EXPECT_EQ(defaults.options.kernel_read_ahead_kib, 1024u);
    EXPECT_FALSE(defaults.options.kernel_read_ahead_given);
    const parsed window = parse({"-u", "a@b", "--kernel-read-ahead=0", "/mnt"});
    EXPECT_EQ(window.options.kernel_read_ahead_kib, 0u);
    EXPECT_TRUE(window.options.kernel_read_ahead_given);
}

TEST(tvnmount_options, dash_u_with_a_directory_and_nothing_else_unmounts_it) {
    const parsed alone = parse({"-u", "/tmp"});
    ASSERT_FALSE(alone.failed) << alone.failed.words;
    EXPECT_EQ(alone.options.unmount, "/tmp");
    const parsed spelt = parse({"--unmount", "/tmp"});
    EXPECT_EQ(spelt.options.unmount, "/tmp");
    // With a mount point besides, -u is the login, whatever it looks like.
    const parsed login = parse({"-u", "/tmp", "/mnt"});
    EXPECT_EQ(login.options.unmount, "");
    EXPECT_EQ(login.options.login.login, "/tmp");
    // A login alone names no directory: the mount point is missing.
    EXPECT_TRUE(parse({"-u", "alice@example"}).failed);
}

TEST(tvnmount_options, mistakes_are_usage_errors) {
    const std::vector<std::vector<std::string>> mistakes = {
        {"-u", "a@b"},
        {"-u", "a@b", "/m", "/n"},
        {"-u", "@b", "/m"},
        {"-p", "0", "/m"},
        {"-t", "0", "/m"},
        {"--sessions", "17", "/m"},
        {"--cache-level", "-1", "/m"},
        {"--attr-timeout", "soon", "/m"},
        {"--write-back", "16777217", "/m"},
        {"--read-ahead", "sometimes", "/m"},
        {"--kernel-read-ahead", "16385", "/m"},
        {"--kernel-read-ahead", "1M", "/m"},
        {"-o"},
        {"--unmount", "/m", "/n"},
        {"--frobnicate", "/m"},
        {"-x", "/m"},
    };
    for (const auto &mistake : mistakes) {
        const parsed got = parse(mistake);
        EXPECT_EQ(got.failed.status, tvnclient::exit_status::usage) << mistake.front();
    }
}

// The mount table as /proc/self/mountinfo writes it.
TEST(tvnmount_kernel_read_ahead, the_device_of_the_last_mount_at_a_path_is_found) {
    const std::string table =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "40 22 0:45 / /mnt/files rw - fuse.tolvane tolvane:h:1 rw,user_id=0\n"
        "41 40 0:46 / /mnt/files rw - fuse.tolvane tolvane:h:2 rw,user_id=0\n"
        "42 1 0:47 / /mnt/with\\040space rw - fuse.tolvane tolvane:h:3 rw\n"
        "43 1 0:48 / /mnt/back\\134slash rw - tmpfs tmpfs rw\n"
        "broken line\n";
    EXPECT_EQ(tvnmount::mounted_device(table, "/mnt/files"), "0:46"); // the one on top
    EXPECT_EQ(tvnmount::mounted_device(table, "/mnt/with space"), "0:47");
    EXPECT_EQ(tvnmount::mounted_device(table, "/mnt/back\\slash"), "0:48");
    EXPECT_EQ(tvnmount::mounted_device(table, "/mnt/with\\040space"), std::nullopt);
    EXPECT_EQ(tvnmount::mounted_device(table, "/mnt"), std::nullopt);
    EXPECT_EQ(tvnmount::mounted_device("", "/proc"), std::nullopt);
}

} // namespace
