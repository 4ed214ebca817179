// Account database files: the record search, the file lock, the fields of a record and the
// append of a new record.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "account_db.h"
#include "locked_open.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Records never hold these in a name, so a name holding one would only match a record by
// reading part of its fields as the name.
bool possible_name(const char *user) {
    return user != nullptr && user[0] != '\0' && std::strpbrk(user, " \t!:\n") == nullptr;
}

// Whether fd is the file that name (in dir_fd) stands for now; a name opened without
// following a link is looked at without following one.
bool same_file(int fd, int dir_fd, const char *name, int open_flags) {
    const int follow = (open_flags & O_NOFOLLOW) != 0 ? AT_SYMLINK_NOFOLLOW : 0;
    struct stat opened {
    }, named{};
    if (fstat(fd, &opened) != 0 || fstatat(dir_fd, name, &named, follow) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Records are appended by the tools alone; a database they create holds hashes that no other
// user is to read.
constexpr mode_t new_database_mode = 0600;

// Every attempt but the first follows a rewrite that was completed meanwhile.
constexpr int reopen_attempts = 10;

} // namespace

char *search_user_line(FILE *fp, const char *user, long *pos) {
    if (!possible_name(user)) return nullptr;
    line_buffer line(1024);
    if (!line.usable()) return nullptr;
    const std::size_t user_length = std::strlen(user);
    for (*pos = std::ftell(fp); line.next(fp); *pos = std::ftell(fp)) {
        const char *start = line.text;
        while (is_blank(*start)) {
            ++start;
            ++*pos;
        }
        if (strncasecmp(start, user, user_length) == 0 &&
            (start[user_length] == '!' || start[user_length] == ':'))
            return strdup(start);
    }
    return nullptr;
}

char *search_user_line(FILE *fp, const char *user, long *pos, name_match match) {
    for (;;) {
        char *record = search_user_line(fp, user, pos);
        if (record == nullptr || match == name_match::any_case) return record;
        // The search leaves the stream at the next line, where the walk goes on.
        if (std::strncmp(record, user, std::strlen(user)) == 0) return record;
        std::free(record);
    }
}

int8_t tvn_lock(int lock_fd, int flag) {
    struct flock lock {};
    lock.l_type = flag == 1 ? F_WRLCK : F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    for (int attempt = 1;; ++attempt) {
        if (fcntl(lock_fd, F_SETLK, &lock) == 0) return 0;
        if (attempt == 3) return -1;
        usleep(500000);
    }
}

bool read_record_fields(const char *record, std::size_t name_length, record_layout layout,
                        account_record *fields) {
    *fields = account_record{};
    std::string_view rest(record);
    if (rest.size() <= name_length) return false;
    rest.remove_prefix(name_length + 1);
    std::string_view *const list_order[] = {&fields->owner_hash, &fields->guest_hash,
                                            &fields->home_dir,   &fields->private_dir,
                                            &fields->public_dir, &fields->web_dir};
    // A host-account record has no owner hash: its fields start with the guest hash.
    const int first = layout == record_layout::list_account ? 0 : 1;
    for (int i = first; i < 6; ++i) {
        const std::size_t end = rest.find('!');
        if (end == std::string_view::npos) return false;
        const std::string_view field = rest.substr(0, end);
        if (field.find('\n') != std::string_view::npos) return false;
        *list_order[i] = field;
        rest.remove_prefix(end + 1);
        if (list_order[i] == &fields->home_dir && !field.empty()) return true;
    }
    return true; // the web directory field was read
}

int open_locked(const char *path, int flags, mode_t mode, db_result *result) {
    return open_locked_at(AT_FDCWD, path, flags, mode, result);
}

int open_locked_at(int dir_fd, const char *name, int flags, mode_t mode, db_result *result) {
    for (int attempt = 0; attempt < reopen_attempts; ++attempt) {
        const int fd = openat(dir_fd, name, flags | O_CLOEXEC, mode);
        if (fd < 0) {
            *result = db_result::open_database;
            return -1;
        }
        if (tvn_lock(fd, 1) != 0) {
            close(fd);
            *result = db_result::lock;
            return -1;
        }
        if (same_file(fd, dir_fd, name, flags)) return fd;
        close(fd); // releases the lock on the replaced file
    }
    *result = db_result::lock;
    return -1;
}

void close_locked(int fd) {
    tvn_lock(fd, 0);
    close(fd);
}

namespace {

bool holds_record(FILE *stream, const char *name) {
    long pos = 0;
    char *record = search_user_line(stream, name, &pos);
    const bool found = record != nullptr;
    std::free(record);
    return found;
}

db_result write_at_end(int fd, const char *data, std::size_t length) {
    const off_t end = lseek(fd, 0, SEEK_END);
    const ssize_t written = end < 0 ? -1 : write(fd, data, length);
    if (written == ssize_t(length)) return db_result::done;
    // A part of a line would damage the file for every reader: take it back.
    if (written > 0) (void)ftruncate(fd, end);
    return db_result::write_failed;
}

// One append under the database's lock; with a name, only when no record of it is there.
db_result append_locked(const char *path, const char *line, const char *name) {
    std::size_t length = std::strlen(line);
    const bool has_line_feed = length > 0 && line[length - 1] == '\n';
    const std::size_t text_length = has_line_feed ? length - 1 : length;
    if (std::memchr(line, '\n', text_length) != nullptr) return db_result::invalid_value;
    auto *data = static_cast<char *>(std::malloc(text_length + 1));
    if (data == nullptr) return db_result::no_memory;
    std::memcpy(data, line, text_length);
    data[text_length] = '\n';
    length = text_length + 1;

    db_result result = db_result::done;
    const int fd = open_locked(path, O_RDWR | O_CREAT, new_database_mode, &result);
    if (fd < 0) {
        const int saved = errno;
        std::free(data);
        errno = saved;
        return result;
    }
    FILE *stream = nullptr;
    if (name != nullptr) {
        // The search reads through fd itself: closing any other descriptor of the file would
        // give up the lock.
        stream = fdopen(fd, "r");
        if (stream == nullptr)
            result = db_result::no_memory;
        else if (holds_record(stream, name))
            result = db_result::name_taken;
    }
    if (result == db_result::done) result = write_at_end(fd, data, length);
    if (stream != nullptr) {
        tvn_lock(fd, 0);
        std::fclose(stream);
    } else {
        close_locked(fd);
    }
    std::free(data);
    return result;
}

} // namespace

db_result append_record(const char *path, const char *line) {
    return append_locked(path, line, nullptr);
}

db_result append_new_record(const char *path, const char *line, const char *name) {
    if (!possible_name(name)) return db_result::invalid_value;
    const std::size_t name_length = std::strlen(name);
    if (std::strncmp(line, name, name_length) != 0 || line[name_length] != '!')
        return db_result::invalid_value;
    return append_locked(path, line, name);
}
