// Password hashes: salts of the two forms, hashing, and checking a password against a hash.
#include <crypt.h>
#include <sys/times.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "account_db.h"

namespace {

constexpr char salt_alphabet[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./";
static_assert(sizeof salt_alphabet - 1 == 64);

// Compares without stopping at the first difference, so the time taken says nothing about
// how much of a hash was right.
bool same_text(const char *a, const char *b) {
    const std::size_t length = std::strlen(a);
    if (length != std::strlen(b)) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < length; ++i) difference |= (unsigned char)(a[i] ^ b[i]);
    return difference == 0;
}

}  // namespace

void set_salt(char salt[salt_size], salt_form form) {
    std::memset(salt, 0, salt_size);
    tms ticks{};
    std::srand(unsigned(times(&ticks)));
    std::size_t at = 0;
    int count = 2;
    if (form == salt_form::md5) {
        std::memcpy(salt, "$1$", 3);
        at = 3;
        count = 8;
    }
    for (int i = 0; i < count; ++i) salt[at++] = salt_alphabet[std::rand() % 64];
}

bool hash_password(const char *password, const char *salt, char *hash, std::size_t size) {
    if (password == nullptr || salt == nullptr) return false;
    // The re-entrant form keeps no hash in static storage; its work area is too large for
    // the stack of every caller.
    std::unique_ptr<crypt_data> work(new (std::nothrow) crypt_data());
    if (work == nullptr) return false;
    const char *result = crypt_rn(password, salt, work.get(), int(sizeof(crypt_data)));
    // A failure is NULL here; the "*" check also refuses the failure tokens other forms give.
    if (result == nullptr || result[0] == '*' || result[0] == '\0') return false;
    const std::size_t length = std::strlen(result);
    if (length >= size) return false;
    std::memcpy(hash, result, length + 1);
    return true;
}

bool password_matches(const char *password, const char *stored_hash) {
    if (password == nullptr || stored_hash == nullptr || stored_hash[0] == '\0') return false;
    char hash[hash_size];
    if (!hash_password(password, stored_hash, hash, sizeof hash)) return false;
    return same_text(hash, stored_hash);
}
