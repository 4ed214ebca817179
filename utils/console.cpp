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

}  // namespace

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

char *get_pwd() {
    long size = 35;
    auto *buffer = static_cast<char *>(std::calloc(std::size_t(size), 1));
    if (buffer == nullptr) return nullptr;
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        std::printf("Internal error\n");
        std::fflush(stdout);
        std::free(buffer);
        return nullptr;
    }
    termios silent = saved;
    silent.c_lflag &= tcflag_t(~ECHO);
    // Whatever was typed ahead is discarded: it was typed with echo on.
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) != 0) {
        std::printf("Internal error\n");
        std::fflush(stdout);
        std::free(buffer);
        return nullptr;
    }
    readline(stdin, '\n', size, &buffer, 1); // end of input leaves the password empty
    if (tcsetattr(STDIN_FILENO, TCSANOW, &saved) != 0) {
        std::printf("Intrnal error\n");
        std::fflush(stdout);
        release_secret(buffer);
        return nullptr;
    }
    std::printf("\n"); // the typed line feed was not echoed
    std::fflush(stdout);
    return buffer;
}

char *insert_pwd(salt_form form) {
    char *first = get_pwd();
    if (first == nullptr) return nullptr;
    std::printf("Re-enter the new password : ");
    std::fflush(stdout);
    char *second = get_pwd();
    if (second == nullptr) {
        release_secret(first);
        return nullptr;
    }
    const bool same = std::strcmp(first, second) == 0;
    release_secret(second);
    if (!same) {
        release_secret(first);
        return nullptr;
    }
    char salt[salt_size];
    set_salt(salt, form);
    char hash[hash_size];
    if (!hash_password(first, salt, hash, sizeof hash)) {
        release_secret(first);
        return nullptr;
    }
    // The block holds at least 35 bytes, more than any hash of the two forms needs; the
    // password goes before the hash takes its place.
    const std::size_t length = std::strlen(hash);
    if (length >= 35) {
        release_secret(first);
        return nullptr;
    }
    std::memset(first, 0, std::strlen(first));
    std::memcpy(first, hash, length + 1);
    std::printf("\n");
    std::fflush(stdout);
    return first;
}
