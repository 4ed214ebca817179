// journal: the logging and connection_closing hooks on a request record with real pools, and
// the names they write.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "journal_library.h"
#include "journal_line.h"
#include "pool.h"

namespace {

using namespace journal_test;
using tvn_test::expected_line;
using tvn_test::match_line;
using tvn_test::refused_pattern;
using tvn_test::request_pattern;
using tvn_test::split_lines;

class journal_line_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.error.empty()) << lib.error;
        ASSERT_TRUE(dir.ok());
        lib.fill_names();
        section.log_fd = open(dir.file("journal.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        ASSERT_GE(section.log_fd, 0);
        pools = create_connection_pools();
        ASSERT_NE(pools, nullptr);
        request.mpool = pools;
        request.session_id = 4242;
        request.client_ip_address = inet_addr("10.1.2.3");
        request.init_module_data = &section;
        request.username = user;
        request.domain = domain;
    }
    void TearDown() override {
        if (pools != nullptr) release_connection_pools(pools);
        if (section.log_fd >= 0) close(section.log_fd); // a no-op failure once the hook closed it
    }
    std::vector<std::string> lines() const { return split_lines(dir.read("journal.log")); }
    // One request of the connection: its fields, a call of the hook, and the reset after it.
    int log(uint8_t method, uint8_t response) {
        request.method = method;
        request.response = response;
        const int result = lib.log(&request);
        tvn_clear_pool(pools->request_pool);
        request.remote_path1 = request.local_path1 = request.remote_path2 = request.local_path2 =
            nullptr;
        request.log_message = nullptr;
        return result;
    }
    static expected_line line_of(const std::string &method, const std::string &status) {
        expected_line line;
        line.user = "alice";
        line.domain = "sales";
        line.method = method;
        line.status = status;
        return line;
    }

    const journal_library &lib = library();
    scratch_dir dir;
    virtual_domain section{nullptr, -1, 0, nullptr, nullptr};
    tvn_mpool *pools = nullptr;
    tvn_request request{};
    char user[6] = "alice";
    char domain[6] = "sales";
};

constexpr uint32_t bit(unsigned method) { return uint32_t(1) << method; }

TEST_F(journal_line_test, init_vect_names_every_method_and_status) {
    const std::vector<std::string> methods = {
        "UNKNOWN",    "CONNECT   ", "DISCONNECT", "GETDIR    ", "",          "OPEN      ",
        "READ      ", "WRITE     ", "CLOSE     ", "SETTIME   ", "",          "DELETE    ",
        "MKDIR     ", "RENAME    ", "",           "COPYFILE  ", "CHANGEPWD "};
    const std::vector<std::string> statuses = {"NOT USED ",
                                               "OK      ",
                                               "BAD_REQUEST",
                                               "REDIRECT",
                                               "AUTH_REQUIRED",
                                               "WRONG_AUTH",
                                               "CLIENT_VERSION_NOT_SUPP",
                                               "REQUEST_TIMED_OUT",
                                               "INTERNAL_SERVER_ERR",
                                               "NOT_FOUND",
                                               "DIR_NOT_EMPTY",
                                               "READONLY_ACCESS",
                                               "FILE_IS_A_DIR",
                                               "ACCESS_DENIED",
                                               "FILE_EXISTS",
                                               "INVALID_OPENMODE",
                                               "NO_MORE_FILEHANDLES",
                                               "INVALID_HANDLE",
                                               "QUOTA_EXCEDED",
                                               "DISK_FULL"};
    for (std::size_t i = 0; i < methods.size(); ++i) EXPECT_EQ(lib.methods[i], methods[i]) << i;
    for (std::size_t i = 0; i < statuses.size(); ++i) EXPECT_EQ(lib.statuses[i], statuses[i]) << i;
}

TEST_F(journal_line_test, a_logged_method_writes_one_line_with_every_path) {
    section.method_mask = bit(RENAME);
    char from[] = "/Public/a", to[] = "/Public/b", local_from[] = "/srv/a", local_to[] = "/srv/b";
    request.remote_path1 = from;
    request.local_path1 = local_from;
    request.remote_path2 = to;
    request.local_path2 = local_to;
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(log(RENAME, FILE_EXISTS), OK);
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    expected_line rename = line_of("RENAME    ", "FILE_EXISTS");
    rename.remote1 = from;
    rename.local1 = local_from;
    rename.remote2 = to;
    rename.local2 = local_to;
    const auto head = match_line(written[0], request_pattern(rename));
    ASSERT_TRUE(head.has_value()) << written[0];
    EXPECT_EQ(head->session, 4242);
    EXPECT_GE(head->time, before - 1);
    EXPECT_LE(head->time, std::time(nullptr) + 1);
    EXPECT_EQ(dir.read("journal.log").back(), '\n');
}

TEST_F(journal_line_test, codes_beyond_the_tables_are_written_as_numbers) {
    section.method_mask = bit(GETDIR);
    EXPECT_EQ(log(GETDIR, 21), OK);
    EXPECT_EQ(log(GETDIR, 255), OK);
    EXPECT_EQ(log(GETDIR, DISK_FULL), OK);
    const auto written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_TRUE(match_line(written[0], request_pattern(line_of("GETDIR    ", "21")))) << written[0];
    EXPECT_TRUE(match_line(written[1], request_pattern(line_of("GETDIR    ", "255"))))
        << written[1];
    EXPECT_TRUE(match_line(written[2], request_pattern(line_of("GETDIR    ", "DISK_FULL"))))
        << written[2];
}

