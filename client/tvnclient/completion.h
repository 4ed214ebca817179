// Completion in the shell, the pure part: which word the cursor ends, what kind of name that
// word wants, the names that fit it, and the text that completes them, quoted as the shell
// reads its words. Listings come from the caller; the cache keeps the remote ones for the
// session. Nothing here talks to a server or a terminal.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tvnclient {

// The word the cursor ends, as the shell will read it (quotes and backslashes taken away).
struct word_at_cursor {
    std::vector<std::string> before; // the whole words before it: the command first
    std::string text;                // the word up to the cursor; empty at a blank
    char open_quote = 0;             // '\'' or '"' when the cursor is inside quotes
};

// Empty when nothing is to be completed there: the cursor is in a comment.
std::optional<word_at_cursor> word_before_cursor(std::string_view typed);

enum class name_kind { none, command, remote, remote_directory, local, local_directory };

// What the word after `before` (the command, then its arguments) names: a command for the
// first word, then per command and operand: remote paths for ls, cat, mkdir, rm, mv and cp,
// remote directories for cd and rmdir, a remote then a local path for get, a local then a
// remote path for put, a local directory for lcd, a command for help. A word beginning with
// "-" is a flag: none.
name_kind kind_of_word(std::span<const std::string> before, std::string_view word);

struct name_entry {
    std::string name;
    bool is_dir = false;
};

// The entries whose names begin with `prefix`, sorted by name. Names beginning with "." come
// only when the prefix does; names holding control characters never (they cannot be typed).
std::vector<name_entry> matching_names(std::span<const name_entry> entries, std::string_view prefix,
                                       bool directories_only);

// What TAB does: text to insert at the cursor, or, when several names fit and no letter can
// be added, the names to show (directories ending in "/"). Both empty: nothing fits.
struct completion {
    std::string insert;
    std::vector<std::string> choices;
};

// The completion of `prefix` (the part of the word after its last "/") among `matches`,
// quoted for a word in `open_quote`: one name is completed whole, with "/" after a directory
// and a closing quote and a blank after anything else; several are completed as far as they
// agree.
completion complete_among(std::span<const name_entry> matches, std::string_view prefix,
                          char open_quote);

// The names of a directory. True with the names (none, when the directory cannot be listed
// for a refusal); false when no answer could be had, so that nothing is kept.
using name_source = std::function<bool(const std::string &directory, std::vector<name_entry> &)>;

// Listings of remote directories, one per directory, kept for the session.
class listing_cache {
public:
    // The names of `directory` (resolved), fetched through `fetch` the first time. "/" holds
    // the three areas and is never fetched. False when `fetch` could not list it.
    bool names(const std::string &directory, const name_source &fetch,
               std::vector<name_entry> &out);
    // Forgets what a change of `path` (resolved) may have made stale: its own listing, every
    // listing below it and those of the directories above it.
    void forget(std::string_view path);
    bool holds(std::string_view directory) const;

private:
    std::map<std::string, std::vector<name_entry>, std::less<>> listings_;
};

// The remote paths (resolved) that a shell command may have changed: the remote operands of
// mkdir, rm, rmdir, mv, cp and put (put without one: the working directory). `words` is the
// command line as the shell split it.
std::vector<std::string> paths_changed_by(std::span<const std::string> words, std::string_view cwd);

// Everything TAB needs for one line: the word at the cursor, its kind and the names, remote
// ones through the cache. `typed` is the line up to the cursor; `cwd` the remote working
// directory; `commands` the names a first word may take.
struct completion_sources {
    std::string_view cwd;
    listing_cache *remote_cache = nullptr;
    name_source remote;
    name_source local;
    std::span<const std::string_view> commands;
};
completion complete_line(std::string_view typed, const completion_sources &sources);

} // namespace tvnclient
