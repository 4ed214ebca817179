// The shared utility library, part two: account database files. One record line per user,
// "name!field!field!...!"; the account modules read them, the tools append records, and the
// modules and tools rewrite password fields. Every writer of a database goes through here.
//
// Locking. Appends and rewrites both hold tvn_lock on the database file itself, and each
// checks after locking that its descriptor is still the file at the database's path (a
// rewrite replaces the file by a rename), so no record is ever lost between them. Rewriters
// also exclude each other through the exclusive creation of "./tvn_aux_file" in the working
// directory. That file is only a marker: the working directory (the server root) is writable
// by the service account, so nothing is ever renamed from there. The new contents are written
// to a file of their own beside the database (see replace_field). A writer that cannot get a
// lock changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "utils.h"

// ---- Search and lock ----------------------------------------------------------------------

// Searches fp from its current position for the record of user: a line that, after optional
// blanks, starts with user (letter case ignored) followed by "!" or ":". Stores in *pos the
// file offset of the record's first non-blank character and returns a heap copy of the line
// from there, without its line feed; the caller releases it with free(). NULL when not found
// or memory is short. A name that is empty or holds a blank, "!", ":" or a line feed can be no
// record's name and is never found.
char *search_user_line(FILE *fp, const char *user, long *pos);

// How a record's name must equal the searched one: letter case ignored (list accounts, and
// what the tools test before they add a name), or exactly (host user names, which the host
// tells apart by letter case).
enum class name_match { any_case, exact };

// search_user_line that, with name_match::exact, passes over records whose name differs from
// user in letter case and goes on to the first one that equals it exactly.
char *search_user_line(FILE *fp, const char *user, long *pos, name_match match);

// flag 1: a write lock on the whole file open as lock_fd; any other flag releases it. Up to
// three non-blocking attempts, 0.5 s apart. 0 on success, -1 when the lock could not be set.
int8_t tvn_lock(int lock_fd, int flag);

// ---- Password hashes ----------------------------------------------------------------------

// Room for a salt of any form, as the host's library makes them.
inline constexpr std::size_t salt_size = 192;
// Room for any hash the databases or the host's shadow file hold (an MD5 hash has 34
// characters, a SHA-512 one 106).
inline constexpr std::size_t hash_size = 384;

// A fresh salt of the given form, from the system's random source: two characters or "$1$"
// and eight, drawn from "0-9a-zA-Z./"; the other forms as the host's library makes them. The
// whole area is zeroed first. False (the area left zeroed) when no salt could be made.
bool set_salt(char salt[salt_size], salt_form form);

// The form a "PasswordHash" value or a tool's "-m" option names: "md5", "sha512" or
// "yescrypt". False for any other text.
bool salt_form_named(const char *name, salt_form *form);

// How many characters a hash of the form has; 0 when the host cannot make one.
std::size_t hash_length_of(salt_form form);

// Hashes password with salt (a salt of set_salt, or a stored hash) into hash. False when the
// hashing function fails or the hash does not fit.
bool hash_password(const char *password, const char *salt, char *hash, std::size_t size);

// True when password hashed with stored_hash as salt gives stored_hash again. A NULL or empty
// stored hash, or one the hashing function refuses, matches no password.
bool password_matches(const char *password, const char *stored_hash);

// ---- Records ------------------------------------------------------------------------------

// The field layout of the two record kinds: list accounts carry an owner and a guest hash,
// host accounts only a guest hash (their owner password is the host's own).
enum class record_layout { list_account, host_account };

// The fields of one record, viewing into the record text; absent fields stay empty. A
// non-empty home directory ends the record; otherwise the three directories follow.
struct account_record {
    std::string_view owner_hash; // list accounts only
    std::string_view guest_hash;
    std::string_view home_dir;
    std::string_view private_dir;
    std::string_view public_dir;
    std::string_view web_dir;
};

// Reads the "!"-terminated fields of record (as search_user_line returned it) that follow the
// name, name_length characters long, and its separator. True when the record is complete: a
// non-empty home directory or the web directory field was reached; false when the fields ran
// out before (a corrupt record).
bool read_record_fields(const char *record, std::size_t name_length, record_layout layout,
                        account_record *fields);

// ---- Writing ------------------------------------------------------------------------------

// What a write did. Each caller prints its own messages.
enum class db_result {
    done,
    aux_file,            // "./tvn_aux_file" could not be created in five attempts
    lock,                // the temporary file or the database could not be locked
    open_database,       // the database could not be opened; errno tells why
    no_record,           // no record of the user
    field1_unterminated, // field 1, to be kept, is not ended by the separator
    field_unterminated,  // the field to be replaced is not ended by the separator
    no_memory,
    invalid_value, // the new text holds a line feed or the separator
    write_failed,  // writing, keeping mode and owner, or the rename failed
    name_taken,    // the database holds a record of the name already
};

// Appends one record line (a line feed is added unless it ends in one) to the database at
// path, creating the file when it is missing, in one write under the database's lock. A new
// database gets mode 0600: its hashes are nobody else's to read. A line with any other line
// feed is refused.
db_result append_record(const char *path, const char *line);

// The same for a new user's record, which must begin with name and "!": appended only when the
// database holds no record of name (letter case ignored), else name_taken. The search runs
// under the lock that the write holds, so of two appends of one name only one succeeds.
// invalid_value when the line does not begin with name and "!" or name can be no record's name.
db_result append_new_record(const char *path, const char *line, const char *name);

// One field replacement: in the record of user, field 1 (the hash after the name) or field 2
// (field 1 kept) becomes new_text. separator ends the fields: "!" for account databases, ":"
// for the host's shadow file. match says which record is the user's.
struct field_change {
    const char *path;
    const char *user;
    int field; // 1 or 2
    char separator;
    const char *new_text;
    name_match match;
};

// The claim of "./tvn_aux_file" in the working directory: a marker, created exclusively and
// never written, whose existence excludes every other rewriter working in the same directory.
// The password tools claim it before they ask for the new password; the modules let
// replace_field claim it.
class aux_file_claim {
public:
    aux_file_claim() = default;
    ~aux_file_claim() { release(); }
    aux_file_claim(const aux_file_claim &) = delete;
    aux_file_claim &operator=(const aux_file_claim &) = delete;

    // Sets the file-creation mask to 022, creates the file exclusively (mode 0644; up to five
    // attempts, one second apart) and locks it. done, aux_file or lock.
    db_result acquire();
    bool held() const { return fd_ >= 0; }
    // Unlocks, removes and closes it; nothing when not held.
    void release();

private:
    int fd_ = -1;
};

// Rewrites change.path with the field replaced. The new contents go to a file created
// exclusively, with an unpredictable name and mode 0600, in the directory of the file the
// path names (symbolic links resolved: for /etc/shadow, /etc itself), so the database may lie
// on any file system; that file takes the old one's mode, owner and group through its
// descriptor, is synced and renamed over the database, and the directory is synced. The
// database is locked from before it is read until the rename is done. On every result the
// claim has ended; on any result but done the new file is gone and the database unchanged.
db_result replace_field(aux_file_claim &claim, const field_change &change);

// The same, claiming "./tvn_aux_file" first.
db_result replace_field(const field_change &change);

// How the names of the new files of the database named database_name (its name in its
// directory) begin: ".tvn_new.", a tag of the name, ".". A rewrite removes what such files a
// rewriter killed in the middle left, under the database's lock.
std::string new_file_name_prefix(const char *database_name);