TEST_F(journal_line_test, method_0_is_logged_whatever_the_mask_and_unset_bits_are_not) {
    section.method_mask = bit(GETDIR);
    EXPECT_EQ(log(UNKNOWN, OK), OK);
    EXPECT_EQ(log(OPEN, OK), NOT_HANDLED);
    EXPECT_EQ(log(CONNECT, OK), NOT_HANDLED);
    EXPECT_EQ(log(40, OK), NOT_HANDLED); // past the mask's width
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(match_line(written[0], request_pattern(line_of("UNKNOWN", "OK      "))))
        << written[0];
}

TEST_F(journal_line_test, a_redirect_target_and_the_message_are_escaped) {
    section.method_mask = bit(CONNECT);
    char target[] = "elsewhere\n2", message[] = " bad\tthing\\ \x1b[31m";
    request.redirect = target;
    request.log_message = message;
    EXPECT_EQ(log(CONNECT, REDIRECT), OK);
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    expected_line redirect = line_of("CONNECT   ", "REDIRECT");
    redirect.kind = ' '; // no successful login
    redirect.local1 = "elsewhere\\x0a2";
    redirect.local2 = "from ip";
    redirect.address = "10.1.2.3";
    redirect.message = " bad\\x09thing\\x5c \\x1b[31m";
    EXPECT_TRUE(match_line(written[0], request_pattern(redirect))) << written[0];
}

TEST_F(journal_line_test, a_disconnect_without_login_is_the_refused_line_whatever_the_mask) {
    request.username = nullptr;
    request.domain = nullptr;
    char message[] = " Bad\nHeader packet";
    request.log_message = message;
    EXPECT_EQ(log(DISCONNECT, OK), OK);
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(match_line(written[0], refused_pattern("10.1.2.3", " Bad\\x0aHeader packet")))
        << written[0];
}

TEST_F(journal_line_test, the_section_is_chosen_at_the_first_line_and_kept) {
    char sales_name[] = "sales";
    name_node sales{sales_name, nullptr};
    virtual_domain by_sales{&sales, -1, bit(GETDIR), nullptr, nullptr};
    virtual_domain open_section = section; // the file of the fixture
    open_section.method_mask = bit(GETDIR);
    by_sales.next = &open_section;
    request.init_module_data = &by_sales;
    request.domain = nullptr;
    EXPECT_EQ(log(GETDIR, OK), OK); // no domain yet: the section without alias
    request.domain = domain;        // "sales" now, but the connection is bound already
    EXPECT_EQ(log(GETDIR, OK), OK);
    EXPECT_EQ(lines().size(), 2u);

    // A fresh connection in the domain sales is bound to its silent section.
    lib.closing(&request);
    section.log_fd = -1; // closed by the hook above
    EXPECT_EQ(log(GETDIR, OK), NOT_HANDLED);
    EXPECT_EQ(lines().size(), 2u);
}

TEST_F(journal_line_test, no_memory_for_the_record_or_the_line_answers_8) {
    section.method_mask = bit(GETDIR);
    std::vector<void *> taken;
    while (void *block = tvn_malloc(pools->connection_pool, 8)) taken.push_back(block);
    EXPECT_EQ(log(GETDIR, OK), INTERNAL_SERVER_ERR);
    EXPECT_EQ(request.user_module_data, nullptr);
    tvn_free(pools->connection_pool, taken.back());

    while (tvn_malloc(pools->request_pool, 8) != nullptr) {}
    request.method = GETDIR;
    request.response = OK;
    EXPECT_EQ(lib.log(&request), INTERNAL_SERVER_ERR); // the record fitted, the line did not
    EXPECT_NE(request.user_module_data, nullptr);
    EXPECT_TRUE(lines().empty());
    tvn_clear_pool(pools->request_pool);
    EXPECT_EQ(log(GETDIR, OK), OK);
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_EQ(pools->request_pool->in_use, 0); // the line gave its slot back at once
}

TEST_F(journal_line_test, a_failed_write_is_ignored) {
    section.method_mask = bit(GETDIR);
    close(section.log_fd);
    section.log_fd = open(dir.file("journal.log").c_str(), O_RDONLY);
    ASSERT_GE(section.log_fd, 0);
    EXPECT_EQ(log(GETDIR, OK), OK);
    EXPECT_TRUE(lines().empty());
}

TEST_F(journal_line_test, connection_closing_closes_the_descriptor_and_releases_the_record) {
    EXPECT_EQ(lib.closing(&request), OK); // nothing logged yet: nothing to release
    section.method_mask = bit(GETDIR);
    const int16_t before = pools->connection_pool->in_use;
    EXPECT_EQ(log(GETDIR, OK), OK);
    EXPECT_EQ(pools->connection_pool->in_use, before + 1);
    EXPECT_EQ(lib.closing(&request), OK);
    EXPECT_EQ(pools->connection_pool->in_use, before);
    EXPECT_EQ(request.user_module_data, nullptr);
    EXPECT_EQ(fcntl(section.log_fd, F_GETFD), -1); // this process's copy is closed
    section.log_fd = -1;
}

} // namespace
