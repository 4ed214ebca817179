// Replacing one field of a record. The database is never changed in place: the new contents
// are written to "./tvn_aux_file", which the rename then puts in its place, so a reader sees
// either the old file or the new one, whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "account_db.h"
#include "locked_open.h"

namespace {

constexpr char aux_file_name[] = "./tvn_aux_file";
constexpr int aux_file_attempts = 5;

struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};
using heap_text = std::unique_ptr<char, free_deleter>;

// The database, open and locked, as a stream for the record search.
class locked_database {
public:
    ~locked_database() {
        if (stream_ != nullptr) {
            tvn_lock(fileno(stream_), 0);
            std::fclose(stream_);
        }
    }
    db_result open(const char *path) {
        db_result result = db_result::done;
        const int fd = open_locked(path, O_RDWR, 0, &result);
        if (fd < 0) return result;
        stream_ = fdopen(fd, "r+");
        if (stream_ == nullptr) {
            close_locked(fd);
            return db_result::no_memory;
        }
        return db_result::done;
    }
    FILE *stream() const { return stream_; }

private:
    FILE *stream_ = nullptr;
};

bool write_all(int fd, const char *data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= std::size_t(written);
    }
    return true;
}

// Reads the whole file; the lock keeps it from changing meanwhile.
db_result read_whole(FILE *stream, heap_text *contents, std::size_t *length) {
    if (std::fseek(stream, 0, SEEK_END) != 0) return db_result::write_failed;
    const long size = std::ftell(stream);
    if (size < 0 || std::fseek(stream, 0, SEEK_SET) != 0) return db_result::write_failed;
    contents->reset(static_cast<char *>(std::malloc(std::size_t(size) + 1)));
    if (*contents == nullptr) return db_result::no_memory;
    if (std::fread(contents->get(), 1, std::size_t(size), stream) != std::size_t(size))
        return db_result::write_failed;
    *length = std::size_t(size);
    return db_result::done;
}

// The new file is to stand in for the old one: same mode, owner and group.
bool take_attributes(int aux_fd, int database_fd) {
    struct stat old {}, fresh {};
    if (fstat(database_fd, &old) != 0 || fstat(aux_fd, &fresh) != 0) return false;
    if ((old.st_uid != fresh.st_uid || old.st_gid != fresh.st_gid) &&
        fchown(aux_fd, old.st_uid, old.st_gid) != 0)
        return false;
    return fchmod(aux_fd, old.st_mode & 07777) == 0;
}

db_result rewrite(aux_file_claim &claim, const field_change &change) {
    if (change.field != 1 && change.field != 2) return db_result::invalid_value;
    if (std::strchr(change.new_text, change.separator) != nullptr ||
        std::strchr(change.new_text, '\n') != nullptr)
        return db_result::invalid_value;

    locked_database database;
    if (db_result opened = database.open(change.path); opened != db_result::done) return opened;
    FILE *stream = database.stream();
    long offset = 0;
    heap_text record(search_user_line(stream, change.user, &offset));
    if (record == nullptr) return db_result::no_record;
    heap_text contents;
    std::size_t length = 0;
    if (db_result read = read_whole(stream, &contents, &length); read != db_result::done)
        return read;

    // The head runs through the name and its separator; the offsets within the record are
    // offsets within the file from the record's start.
    const std::size_t name_end = std::strlen(change.user) + 1;
    const char *field = record.get() + name_end;
    const char *kept_end = field;
    if (change.field == 2) {
        const char *end = std::strchr(field, change.separator);
        if (end == nullptr) return db_result::field1_unterminated;
        kept_end = end + 1;
    }
    const char *replaced_end = std::strchr(kept_end, change.separator);
    if (replaced_end == nullptr) return db_result::field_unterminated;
    const std::size_t head = std::size_t(offset) + std::size_t(kept_end - record.get());
    const std::size_t tail = std::size_t(offset) + std::size_t(replaced_end - record.get());
    if (tail > length) return db_result::write_failed;

    const int aux = claim.fd();
    const char *text = contents.get();
    if (!write_all(aux, text, head) ||
        !write_all(aux, change.new_text, std::strlen(change.new_text)) ||
        !write_all(aux, text + tail, length - tail) ||
        !take_attributes(aux, fileno(stream)) || fsync(aux) != 0)
        return db_result::write_failed;
    // Still under the database's lock: an append waiting for it finds the new file.
    if (std::rename(aux_file_name, change.path) != 0) return db_result::write_failed;
    claim.hand_over();
    return db_result::done;
}

}  // namespace

db_result aux_file_claim::acquire() {
    if (held()) return db_result::done;
    umask(022);
    for (int attempt = 1;; ++attempt) {
        fd_ = open(aux_file_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0) break;
        if (attempt == aux_file_attempts) return db_result::aux_file;
        sleep(1);
    }
    if (tvn_lock(fd_, 1) != 0) {
        release();
        return db_result::lock;
    }
    return db_result::done;
}

void aux_file_claim::release() {
    if (fd_ < 0) return;
    const int saved = errno;
    unlink(aux_file_name);
    tvn_lock(fd_, 0);
    close(fd_);
    fd_ = -1;
    errno = saved;
}

void aux_file_claim::hand_over() {
    if (fd_ < 0) return;
    tvn_lock(fd_, 0);
    close(fd_);
    fd_ = -1;
}

db_result replace_field(aux_file_claim &claim, const field_change &change) {
    if (!claim.held()) return db_result::aux_file;
    db_result result = rewrite(claim, change);
    // On failure the temporary file goes; errno still tells why the database did not open.
    claim.release();
    return result;
}

db_result replace_field(const field_change &change) {
    aux_file_claim claim;
    if (db_result claimed = claim.acquire(); claimed != db_result::done) return claimed;
    return replace_field(claim, change);
}
