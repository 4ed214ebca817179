// Replacing one field of a record. The database is never changed in place: the new contents
// are written to a file of their own beside it and renamed over it, so a reader sees either
// the old file or the new one, whole. "./tvn_aux_file" in the working directory only marks a
// rewrite under way.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "account_db.h"
#include "locked_open.h"

namespace {

constexpr char aux_file_name[] = "./tvn_aux_file";
constexpr int aux_file_attempts = 5;

// The new file's name beside the database: a fixed start, a tag of the database's name and
// random characters, so no one can prepare a file under it; the exclusive creation refuses
// anything that is there.
constexpr char new_file_prefix[] = ".tvn_new.";
constexpr std::size_t new_file_tag = 8;
constexpr std::size_t new_file_random = 16;
constexpr int new_file_attempts = 8;
constexpr char name_alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
static_assert(sizeof name_alphabet - 1 == 64);

struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};
using heap_text = std::unique_ptr<char, free_deleter>;

// The directory that holds the database, open, and the database's name in it. A path that
// names a symbolic link is resolved, so the link stays and the file it names is replaced.
class database_place {
public:
    ~database_place() {
        if (dir_fd_ >= 0) close(dir_fd_);
    }
    // open_database (errno kept) when the path does not resolve or its directory cannot be
    // opened; no_memory.
    db_result open(const char *path) {
        resolved_.reset(realpath(path, nullptr));
        if (resolved_ == nullptr)
            return errno == ENOMEM ? db_result::no_memory : db_result::open_database;
        char *slash = std::strrchr(resolved_.get(), '/');
        if (slash == nullptr || slash[1] == '\0') {
            errno = EISDIR;
            return db_result::open_database;
        }
        name_ = slash + 1;
        if (slash == resolved_.get()) {
            dir_fd_ = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } else {
            *slash = '\0';
            dir_fd_ = ::open(resolved_.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            *slash = '/';
        }
        return dir_fd_ >= 0 ? db_result::done : db_result::open_database;
    }
    int dir_fd() const { return dir_fd_; }
    const char *name() const { return name_; }

private:
    heap_text resolved_;
    const char *name_ = nullptr;
    int dir_fd_ = -1;
};

// The database, open and locked, as a stream for the record search.
class locked_database {
public:
    ~locked_database() {
        if (stream_ != nullptr) {
            tvn_lock(fileno(stream_), 0);
            std::fclose(stream_);
        }
    }
    db_result open(const database_place &place) {
        db_result result = db_result::done;
        // The place's name is the file itself: a link put there meanwhile is refused.
        const int fd =
            open_locked_at(place.dir_fd(), place.name(), O_RDWR | O_NOFOLLOW, 0, &result);
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

// Under the database's lock. A new file of this database is only ever made under that lock,
// which its maker holds to its end: one that is there now was left by a rewriter killed in the
// middle (a server stopped at once). Nothing will ever rename it, and it holds hashes that
// may since have changed.
void remove_left_new_files(int dir_fd, const std::string &prefix) {
    const int listing_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing_fd < 0) return;
    DIR *listing = fdopendir(listing_fd);
    if (listing == nullptr) {
        close(listing_fd);
        return;
    }
    std::vector<std::string> left;
    while (const dirent *entry = readdir(listing))
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            left.emplace_back(entry->d_name);
    closedir(listing);
    for (const std::string &name : left) unlinkat(dir_fd, name.c_str(), 0);
}

// The file that becomes the new database, in the database's directory. Removed unless it
// was renamed into place.
class new_file {
public:
    new_file(int dir_fd, const std::string &prefix) : dir_fd_(dir_fd), prefix_(prefix) {}
    ~new_file() {
        if (fd_ < 0) return;
        const int saved = errno;
        if (!renamed_) unlinkat(dir_fd_, name_, 0);
        close(fd_);
        errno = saved;
    }
    new_file(const new_file &) = delete;
    new_file &operator=(const new_file &) = delete;

