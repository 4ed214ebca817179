// Replacing one field of a record through a new file beside the database and a rename, with
// "./tvn_aux_file" as the marker that excludes a second rewriter: the result, what stays
// unchanged, and every way it can fail without touching the database or leaving a file.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "account_db.h"
#include "child_run.h"
#include "lock_holder.h"
#include "server_root.h"
#include "working_directory.h"

namespace {

using namespace std::chrono_literals;
using tvn_test::temp_root;

// Each test works in a temporary directory of its own, where the temporary file is made.
class field_replace_test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cwd.entered()); }
    std::string path() const { return root.file("db"); }
    db_result replace(const char *user, int field, const char *new_text, char separator = '!',
                      name_match match = name_match::any_case) {
        const std::string database = path();
        return replace_field(
            field_change{database.c_str(), user, field, separator, new_text, match});
    }
    bool aux_file_left() const { return root.exists("tvn_aux_file"); }

    // The names in a directory, "." and ".." left out.
    static std::set<std::string> entries(const std::string &dir) {
        std::set<std::string> names;
        if (DIR *stream = opendir(dir.c_str())) {
            while (const dirent *entry = readdir(stream)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.insert(name);
            }
            closedir(stream);
        }
        return names;
    }

    // What the root holds besides the database: nothing a rewrite leaves behind.
    const std::set<std::string> base_entries{"conf", "db", "lib", "log"};

    temp_root root;
    tvn_test::working_directory cwd{root.path()};
};

TEST_F(field_replace_test, replaces_the_field_and_leaves_every_other_byte_alone) {
    struct case_row {
        const char *before;
        const char *user;
        int field;
        char separator;
        const char *after;
        name_match match = name_match::any_case;
    };
    const case_row rows[] = {
        {"x!a!b!/h!!!!\nalice!OLD1!OLD2!/h!!!!\nz!c!d!!!!!\n", "alice", 2, '!',
         "x!a!b!/h!!!!\nalice!OLD1!NEW!/h!!!!\nz!c!d!!!!!\n"},
        {"x!a!b!/h!!!!\nalice!OLD1!OLD2!/h!!!!\nz!c!d!!!!!\n", "alice", 1, '!',
         "x!a!b!/h!!!!\nalice!NEW!OLD2!/h!!!!\nz!c!d!!!!!\n"},
        {"  \talice!OLD1!OLD2!/h!!!!\n", "alice", 1, '!', "  \talice!NEW!OLD2!/h!!!!\n"},
        {"Alice!OLD1!OLD2!/h!!!!\n", "ALICE", 2, '!', "Alice!OLD1!NEW!/h!!!!\n"},
        {"alice:OLD1!OLD2!/h!!!!\n", "alice", 2, '!', "alice:OLD1!NEW!/h!!!!\n"},
        {"alice!O!!/h!!!!\n", "alice", 2, '!', "alice!O!NEW!/h!!!!\n"},
        {"alice!!G!/h!!!!\n", "alice", 1, '!', "alice!NEW!G!/h!!!!\n"},
        {"a!1!2!/h!!!!\r\nalice!O!G!/h!!!!", "alice", 1, '!', "a!1!2!/h!!!!\r\nalice!NEW!G!/h!!!!"},
        {"alice!first!G!/h!!!!\nalice!second!G!/h!!!!\n", "alice", 1, '!',
         "alice!NEW!G!/h!!!!\nalice!second!G!/h!!!!\n"},
        {"root:$6$x$y:19000:0:99999:7:::\nalice:!:19000:0:99999:7:::\nbin:*:19000:0:99999:7:::\n",
         "alice", 1, ':',
         "root:$6$x$y:19000:0:99999:7:::\nalice:NEW:19000:0:99999:7:::\nbin:*:19000:0:99999:7:::"
         "\n"},
        // An exact match passes over a record whose name differs in letter case only.
        {"Alice:A:1:::\nalice:a:1:::\n", "alice", 1, ':', "Alice:A:1:::\nalice:NEW:1:::\n",
         name_match::exact},
        {"Alice!O!G!/h!!!!\nalice!o!g!/h!!!!\n", "alice", 2, '!',
         "Alice!O!G!/h!!!!\nalice!o!NEW!/h!!!!\n", name_match::exact},
    };
    for (const case_row &row : rows) {
        root.write_file("db", row.before);
        EXPECT_EQ(replace(row.user, row.field, "NEW", row.separator, row.match), db_result::done)
            << row.before;
        EXPECT_EQ(root.read_file("db"), row.after);
        EXPECT_FALSE(aux_file_left());
    }
}

