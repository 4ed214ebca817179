// Password hashes: salts of every form, drawn from the system's random source; hashing; and
// checking a password against a stored hash, verified against the host's own hashing function.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/times.h>

#include <cstring>
#include <set>
#include <string>

#include "account_db.h"

namespace {

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
    ASSERT_TRUE(set_salt(salt, salt_form::traditional));
    ASSERT_EQ(std::strlen(salt), 2u);
    for (int i = 0; i < 2; ++i) EXPECT_NE(std::strchr(alphabet, salt[i]), nullptr) << salt;
    for (std::size_t i = 2; i < salt_size; ++i) EXPECT_EQ(salt[i], '\0');

    ASSERT_TRUE(set_salt(salt, salt_form::md5));
    ASSERT_EQ(std::strlen(salt), 11u);
    EXPECT_EQ(std::string(salt, 3), "$1$");
    for (int i = 3; i < 11; ++i) EXPECT_NE(std::strchr(alphabet, salt[i]), nullptr) << salt;
}

TEST(password_hash_test, the_library_forms_have_their_prefix_and_the_hosts_default_is_its_own) {
    char preferred[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_NE(crypt_gensalt_rn(nullptr, 0, nullptr, 0, preferred, int(sizeof preferred)), nullptr);
    const std::string host_prefix(preferred, std::strchr(preferred + 1, '$') + 1 - preferred);
    struct case_row {
        salt_form form;
        std::string prefix;
    };
    for (const case_row &row :
         {case_row{salt_form::sha512, "$6$"}, case_row{salt_form::yescrypt, "$y$"},
          case_row{salt_form::host_preferred, host_prefix}}) {
        char salt[salt_size];
        ASSERT_TRUE(set_salt(salt, row.form)) << row.prefix;
        EXPECT_EQ(std::string(salt).rfind(row.prefix, 0), 0u) << salt;
        char hash[hash_size];
        ASSERT_TRUE(hash_password("pw", salt, hash, sizeof hash)) << salt;
        EXPECT_EQ(host_crypt("pw", hash), hash);
        EXPECT_TRUE(password_matches("pw", hash));
        EXPECT_FALSE(password_matches("pw ", hash));
    }
}

TEST(password_hash_test, two_salts_of_one_clock_tick_differ) {
    // Salts come from the system's random source, not from the clock: many made at once are
    // all different (eight characters of 64 make a repeat practically impossible).
    for (salt_form form : {salt_form::md5, salt_form::sha512, salt_form::yescrypt}) {
        std::set<std::string> salts;
        for (int i = 0; i < 50; ++i) {
            char salt[salt_size];
            ASSERT_TRUE(set_salt(salt, form));
            salts.insert(salt);
        }
        EXPECT_EQ(salts.size(), 50u);
    }
    // Two made one right after the other, within one tick as the old generator saw it.
    bool same_tick = false;
    for (int attempt = 0; attempt < 100 && !same_tick; ++attempt) {
        char first[salt_size], second[salt_size];
        const clock_t before = ticks();
        ASSERT_TRUE(set_salt(first, salt_form::md5));
        ASSERT_TRUE(set_salt(second, salt_form::md5));
        same_tick = ticks() == before;
        if (same_tick) {
            EXPECT_STRNE(first, second);
        }
    }
    EXPECT_TRUE(same_tick);
}

TEST(password_hash_test, method_names_are_md5_sha512_and_yescrypt_only) {
    struct case_row {
        const char *name;
        bool known;
        salt_form form;
    };
    const case_row rows[] = {
        {"md5", true, salt_form::md5},           {"sha512", true, salt_form::sha512},
        {"yescrypt", true, salt_form::yescrypt}, {"MD5", false, salt_form::md5},
        {"des", false, salt_form::md5},          {"", false, salt_form::md5},
        {"sha256", false, salt_form::md5},       {"md5 ", false, salt_form::md5},
        {nullptr, false, salt_form::md5},
    };
    for (const case_row &row : rows) {
        salt_form form = salt_form::traditional;
        EXPECT_EQ(salt_form_named(row.name, &form), row.known) << (row.name ? row.name : "NULL");
        EXPECT_EQ(form, row.known ? row.form : salt_form::traditional);
    }
}

TEST(password_hash_test, hashes_of_every_form_are_what_the_host_makes_of_them) {
    struct case_row {
        salt_form form;
        std::size_t length;
    };
    for (const case_row row : {case_row{salt_form::traditional, 13}, case_row{salt_form::md5, 34},
                               case_row{salt_form::sha512, 106}}) {
        EXPECT_EQ(hash_length_of(row.form), row.length);
        for (const std::string password : {"secret", "", "with blanks ", "\xc3\xa9t\xc3\xa9"}) {
            char salt[salt_size];
            ASSERT_TRUE(set_salt(salt, row.form));
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
    const std::string sha512 = host_crypt("sha-pw", "$6$saltsaltsaltsalt");
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
        {"sha-pw", sha512.c_str(), true},
        {"owner-pw", sha512.c_str(), false},
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
            << (row.password ? row.password : "NULL") << " / "
            << (row.stored ? row.stored : "NULL");
}

} // namespace
