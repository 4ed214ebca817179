// The master's per-address book: connections in service, the rate of new connections, refused
// logins and the penalty they earn, on a clock the test moves.
#include "address_limits.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

namespace {

address_key ipv4(uint8_t last) {
    address_key key;
    key.family = AF_INET;
    key.bytes = {127, 0, 0, last};
    return key;
}

admission admit(address_limits &book, const address_key &who, int64_t now) {
    bool counted = false;
    return book.admit(who, now, &counted);
}

TEST(address_limits, without_limits_everybody_is_admitted_and_nothing_is_kept) {
    address_limits book({});
    bool counted = true;
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(book.admit(ipv4(1), i, &counted), admission::admitted);
    EXPECT_FALSE(counted);
    book.login_failed(ipv4(1), 0);
    EXPECT_EQ(book.tracked(), 0u);
}

TEST(address_limits, connections_in_service_are_limited_per_address) {
    address_limits book({.max_in_service = 2});
    EXPECT_EQ(admit(book, ipv4(1), 0), admission::admitted);
    EXPECT_EQ(admit(book, ipv4(1), 0), admission::admitted);
    EXPECT_EQ(admit(book, ipv4(1), 0), admission::too_many_in_service);
    EXPECT_EQ(admit(book, ipv4(2), 0), admission::admitted); // another address is unaffected
    book.finished(ipv4(1), 1);
    EXPECT_EQ(book.in_service(ipv4(1)), 1u);
    EXPECT_EQ(admit(book, ipv4(1), 1), admission::admitted);
    // Everything ended: the book forgets the address.
    for (int i = 0; i < 2; ++i) book.finished(ipv4(1), 2);
    book.finished(ipv4(2), 2);
    EXPECT_EQ(book.tracked(), 0u);
    book.finished(ipv4(1), 3); // one too many changes nothing
    EXPECT_EQ(book.in_service(ipv4(1)), 0u);
}

TEST(address_limits, new_connections_are_limited_per_minute) {
    address_limits book({.max_per_minute = 3});
    struct step {
        int64_t at;
        admission expected;
    };
    const step steps[] = {
        {0, admission::admitted},
        {10'000, admission::admitted},
        {20'000, admission::admitted},
        {30'000, admission::too_many_per_minute},
        {59'999, admission::too_many_per_minute},
        {60'000, admission::admitted}, // the first has left the window
        {60'001, admission::too_many_per_minute},
        {80'000, admission::admitted},
    };
    for (const step &s : steps) {
        EXPECT_EQ(admit(book, ipv4(1), s.at), s.expected) << s.at;
        book.finished(ipv4(1), s.at); // each connection ends at once: only the rate counts
    }
}

TEST(address_limits, too_many_refused_logins_shut_the_address_out_for_ten_minutes) {
    address_limits book({.max_failed_logins = 2});
    const int64_t start = 1'000'000;
    for (int i = 0; i < 2; ++i) book.login_failed(ipv4(1), start + i);
    EXPECT_EQ(admit(book, ipv4(1), start + 10), admission::admitted); // two are allowed
    book.finished(ipv4(1), start + 10);
    book.login_failed(ipv4(1), start + 20); // the third within ten minutes
    EXPECT_EQ(admit(book, ipv4(1), start + 21), admission::penalised);
    EXPECT_EQ(admit(book, ipv4(2), start + 21), admission::admitted);
    EXPECT_EQ(admit(book, ipv4(1), start + 20 + address_limits::PENALTY_MS - 1),
              admission::penalised);
    EXPECT_EQ(admit(book, ipv4(1), start + 20 + address_limits::PENALTY_MS), admission::admitted);
}

TEST(address_limits, refused_logins_older_than_ten_minutes_no_longer_count) {
    address_limits book({.max_failed_logins = 2});
    book.login_failed(ipv4(1), 0);
    book.login_failed(ipv4(1), 1);
    book.login_failed(ipv4(1), address_limits::FAILED_LOGIN_WINDOW_MS + 1); // the first is gone
    EXPECT_EQ(admit(book, ipv4(1), address_limits::FAILED_LOGIN_WINDOW_MS + 2),
              admission::admitted);
}

TEST(address_limits, a_full_book_forgets_idle_addresses_and_admits_uncounted_beyond) {
    address_limits book({.max_in_service = 1});
    address_key key = ipv4(0);
    for (size_t i = 0; i < address_limits::MAX_ADDRESSES; ++i) {
        key.bytes[0] = uint8_t(i >> 16);
        key.bytes[1] = uint8_t(i >> 8);
        key.bytes[2] = uint8_t(i);
        ASSERT_EQ(admit(book, key, 0), admission::admitted);
    }
    bool counted = true;
    EXPECT_EQ(book.admit(ipv4(9), 0, &counted), admission::admitted);
    EXPECT_FALSE(counted);
    book.finished(key, 1); // one address is idle now: room for a new one
    EXPECT_EQ(book.admit(ipv4(9), 2, &counted), admission::admitted);
    EXPECT_TRUE(counted);
}

TEST(address_limits, every_refusal_has_a_reason_for_the_journal) {
    for (admission verdict :
         {admission::too_many_in_service, admission::too_many_per_minute, admission::penalised})
        EXPECT_NE(admission_reason(verdict), nullptr);
    EXPECT_EQ(admission_reason(admission::admitted), nullptr);
}

} // namespace
