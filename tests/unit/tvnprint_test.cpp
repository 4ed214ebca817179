// tvnprint: the modules' pieces of text for the activity log, appended in the request pool.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "pooled_request.h"
#include "utils.h"

namespace {

using tvn_test::pooled_request;

std::string message(pooled_request &request) {
    return request->log_message != nullptr ? request->log_message : "<null>";
}

TEST(tvnprint_test, two_strings_follow_each_other_and_a_second_call_appends) {
    pooled_request request;
    tvnprint(request.get(), "%s %s", "Can't open database file ", "/srv/users/sales.passwd");
    EXPECT_EQ(message(request), "Can't open database file /srv/users/sales.passwd");
    tvnprint(request.get(), "%s", " Corrupted database file ");
    EXPECT_EQ(message(request),
              "Can't open database file /srv/users/sales.passwd Corrupted database file ");
}

TEST(tvnprint_test, each_letter_takes_the_next_argument_and_nothing_else_is_copied) {
    struct case_row {
        std::string expected;
        std::string (*print)(pooled_request &);
    };
    const case_row rows[] = {
        {"x",
         [](pooled_request &r) {
             tvnprint(r.get(), "%s%s", static_cast<const char *>(nullptr), "x");
             return message(r);
         }},
        {"-305",
         [](pooled_request &r) {
             tvnprint(r.get(), "%d", -305);
             return message(r);
         }},
        {"0",
         [](pooled_request &r) {
             tvnprint(r.get(), "%d", 0);
             return message(r);
         }},
        {"2147483647",
         [](pooled_request &r) {
             tvnprint(r.get(), "d", INT_MAX);
             return message(r);
         }},
        {"-2147483648",
         [](pooled_request &r) {
             tvnprint(r.get(), "d", INT_MIN);
             return message(r);
         }},
        {"A",
         [](pooled_request &r) {
             tvnprint(r.get(), "%c", 'A');
             return message(r);
         }},
        {"pid 42: Q",
         [](pooled_request &r) {
             tvnprint(r.get(), "%s%d%s%c", "pid ", 42, ": ", 'Q');
             return message(r);
         }},
        // The format's own text never reaches the message.
        {"x",
         [](pooled_request &r) {
             tvnprint(r.get(), "Hello %s!", "x");
             return message(r);
         }},
        {"",
         [](pooled_request &r) {
             tvnprint(r.get(), "Hello");
             return message(r);
         }},
    };
    for (const case_row &row : rows) {
        pooled_request request;
        EXPECT_EQ(row.print(request), row.expected);
    }
}

TEST(tvnprint_test, the_message_is_one_block_of_the_request_pool) {
    pooled_request request;
    tvnprint(request.get(), "%s", "first");
    EXPECT_EQ(request.request_blocks(), 1);
    tvnprint(request.get(), "%s%d", " second ", 2);
    EXPECT_EQ(request.request_blocks(), 1);
    EXPECT_EQ(message(request), "first second 2");
    tvn_clear_pool(request.pools()->request_pool);
    EXPECT_EQ(request.request_blocks(), 0);
}

TEST(tvnprint_test, a_full_request_pool_leaves_the_request_without_a_message) {
    pooled_request request;
    while (tvn_malloc(request.pools()->request_pool, 1) != nullptr) {}
    tvnprint(request.get(), "%s", "lost");
    EXPECT_EQ(request->log_message, nullptr);
}

} // namespace
