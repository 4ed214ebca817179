// Password hashes: the two salt forms, hashing, and checking a password against a stored hash,
// verified against the host's own hashing function.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/times.h>

#include <cstring>
#include <string>

#include "account_db.h"
#include "server_root.h"

namespace {

using namespace std::chrono_literals;

constexpr char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./";

clock_t ticks() {
    tms unused{};
    return times(&unused);
}

std::string host_crypt(const std::string &password, const std::string &salt) {
    const char *hash = crypt(password.c_str(), salt.c_str());
    return hash != nullptr ? hash : "<null>";
}

TEST(password_hash_test, salts_have_their_form_and_draw_from_the_alphabet) {
    char salt[salt_size];
    std::memset(salt, 'z', sizeof salt);
    set_salt(salt, salt_form::traditional);
    ASSERT_EQ(std::strlen(salt), 2u);
    for (int i = 0; i < 2; ++i) EXPECT_NE(std::strchr(alphabet, salt[i]), nullptr) << salt;
    for (std::size_t i = 2; i < salt_size; ++i) EXPECT_EQ(salt[i], '\0');

    set_salt(salt, salt_form::md5);
    ASSERT_EQ(std::strlen(salt), 11u);
    EXPECT_EQ(std::string(salt, 3), "$1$");
    for (int i = 3; i < 11; ++i) EXPECT_NE(std::strchr(alphabet, salt[i]), nullptr) << salt;
}

TEST(password_hash_test, two_salts_of_one_clock_tick_are_equal) {
    // Retried until both salts fall within one tick, which nearly always happens at once.
    bool same_tick = false;
    for (int attempt = 0; attempt < 100 && !same_tick; ++attempt) {
        char first[salt_size], second[salt_size];
        const clock_t before = ticks();
        set_salt(first, salt_form::md5);
        set_salt(second, salt_form::md5);
        same_tick = ticks() == before;
        if (same_tick) {
            EXPECT_STREQ(first, second);
        }
    }
    EXPECT_TRUE(same_tick);
}

TEST(password_hash_test, salts_of_different_ticks_differ) {
    char first[salt_size], second[salt_size];
    set_salt(first, salt_form::md5);
    const clock_t made = ticks();
    ASSERT_TRUE(tvn_test::wait_until([&] { return ticks() != made; }, 2s));
    set_salt(second, salt_form::md5);
    EXPECT_STRNE(first, second);
}

TEST(password_hash_test, hashes_of_both_forms_are_what_the_host_makes_of_them) {
    struct case_row {
        salt_form form;
        std::size_t length;
    };
    for (const case_row row : {case_row{salt_form::traditional, 13}, case_row{salt_form::md5, 34}}) {
        for (const std::string password : {"secret", "", "with blanks ", "\xc3\xa9t\xc3\xa9"}) {
            char salt[salt_size];
            set_salt(salt, row.form);
            char hash[hash_size];
            ASSERT_TRUE(hash_password(password.c_str(), salt, hash, sizeof hash));
            EXPECT_EQ(std::strlen(hash), row.length) << hash;
            EXPECT_EQ(std::strncmp(hash, salt, std::strlen(salt)), 0) << hash;
            EXPECT_EQ(host_crypt(password, salt), hash);
            EXPECT_EQ(host_crypt(password, hash), hash);
        }
    }
}

TEST(password_hash_test, a_hash_that_does_not_fit_is_refused) {
    char hash[20];
    EXPECT_FALSE(hash_password("secret", "$1$abcdefgh", hash, sizeof hash));
    EXPECT_TRUE(hash_password("secret", "ab", hash, sizeof hash));
}

TEST(password_hash_test, a_password_matches_only_its_own_hash) {
    const std::string md5 = host_crypt("owner-pw", "$1$saltsalt");
    const std::string traditional = host_crypt("guest-pw", "xy");
    struct case_row {
        const char *password;
        const char *stored;
        bool matches;
    };
    const case_row rows[] = {
        {"owner-pw", md5.c_str(), true},
        {"owner-pw ", md5.c_str(), false},
        {"guest-pw", md5.c_str(), false},
        {"guest-pw", traditional.c_str(), true},
        {"owner-pw", traditional.c_str(), false},
        {"", md5.c_str(), false},
        // Nothing the hashing function refuses, and no empty hash, ever matches.
        {"", "", false},
        {"anything", "", false},
        {"anything", nullptr, false},
        {"*0", "*0", false},
        {"", "*0", false},
        {"*1", "*1", false},
        {"!", "!", false},
        {"x", "x", false},
        {"", "$1$", false},
        {nullptr, md5.c_str(), false},
    };
    for (const case_row &row : rows)
        EXPECT_EQ(password_matches(row.password, row.stored), row.matches)
            << (row.password ? row.password : "NULL") << " / " << (row.stored ? row.stored : "NULL");
}

}  // namespace
