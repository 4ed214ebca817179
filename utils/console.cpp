// The log-message formatter of the modules and the password entry of the tools.
#include <termios.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "account_db.h"
#include "utils.h"

namespace {

// Room for a sign and the ten digits of a 32-bit int.
constexpr std::size_t int_room = 11;
constexpr char digit_table[] = "0123456789abcdefghijklmnopqrstuvwxyz";

char *append_decimal(char *out, int value) {
    long long magnitude = value;
    if (magnitude < 0) {
        *out++ = '-';
        magnitude = -magnitude;
    }
    char digits[int_room];
    int count = 0;
    do {
        digits[count++] = digit_table[magnitude % 10];
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

std::size_t added_length(const char *msg, va_list args) {
    std::size_t added = 0;
    for (const char *p = msg; *p != '\0'; ++p) {
        if (*p == 's') {
            const char *text = va_arg(args, const char *);
            if (text != nullptr) added += std::strlen(text);
        } else if (*p == 'd') {
            (void)va_arg(args, int);
            added += int_room;
        } else if (*p == 'c') {
            (void)va_arg(args, int);
            added += 1;
        }
    }
    return added;
}

// Overwrites a typed password before its block goes back to the heap.
void release_secret(char *secret) {
    if (secret == nullptr) return;
    volatile char *p = secret;
    while (*p != '\0') *p++ = '\0';
    std::free(secret);
}

} // namespace

void tvnprint(tvn_request *request, const char *msg, ...) {
    tvn_mpool *pools = request->mpool;
    if (pools == nullptr || msg == nullptr) return;
    va_list args;
    va_start(args, msg);
    va_list counting;
    va_copy(counting, args);
    const std::size_t added = added_length(msg, counting);
    va_end(counting);

    char *old = request->log_message;
    const std::size_t old_length = old != nullptr ? std::strlen(old) : 0;
    const std::size_t total = old_length + added + 1;
    void *grown = nullptr;
    if (total <= UINT32_MAX) {
        grown = old != nullptr ? pools->tvn_realloc(pools->request_pool, old, uint32_t(total))
                               : pools->tvn_malloc(pools->request_pool, uint32_t(total));
    }
    request->log_message = static_cast<char *>(grown);
    if (grown == nullptr) {
        va_end(args);
        return;
    }
    char *out = request->log_message + old_length;
    std::memset(out, 0, added + 1);
    for (const char *p = msg; *p != '\0'; ++p) {
        if (*p == 's') {
            const char *text = va_arg(args, const char *);
            if (text == nullptr) continue;
            const std::size_t length = std::strlen(text);
            std::memcpy(out, text, length);
            out += length;
        } else if (*p == 'd') {
            out = append_decimal(out, va_arg(args, int));
        } else if (*p == 'c') {
            *out++ = char(va_arg(args, int));
        }
    }
    va_end(args);
}

namespace {

// get_pwd, telling the end of the input apart from a terminal failure.
char *read_secret(entry_failure *failure) {
    *failure = entry_failure::none;
    line_buffer secret(35);
    if (!secret.usable()) {
        *failure = entry_failure::terminal;
        return nullptr;
    }
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        std::printf("Internal error\n");
        std::fflush(stdout);
        *failure = entry_failure::terminal;
        return nullptr;
    }
    termios silent = saved;
    silent.c_lflag &= tcflag_t(~ECHO);
    // Whatever was typed ahead is discarded: it was typed with echo on.
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) != 0) {
        std::printf("Internal error\n");
        std::fflush(stdout);
        *failure = entry_failure::terminal;
        return nullptr;
    }
    const bool typed = secret.next(stdin);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &saved) != 0) {
        std::printf("Intrnal error\n");
        std::fflush(stdout);
        release_secret(secret.release());
        *failure = entry_failure::terminal;
        return nullptr;
    }
    std::printf("\n"); // the typed line feed was not echoed
    std::fflush(stdout);
    if (!typed) {
        // Nothing typed before the end of the input: no password, not an empty one.
        release_secret(secret.release());
        *failure = entry_failure::ended;
        return nullptr;
    }
    return secret.release();
}

// The hash of password with a fresh salt of form, in a heap block; NULL when hashing failed.
char *hash_copy(const char *password, salt_form form) {
    char salt[salt_size];
    char hash[hash_size];
    if (!set_salt(salt, form) || !hash_password(password, salt, hash, sizeof hash)) return nullptr;
    return strdup(hash);
}

} // namespace

const char *entry_failure_text(entry_failure failure) {
    switch (failure) {
    case entry_failure::ended: return "No password given (end of input), nothing changed.\n";
    case entry_failure::empty: return "An empty password is not allowed, nothing changed.\n";
    case entry_failure::too_long:
        return "A password may have at most 16 characters (a longer one could never log in), "
               "nothing changed.\n";
    case entry_failure::hashing: return "The password could not be hashed, nothing changed.\n";
    default: return nullptr;
    }
}

char *get_pwd() {
    entry_failure ignored;
    return read_secret(&ignored);
}

char *insert_pwd(salt_form form, entry_failure *failure) {
    entry_failure local = entry_failure::none;
    entry_failure &why = failure != nullptr ? *failure : local;
    char *first = read_secret(&why);
    if (first == nullptr) return nullptr;
    // Refused at once: typing it again would change nothing.
    const std::size_t length = std::strlen(first);
    if (length == 0 || length > login_password_limit) {
        release_secret(first);
        why = length == 0 ? entry_failure::empty : entry_failure::too_long;
        return nullptr;
    }
    std::printf("Re-enter the new password : ");
    std::fflush(stdout);
    char *second = read_secret(&why);
    if (second == nullptr) {
        release_secret(first);
        return nullptr;
    }
    const bool same = std::strcmp(first, second) == 0;
    release_secret(second);
    if (!same) {
        release_secret(first);
        why = entry_failure::differ;
        return nullptr;
    }
    char *hash = hash_copy(first, form);
    release_secret(first);
    if (hash == nullptr) {
        why = entry_failure::hashing;
        return nullptr;
    }
    std::printf("\n");
    std::fflush(stdout);
    return hash;
}
