// Replacing one field of a record through "./tvn_aux_file" and a rename: the result, what
// stays unchanged, and every way it can fail without touching the database.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "account_db.h"
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
    db_result replace(const char *user, int field, const char *new_text, char separator = '!') {
        const std::string database = path();
        return replace_field(field_change{database.c_str(), user, field, separator, new_text});
    }
    bool aux_file_left() const { return root.exists("tvn_aux_file"); }

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
         "root:$6$x$y:19000:0:99999:7:::\nalice:NEW:19000:0:99999:7:::\nbin:*:19000:0:99999:7:::\n"},
    };
    for (const case_row &row : rows) {
        root.write_file("db", row.before);
        EXPECT_EQ(replace(row.user, row.field, "NEW", row.separator), db_result::done) << row.before;
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
    };
    for (const case_row &row : rows) {
        root.write_file("db", row.content);
        EXPECT_EQ(replace(row.user, row.field, row.new_text), row.result) << row.content;
        EXPECT_EQ(root.read_file("db"), row.content);
        EXPECT_FALSE(aux_file_left());
    }
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
    EXPECT_EQ(replace_field(claim, field_change{database.c_str(), "alice", 2, '!', "NEW"}),
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

}  // namespace
