// Account database files: the record search, the file lock, the fields of a record and the
// append of new records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "account_db.h"
#include "child_run.h"
#include "lock_holder.h"
#include "server_root.h"

namespace {

using namespace std::chrono_literals;
using tvn_test::temp_root;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- search_user_line ----------------------------------------------------------------------

const std::string database_text =
    "alice!A1!A2!/home/alice!!!!\n"
    "  \tbob!B1!B2!!/p!/q!/w!\n"
    "Carol:C1!C2!/home/carol!!!!\n"
    "alicia!X!Y!/h!!!!\n"
    "alice!second!match!/h!!!!\n"
    "dave!D1!D2!/home/dave!!!!";

struct search_result {
    std::optional<std::string> record;
    long pos = -1;
};

search_result search(const temp_root &root, const char *user, long start = 0,
                     name_match match = name_match::any_case) {
    FILE *file = std::fopen(root.file("db").c_str(), "r");
    std::fseek(file, start, SEEK_SET);
    search_result result;
    char *record = search_user_line(file, user, &result.pos, match);
    std::fclose(file);
    if (record != nullptr) result.record = record;
    std::free(record);
    return result;
}

TEST(search_user_line_test, finds_records_by_name_without_regard_to_case) {
    temp_root root;
    root.write_file("db", database_text);
    struct case_row {
        const char *user;
        const char *record; // NULL: not found
        const char *starts; // the record's text in the file, for its offset
    };
    const case_row rows[] = {
        {"alice", "alice!A1!A2!/home/alice!!!!", "alice!A1"},
        {"ALICE", "alice!A1!A2!/home/alice!!!!", "alice!A1"},
        {"bob", "bob!B1!B2!!/p!/q!/w!", "bob!"},
        {"carol", "Carol:C1!C2!/home/carol!!!!", "Carol:"},
        {"alicia", "alicia!X!Y!/h!!!!", "alicia!"},
        {"dave", "dave!D1!D2!/home/dave!!!!", "dave!"},
        {"al", nullptr, nullptr},
        {"alic", nullptr, nullptr},
        {"eve", nullptr, nullptr},
        // No record's name holds a separator or a blank, and none is empty.
        {"alice!A1", nullptr, nullptr},
        {"bob!B1!B2", nullptr, nullptr},
        {"", nullptr, nullptr},
        {"bob ", nullptr, nullptr},
        {"Carol:C1", nullptr, nullptr},
    };
    for (const case_row &row : rows) {
        const search_result found = search(root, row.user);
        if (row.record == nullptr) {
            EXPECT_FALSE(found.record.has_value()) << row.user << " found " << *found.record;
            continue;
        }
        ASSERT_TRUE(found.record.has_value()) << row.user;
        EXPECT_EQ(*found.record, row.record);
        EXPECT_EQ(found.pos, long(database_text.find(row.starts))) << row.user;
    }
}

TEST(search_user_line_test, searches_from_the_stream_position_and_the_first_match_wins) {
    temp_root root;
    root.write_file("db", database_text);
    const long second_line = long(database_text.find('\n') + 1);
    const search_result later = search(root, "Alice", second_line);
    ASSERT_TRUE(later.record.has_value());
    EXPECT_EQ(*later.record, "alice!second!match!/h!!!!");
    EXPECT_EQ(later.pos, long(database_text.find("alice!second")));
}

TEST(search_user_line_test, an_exact_search_finds_only_the_name_as_written) {
    temp_root root;
    root.write_file("db", database_text);
    struct case_row {
        const char *user;
        const char *record; // NULL: not found
    };
    const case_row rows[] = {
        {"alice", "alice!A1!A2!/home/alice!!!!"},
        {"Carol", "Carol:C1!C2!/home/carol!!!!"},
        {"carol", nullptr},
        {"ALICE", nullptr},
        {"Bob", nullptr},
        {"al", nullptr},
    };
    for (const case_row &row : rows) {
        const search_result found = search(root, row.user, 0, name_match::exact);
        EXPECT_EQ(found.record.has_value(), row.record != nullptr) << row.user;
        if (row.record != nullptr && found.record) {
            EXPECT_EQ(*found.record, row.record);
        }
    }
    // Records of the name in another letter case are passed over, and the offset is the one of
    // the record found.
    root.write_file("db", "ALICE!X!Y!/h!!!!\nAlice!x!y!/h!!!!\n alice!a!b!/h!!!!\n");
    const search_result found = search(root, "alice", 0, name_match::exact);
    ASSERT_TRUE(found.record.has_value());
    EXPECT_EQ(*found.record, "alice!a!b!/h!!!!");
    EXPECT_EQ(found.pos, 35);
}

TEST(search_user_line_test, a_line_longer_than_the_work_buffer_is_found_whole) {
    temp_root root;
    const std::string long_home = "/" + std::string(3000, 'h');
    root.write_file("db", "x!1!2!/x!!!!\nlong!O!G!" + long_home + "!!!!\n");
    const search_result found = search(root, "long");
    ASSERT_TRUE(found.record.has_value());
    EXPECT_EQ(*found.record, "long!O!G!" + long_home + "!!!!");
    EXPECT_EQ(found.pos, 13);
}

// ---- tvn_lock ------------------------------------------------------------------------------

TEST(tvn_lock_test, locks_and_releases_a_file) {
    temp_root root;
    root.write_file("db", "x\n");
    const int fd = open(root.file("db").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tvn_lock(fd, 1), 0);
    EXPECT_EQ(tvn_lock(fd, 0), 0);
    close(fd);
}

TEST(tvn_lock_test, gives_up_after_three_attempts_half_a_second_apart) {
    temp_root root;
    root.write_file("db", "x\n");
    tvn_test::lock_holder holder(root.file("db"));
    ASSERT_TRUE(holder.held());
    const int fd = open(root.file("db").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tvn_lock(fd, 1), -1);
    const double waited = seconds_since(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 3.0);
    holder.release();
    EXPECT_EQ(tvn_lock(fd, 1), 0);
    close(fd);
}

// ---- read_record_fields --------------------------------------------------------------------

TEST(read_record_fields_test, a_record_is_complete_after_a_home_or_the_web_directory) {
    struct case_row {
        const char *record;
        std::size_t name_length;
        record_layout layout;
        bool complete;
        account_record fields;
    };
    const auto list = record_layout::list_account;
    const auto host = record_layout::host_account;
    const case_row rows[] = {
        {"alice!OWNER!GUEST!/home/alice!!!!",
         5,
         list,
         true,
         {"OWNER", "GUEST", "/home/alice", "", "", ""}},
        // The home directory ends the record: what follows is never read.
        {"alice!OWNER!GUEST!/home/alice!",
         5,
         list,
         true,
         {"OWNER", "GUEST", "/home/alice", "", "", ""}},
        {"alice!OWNER!GUEST!/home/alice!/p!/q!/w!",
         5,
         list,
         true,
         {"OWNER", "GUEST", "/home/alice", "", "", ""}},
        {"bob!OWNER!GUEST!!/p!/pub!", 3, list, false, {}},
        {"bob!OWNER!GUEST!!!!!", 3, list, true, {"OWNER", "GUEST", "", "", "", ""}},
        {"bob!OWNER!GUEST!!/p!/pub!/web!junk",
         3,
         list,
         true,
         {"OWNER", "GUEST", "", "/p", "/pub", "/web"}},
        {"bob!OWNER!GUEST!!/p!!!", 3, list, true, {"OWNER", "GUEST", "", "/p", "", ""}},
        {"bob!!!/h!!!!", 3, list, true, {"", "", "/h", "", "", ""}},
        {"bob:OWNER!GUEST!/h!!!!", 3, list, true, {"OWNER", "GUEST", "/h", "", "", ""}},
        {"bob!OWNER", 3, list, false, {}},
        {"bob!", 3, list, false, {}},
        {"bob", 3, list, false, {}},
        {"carl!GUEST!/home/carl!!!!", 4, host, true, {"", "GUEST", "/home/carl", "", "", ""}},
        {"carl!GUEST!!/p!/q!/w!", 4, host, true, {"", "GUEST", "", "/p", "/q", "/w"}},
        {"carl!GUEST!!/p!/q!", 4, host, false, {}},
        {"carl!GUEST!", 4, host, false, {}},
    };
    for (const case_row &row : rows) {
        account_record fields;
        EXPECT_EQ(read_record_fields(row.record, row.name_length, row.layout, &fields),
                  row.complete)
            << row.record;
        if (!row.complete) continue;
        EXPECT_EQ(fields.owner_hash, row.fields.owner_hash) << row.record;
        EXPECT_EQ(fields.guest_hash, row.fields.guest_hash) << row.record;
        EXPECT_EQ(fields.home_dir, row.fields.home_dir) << row.record;
        EXPECT_EQ(fields.private_dir, row.fields.private_dir) << row.record;
        EXPECT_EQ(fields.public_dir, row.fields.public_dir) << row.record;
        EXPECT_EQ(fields.web_dir, row.fields.web_dir) << row.record;
    }
}

// ---- append_record -------------------------------------------------------------------------

class append_record_test : public ::testing::Test {
protected:
    void SetUp() override { saved_mask = umask(022); }
    void TearDown() override { umask(saved_mask); }
    std::string path() const { return root.file("db"); }