    // Creates it exclusively under a fresh random name, mode 0600, never through a link.
    bool create() {
        for (int attempt = 0; attempt < new_file_attempts; ++attempt) {
            if (!choose_name()) return false;
            fd_ =
                openat(dir_fd_, name_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd_ >= 0) return true;
            if (errno != EEXIST) return false;
        }
        return false;
    }
    int fd() const { return fd_; }
    // Puts the file in the place of target (in the same directory) and syncs the directory.
    bool rename_over(const char *target) {
        if (renameat(dir_fd_, name_, dir_fd_, target) != 0) return false;
        renamed_ = true;
        // The rename is done and the new file whole; a directory that cannot be synced
        // changes neither, so it is no failure.
        (void)fsync(dir_fd_);
        return true;
    }

private:
    bool choose_name() {
        unsigned char bytes[new_file_random];
        std::size_t got = 0;
        while (got < sizeof bytes) {
            const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += std::size_t(n);
        }
        char *out = name_;
        std::memcpy(out, prefix_.data(), prefix_.size());
        out += prefix_.size();
        for (unsigned char byte : bytes) *out++ = name_alphabet[byte & 63];
        *out = '\0';
        return true;
    }

    int dir_fd_;
    std::string prefix_;
    int fd_ = -1;
    bool renamed_ = false;
    char name_[sizeof new_file_prefix + new_file_tag + 1 + new_file_random] = {};
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
bool take_attributes(int new_fd, int database_fd) {
    struct stat old {
    }, fresh{};
    if (fstat(database_fd, &old) != 0 || fstat(new_fd, &fresh) != 0) return false;
    if ((old.st_uid != fresh.st_uid || old.st_gid != fresh.st_gid) &&
        fchown(new_fd, old.st_uid, old.st_gid) != 0)
        return false;
    // After the change of owner, which may clear set-id bits.
    return fchmod(new_fd, old.st_mode & 07777) == 0;
}

db_result rewrite(const field_change &change) {
    if (change.field != 1 && change.field != 2) return db_result::invalid_value;
    if (std::strchr(change.new_text, change.separator) != nullptr ||
        std::strchr(change.new_text, '\n') != nullptr)
        return db_result::invalid_value;

    database_place place;
    if (db_result found = place.open(change.path); found != db_result::done) return found;
    locked_database database;
    if (db_result opened = database.open(place); opened != db_result::done) return opened;
    const std::string prefix = new_file_name_prefix(place.name());
    remove_left_new_files(place.dir_fd(), prefix);
    FILE *stream = database.stream();
    long offset = 0;
    heap_text record(search_user_line(stream, change.user, &offset, change.match));
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

    new_file fresh(place.dir_fd(), prefix);
    if (!fresh.create()) return db_result::write_failed;
    const int out = fresh.fd();
    const char *text = contents.get();
    if (!write_all(out, text, head) ||
        !write_all(out, change.new_text, std::strlen(change.new_text)) ||
        !write_all(out, text + tail, length - tail) || !take_attributes(out, fileno(stream)) ||
        fsync(out) != 0)
        return db_result::write_failed;
    // Still under the database's lock: an append waiting for it finds the new file.
    if (!fresh.rename_over(place.name())) return db_result::write_failed;
    return db_result::done;
}

} // namespace

std::string new_file_name_prefix(const char *database_name) {
    // FNV-1a of the name, 48 bits of it in the name alphabet.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char *c = database_name; *c != '\0'; ++c)
        hash = (hash ^ uint8_t(*c)) * 0x100000001b3ull;
    std::string prefix = new_file_prefix;
    for (std::size_t i = 0; i < new_file_tag; ++i) prefix += name_alphabet[(hash >> (6 * i)) & 63];
    return prefix + ".";
}

db_result aux_file_claim::acquire() {
    if (held()) return db_result::done;
    umask(022);
    for (int attempt = 1;; ++attempt) {
        fd_ = open(aux_file_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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
    // Whatever is under the name now goes, even a file someone else put over the marker: the
    // claim's end frees the name for the next rewriter, and nothing is ever read from it.
    unlink(aux_file_name);
    tvn_lock(fd_, 0);
    close(fd_);
    fd_ = -1;
    errno = saved;
}

db_result replace_field(aux_file_claim &claim, const field_change &change) {
    if (!claim.held()) return db_result::aux_file;
    db_result result = rewrite(change);
    // errno still tells why the database did not open.
    claim.release();
    return result;
}

db_result replace_field(const field_change &change) {
    aux_file_claim claim;
    if (db_result claimed = claim.acquire(); claimed != db_result::done) return claimed;
    return replace_field(claim, change);
}