TEST_F(field_replace_test, failures_leave_the_database_unchanged_and_no_temporary_file) {
    struct case_row {
        const char *content;
        const char *user;
        int field;
        const char *new_text;
        db_result result;
        name_match match = name_match::any_case;
    };
    const case_row rows[] = {
        {"alice!O!G!/h!!!!\n", "bob", 1, "NEW", db_result::no_record},
        {"alice!O!G!/h!!!!\n", "al", 1, "NEW", db_result::no_record},
        {"alice!ONLY\n", "alice", 2, "NEW", db_result::field1_unterminated},
        {"alice!ONLY\n", "alice", 1, "NEW", db_result::field_unterminated},
        {"alice!O!G\nbob!x!y!/h!!!!\n", "alice", 2, "NEW", db_result::field_unterminated},
        {"alice!O!G!/h!!!!\n", "alice", 1, "NE!W", db_result::invalid_value},
        {"alice!O!G!/h!!!!\n", "alice", 1, "NE\nW", db_result::invalid_value},
        {"alice!O!G!/h!!!!\n", "alice", 3, "NEW", db_result::invalid_value},
        {"Alice!O!G!/h!!!!\n", "alice", 1, "NEW", db_result::no_record, name_match::exact},
    };
    for (const case_row &row : rows) {
        root.write_file("db", row.content);
        EXPECT_EQ(replace(row.user, row.field, row.new_text, '!', row.match), row.result)
            << row.content;
        EXPECT_EQ(root.read_file("db"), row.content);
        EXPECT_FALSE(aux_file_left());
        EXPECT_EQ(entries(root.path()), base_entries) << row.content;
    }
}

TEST_F(field_replace_test, new_files_a_killed_rewriter_left_go_with_the_next_rewrite_only) {
    // A rewriter killed between its new file and the rename (a server stopped at once) leaves
    // the file; the next rewrite of the same database removes it under the lock. A new file
    // of another database in the directory may be its rewriter's, at work: it stays.
    const std::string own = new_file_name_prefix("db");
    const std::string other = new_file_name_prefix("other");
    ASSERT_NE(own, other);
    ASSERT_EQ(own.rfind(".tvn_new.", 0), 0u);
    root.write_file("db", "alice!O!G!/h!!!!\n");
    root.write_file(own + "killed0123456789", "alice!OLD!G!/h!!!!\n");
    root.write_file(other + "working012345678", "bob!X!Y!/h!!!!\n");
    EXPECT_EQ(replace("alice", 1, "NEW"), db_result::done);
    EXPECT_EQ(root.read_file("db"), "alice!NEW!G!/h!!!!\n");
    std::set<std::string> expected = base_entries;
    expected.insert(other + "working012345678");
    EXPECT_EQ(entries(root.path()), expected);
}

TEST_F(field_replace_test, a_database_that_cannot_be_opened_keeps_its_reason_in_errno) {
    errno = 0;
    EXPECT_EQ(replace("alice", 1, "NEW"), db_result::open_database);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(aux_file_left());
}