    temp_root root;
    mode_t saved_mask = 0;
};

TEST_F(append_record_test, the_first_record_creates_the_file_for_its_owner_alone) {
    ASSERT_EQ(append_record(path().c_str(), "alice!O!G!/h!!!!"), db_result::done);
    EXPECT_EQ(root.read_file("db"), "alice!O!G!/h!!!!\n");
    struct stat status {};
    ASSERT_EQ(stat(path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(append_record_test, an_existing_database_keeps_its_mode) {
    root.write_file("db", "x!1!2!/x!!!!\n");
    ASSERT_EQ(chmod(path().c_str(), 0640), 0);
    ASSERT_EQ(append_record(path().c_str(), "alice!O!G!/h!!!!"), db_result::done);
    struct stat status {};
    ASSERT_EQ(stat(path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(append_record_test, records_go_to_the_end_with_exactly_one_line_feed) {
    root.write_file("db", "x!1!2!/x!!!!\n");
    EXPECT_EQ(append_record(path().c_str(), "a!O!G!/a!!!!"), db_result::done);
    EXPECT_EQ(append_record(path().c_str(), "b!O!G!/b!!!!\n"), db_result::done);
    EXPECT_EQ(root.read_file("db"), "x!1!2!/x!!!!\na!O!G!/a!!!!\nb!O!G!/b!!!!\n");
}

TEST_F(append_record_test, a_line_with_a_line_feed_inside_is_refused) {
    root.write_file("db", "x!1!2!/x!!!!\n");
    EXPECT_EQ(append_record(path().c_str(), "a!O!G!\nb!/a!!!!"), db_result::invalid_value);
    EXPECT_EQ(root.read_file("db"), "x!1!2!/x!!!!\n");
}

TEST_F(append_record_test, a_database_that_cannot_be_opened_is_reported) {
    errno = 0;
    EXPECT_EQ(append_record(root.file("missing/db").c_str(), "a!O!G!/a!!!!"),
              db_result::open_database);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(append_record_test, without_the_lock_nothing_is_written) {
    root.write_file("db", "x!1!2!/x!!!!\n");
    tvn_test::lock_holder holder(path());
    ASSERT_TRUE(holder.held());
    EXPECT_EQ(append_record(path().c_str(), "a!O!G!/a!!!!"), db_result::lock);
    EXPECT_EQ(root.read_file("db"), "x!1!2!/x!!!!\n");
}

TEST_F(append_record_test, a_file_replaced_while_waiting_for_the_lock_gets_the_record) {
    root.write_file("db", "old!1!2!/x!!!!\n");
    // This process plays a rewrite: it holds the lock while the appender opens the file, then
    // renames a new file over it and lets go.
    const int fd = open(path().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tvn_lock(fd, 1), 0);
    std::fflush(nullptr);
    const pid_t appender =
        tvn_test::start_writer(fd, [&] { return append_record(path().c_str(), "new!O!G!/n!!!!"); });
    ASSERT_GT(appender, 0);
    ASSERT_TRUE(tvn_test::wait_until([&] { return tvn_test::has_open(appender, path()); }, 5s));
    root.write_file("replacement", "replaced!1!2!/x!!!!\n");
    ASSERT_EQ(std::rename(root.file("replacement").c_str(), path().c_str()), 0);
    close(fd);
    EXPECT_EQ(tvn_test::wait_for_exit(appender, 10s), int(db_result::done));
    EXPECT_EQ(root.read_file("db"), "replaced!1!2!/x!!!!\nnew!O!G!/n!!!!\n");
}

// ---- append_new_record ---------------------------------------------------------------------

using append_new_record_test = append_record_test;

TEST_F(append_new_record_test, a_new_name_is_appended_and_the_first_creates_the_file) {
    ASSERT_EQ(append_new_record(path().c_str(), "alice!O!G!/h!!!!", "alice"), db_result::done);
    EXPECT_EQ(append_new_record(path().c_str(), "al!O!G!/a!!!!", "al"), db_result::done);
    EXPECT_EQ(root.read_file("db"), "alice!O!G!/h!!!!\nal!O!G!/a!!!!\n");
}

TEST_F(append_new_record_test, a_name_found_in_any_letter_case_is_not_appended) {
    const std::string text = "x!1!2!/x!!!!\n  Alice:O!G!/h!!!!\n";
    root.write_file("db", text);
    EXPECT_EQ(append_new_record(path().c_str(), "ALICE!O!G!/a!!!!", "ALICE"),
              db_result::name_taken);
    EXPECT_EQ(root.read_file("db"), text);
}

TEST_F(append_new_record_test, a_line_that_is_not_the_names_record_is_refused) {
    root.write_file("db", "x!1!2!/x!!!!\n");
    for (const auto &[line, name] :
         {std::pair{"bob!O!G!/b!!!!", "alice"}, std::pair{"alice!O!G!/h!!!!", "ali"},
          std::pair{"a b!O!G!/h!!!!", "a b"}, std::pair{"!O!G!/h!!!!", ""}})
        EXPECT_EQ(append_new_record(path().c_str(), line, name), db_result::invalid_value) << line;
    EXPECT_EQ(root.read_file("db"), "x!1!2!/x!!!!\n");
}

TEST_F(append_new_record_test, a_record_written_while_waiting_for_the_lock_is_seen) {
    root.write_file("db", "x!1!2!/x!!!!\n");
    // This process holds the lock while the appender opens the file, then writes a record of
    // the same name through its locked descriptor (closing any other would drop the lock).
    const int fd = open(path().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tvn_lock(fd, 1), 0);
    std::fflush(nullptr);
    const pid_t appender = tvn_test::start_writer(
        fd, [&] { return append_new_record(path().c_str(), "carol!O!G!/c!!!!", "carol"); });
    ASSERT_GT(appender, 0);
    ASSERT_TRUE(tvn_test::wait_until([&] { return tvn_test::has_open(appender, path()); }, 5s));
    const std::string meanwhile = "Carol!1!2!/m!!!!\n";
    ASSERT_EQ(lseek(fd, 0, SEEK_END), off_t(13));
    ASSERT_EQ(write(fd, meanwhile.data(), meanwhile.size()), ssize_t(meanwhile.size()));
    close(fd);
    EXPECT_EQ(tvn_test::wait_for_exit(appender, 10s), int(db_result::name_taken));
    EXPECT_EQ(root.read_file("db"), "x!1!2!/x!!!!\n" + meanwhile);
}

} // namespace
