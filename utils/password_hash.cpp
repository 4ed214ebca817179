// Password hashes: salts of every form a writer can choose, drawn from the system's random
// source; hashing; and checking a password against a stored hash of any form.
#include <crypt.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "account_db.h"

namespace {

constexpr char salt_alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./";
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

// Fills buffer from the system's random source.
bool random_bytes(unsigned char *buffer, std::size_t length) {
    while (length > 0) {
        const ssize_t got = getrandom(buffer, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        length -= std::size_t(got);
    }
    return true;
}

// count characters of the alphabet at salt; 64 entries, so the low six bits of a random
// byte choose one without bias.
bool draw_salt(char *salt, int count) {
    unsigned char bytes[8];
    if (count > int(sizeof bytes) || !random_bytes(bytes, std::size_t(count))) return false;
    for (int i = 0; i < count; ++i) salt[i] = salt_alphabet[bytes[i] & 63];
    return true;
}

// The setting prefix the host's library takes for a form it makes salts for itself; NULL
// asks for its default method.
const char *library_prefix(salt_form form) {
    switch (form) {
    case salt_form::sha512: return "$6$";
    case salt_form::yescrypt: return "$y$";
    default: return nullptr;
    }
}

} // namespace

bool set_salt(char salt[salt_size], salt_form form) {
    std::memset(salt, 0, salt_size);
    bool made = false;
    switch (form) {
    case salt_form::traditional: made = draw_salt(salt, 2); break;
    case salt_form::md5:
        std::memcpy(salt, "$1$", 3);
        made = draw_salt(salt + 3, 8);
        break;
    case salt_form::sha512:
    case salt_form::yescrypt:
    case salt_form::host_preferred:
        // No random bytes given: the library takes them from the system's random source; count
        // 0 takes its default cost.
        made = crypt_gensalt_rn(library_prefix(form), 0, nullptr, 0, salt, int(salt_size)) !=
                   nullptr &&
               salt[0] != '*';
        break;
    }
    if (!made) std::memset(salt, 0, salt_size);
    return made;
}

bool salt_form_named(const char *name, salt_form *form) {
    if (name == nullptr) return false;
    struct named_form {
        const char *name;
        salt_form form;
    };
    static constexpr named_form names[] = {
        {"md5", salt_form::md5}, {"sha512", salt_form::sha512}, {"yescrypt", salt_form::yescrypt}};
    for (const named_form &entry : names) {
        if (std::strcmp(name, entry.name) == 0) {
            *form = entry.form;
            return true;
        }
    }
    return false;
}

std::size_t hash_length_of(salt_form form) {
    char salt[salt_size];
    char hash[hash_size];
    if (!set_salt(salt, form) || !hash_password("", salt, hash, sizeof hash)) return 0;
    return std::strlen(hash);
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