TEST_F(field_replace_test, the_new_file_keeps_the_mode_owner_and_group_of_the_old) {
    root.write_file("db", "alice!O!G!/h!!!!\n");
    ASSERT_EQ(chmod(path().c_str(), 0604), 0);
    const bool as_root = geteuid() == 0;
    // Another owner and group than the process's, where the test may give them.
    if (as_root) {
        ASSERT_EQ(chown(path().c_str(), 1, 2), 0);
    }
    struct stat before {};
    ASSERT_EQ(stat(path().c_str(), &before), 0);
    ASSERT_EQ(replace("alice", 1, "NEW"), db_result::done);
    struct stat after {};
    ASSERT_EQ(stat(path().c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino); // replaced, not rewritten in place
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    if (!as_root) GTEST_SKIP() << "owner and group checked only as the process's own: needs root";
}

TEST_F(field_replace_test, a_stale_temporary_file_makes_it_fail_after_about_four_seconds) {
    root.write_file("db", "alice!O!G!/h!!!!\n");
    root.write_file("tvn_aux_file", "left by a crashed process");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(replace("alice", 1, "NEW"), db_result::aux_file);
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 3.9);
    EXPECT_LT(waited, 8.0);
    EXPECT_EQ(root.read_file("db"), "alice!O!G!/h!!!!\n");
    EXPECT_EQ(root.read_file("tvn_aux_file"), "left by a crashed process");
}

TEST_F(field_replace_test, without_the_database_lock_nothing_changes) {
    root.write_file("db", "alice!O!G!/h!!!!\n");
    tvn_test::lock_holder holder(path());
    ASSERT_TRUE(holder.held());
    EXPECT_EQ(replace("alice", 1, "NEW"), db_result::lock);
    EXPECT_EQ(root.read_file("db"), "alice!O!G!/h!!!!\n");
    EXPECT_FALSE(aux_file_left());
}

TEST_F(field_replace_test, a_claim_made_first_is_used_and_ends_with_the_replacement) {
    root.write_file("db", "alice!O!G!/h!!!!\n");
    aux_file_claim claim;
    ASSERT_EQ(claim.acquire(), db_result::done);
    EXPECT_TRUE(claim.held());
    EXPECT_TRUE(aux_file_left());
    const std::string database = path();
    EXPECT_EQ(replace_field(claim, field_change{database.c_str(), "alice", 2, '!', "NEW",
                                                name_match::any_case}),
              db_result::done);
    EXPECT_FALSE(claim.held());
    EXPECT_FALSE(aux_file_left());
    EXPECT_EQ(root.read_file("db"), "alice!O!NEW!/h!!!!\n");
}

TEST_F(field_replace_test, an_unused_claim_removes_its_file) {
    {
        aux_file_claim claim;
        ASSERT_EQ(claim.acquire(), db_result::done);
        struct stat status {};
        ASSERT_EQ(stat("tvn_aux_file", &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0644u);
    }
    EXPECT_FALSE(aux_file_left());
}

TEST_F(field_replace_test, a_file_replaced_while_waiting_for_the_lock_is_the_one_rewritten) {
    root.write_file("db", "alice!O!G!/h!!!!\n");
    // This process plays a rewriter working from another directory, which the temporary file
    // does not exclude: it holds the lock while the other rewriter opens the database, then
    // renames its new file over it and lets go.
    const int fd = open(path().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tvn_lock(fd, 1), 0);
    std::fflush(nullptr);
    const pid_t rewriter = tvn_test::start_writer(fd, [&] { return replace("alice", 2, "NEW"); });
    ASSERT_GT(rewriter, 0);
    ASSERT_TRUE(tvn_test::wait_until([&] { return tvn_test::has_open(rewriter, path()); }, 5s));
    root.write_file("replacement", "alice!O!G!/h!!!!\nadded!x!y!/a!!!!\n");
    ASSERT_EQ(std::rename(root.file("replacement").c_str(), path().c_str()), 0);
    close(fd);
    EXPECT_EQ(tvn_test::wait_for_exit(rewriter, 10s), int(db_result::done));
    EXPECT_EQ(root.read_file("db"), "alice!O!NEW!/h!!!!\nadded!x!y!/a!!!!\n");
}

TEST_F(field_replace_test, a_file_put_over_the_marker_is_never_what_becomes_the_database) {
    root.write_file("db", "alice!O!G!/h!!!!\nbob!o!g!/b!!!!\n");
    aux_file_claim claim;
    ASSERT_EQ(claim.acquire(), db_result::done);
    // Someone who may write the working directory swaps the marker for a file of their own
    // while the rewrite is under way.
    root.write_file("planted", "alice!MINE!MINE!/h!!!!\n");
    ASSERT_EQ(std::rename(root.file("planted").c_str(), root.file("tvn_aux_file").c_str()), 0);
    const std::string database = path();
    EXPECT_EQ(replace_field(claim, field_change{database.c_str(), "alice", 1, '!', "NEW",
                                                name_match::any_case}),
              db_result::done);
    EXPECT_EQ(root.read_file("db"), "alice!NEW!G!/h!!!!\nbob!o!g!/b!!!!\n");
    // The claim's end frees the name for the next rewriter.
    EXPECT_FALSE(aux_file_left());
}

void write_whole(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A directory that is removed with everything in it at the end of the test.
struct scratch_dir {
    explicit scratch_dir(const std::string &parent) {
        std::string pattern = parent + "/tvn-db-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~scratch_dir() {
        if (!path.empty()) tvn_test::run_command({"/bin/rm", "-rf", path});
    }
    std::string path;
};

TEST_F(field_replace_test, a_database_on_another_file_system_is_rewritten_in_its_own_directory) {
    struct stat shm {
    }, here{};
    if (stat("/dev/shm", &shm) != 0 || stat(".", &here) != 0)
        GTEST_SKIP() << "no /dev/shm to hold a database";
    if (shm.st_dev == here.st_dev)
        GTEST_SKIP() << "/dev/shm is the working directory's file system";
    scratch_dir elsewhere("/dev/shm");
    ASSERT_FALSE(elsewhere.path.empty());
    const std::string database = elsewhere.path + "/db";
    write_whole(database, "x!1!2!/x!!!!\nalice!O!G!/h!!!!\n");
    ASSERT_EQ(chmod(database.c_str(), 0640), 0);
    EXPECT_EQ(
        replace_field(field_change{database.c_str(), "alice", 2, '!', "NEW", name_match::any_case}),
        db_result::done);
    EXPECT_EQ(read_whole(database), "x!1!2!/x!!!!\nalice!O!NEW!/h!!!!\n");
    struct stat status {};
    ASSERT_EQ(stat(database.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(elsewhere.path), std::set<std::string>{"db"});
    EXPECT_EQ(entries(root.path()), (std::set<std::string>{"conf", "lib", "log"}));
}

TEST_F(field_replace_test, a_database_named_through_a_link_is_replaced_and_the_link_stays) {
    ASSERT_EQ(mkdir(root.file("real").c_str(), 0755), 0);
    root.write_file("real/db", "alice!O!G!/h!!!!\n");
    ASSERT_EQ(symlink("real/db", path().c_str()), 0);
    EXPECT_EQ(replace("alice", 1, "NEW"), db_result::done);
    struct stat link {};
    ASSERT_EQ(lstat(path().c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(root.read_file("real/db"), "alice!NEW!G!/h!!!!\n");
    EXPECT_EQ(entries(root.file("real")), std::set<std::string>{"db"});
}

TEST_F(field_replace_test, a_write_that_fails_removes_the_new_file_and_changes_nothing) {
    const std::string content = "alice!O!G!/h!!!!\nbob!o!g!/a-long-enough-home!!!!\n";
    root.write_file("db", content);
    // Files may not grow past a few bytes here: writing the new database fails.
    const auto result = tvn_test::run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit small{8, 8};
        if (setrlimit(RLIMIT_FSIZE, &small) != 0) return std::string("no limit");
        return std::to_string(int(replace("alice", 1, "NEW")));
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, std::to_string(int(db_result::write_failed)));
    EXPECT_EQ(root.read_file("db"), content);
    EXPECT_EQ(entries(root.path()), base_entries);
}

} // namespace
