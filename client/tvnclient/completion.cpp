// Completion in the shell: words, kinds of names, matching, quoting and the listing cache.
#include "completion.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "remote_path.h"

namespace tvnclient {

namespace {

// What the operands of a command name: the first two by position, any further ones alike.
struct operand_kinds {
    std::string_view command;
    name_kind first;
    name_kind second;
    name_kind further;
};

constexpr name_kind remote = name_kind::remote;
constexpr name_kind local = name_kind::local;
constexpr name_kind none = name_kind::none;

constexpr std::array operand_table{
    operand_kinds{"ls", remote, remote, remote},
    operand_kinds{"cd", name_kind::remote_directory, none, none},
    operand_kinds{"cat", remote, remote, remote},
    operand_kinds{"mkdir", remote, remote, remote},
    operand_kinds{"rm", remote, remote, remote},
    operand_kinds{"rmdir", name_kind::remote_directory, name_kind::remote_directory,
                  name_kind::remote_directory},
    operand_kinds{"mv", remote, remote, none},
    operand_kinds{"cp", remote, remote, none},
    operand_kinds{"get", remote, local, none},
    operand_kinds{"put", local, remote, none},
    operand_kinds{"lcd", name_kind::local_directory, none, none},
    operand_kinds{"help", name_kind::command, none, none},
};

// The commands whose remote operands the server may have changed afterwards.
constexpr std::array<std::string_view, 6> changing_commands{"mkdir", "rm", "rmdir",
                                                            "mv",    "cp", "put"};

const operand_kinds *kinds_of(std::string_view command) {
    for (const auto &entry : operand_table)
        if (entry.command == command) return &entry;
    return nullptr;
}

name_kind kind_at(const operand_kinds &kinds, std::size_t index) {
    if (index == 0) return kinds.first;
    if (index == 1) return kinds.second;
    return kinds.further;
}

// Flags are the words beginning with "-" (but "-" itself) until "--".
std::vector<std::string_view> operands_of(std::span<const std::string> arguments) {
    std::vector<std::string_view> operands;
    bool options_over = false;
    for (const std::string &word : arguments) {
        if (options_over || word.size() < 2 || word[0] != '-')
            operands.push_back(word);
        else if (word == "--")
            options_over = true;
    }
    return operands;
}

bool has_control_character(std::string_view name) {
    return std::any_of(name.begin(), name.end(),
                       [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; });
}

// `text` as it must be typed to reach the shell's words unchanged, inside `open_quote`.
std::string quoted(std::string_view text, char open_quote) {
    std::string typed;
    for (char c : text) {
        if (open_quote == '\'') {
            typed += c == '\'' ? std::string("'\\''") : std::string(1, c);
        } else if (open_quote == '"') {
            if (c == '"' || c == '\\') typed += '\\';
            typed += c;
        } else {
            if (c == ' ' || c == '\t' || c == '\'' || c == '"' || c == '\\' || c == '#')
                typed += '\\';
            typed += c;
        }
    }
    return typed;
}

std::string common_prefix(std::span<const name_entry> entries) {
    std::string prefix = entries.front().name;
    for (const name_entry &entry : entries.subspan(1)) {
        const auto differ =
            std::mismatch(prefix.begin(), prefix.end(), entry.name.begin(), entry.name.end());
        prefix.erase(differ.first, prefix.end());
    }
    return prefix;
}

// The cache's key: the area spelt as the server lists it, so that /public/x and /Public/x
// are one directory, as they are on the server.
std::string cache_key(std::string_view path) {
    const std::string_view area = area_of(path);
    if (area.empty()) return std::string(path);
    const std::size_t rest = path.find('/', 1);
    return "/" + std::string(area) +
           std::string(rest == std::string_view::npos ? std::string_view{} : path.substr(rest));
}

std::vector<name_entry> area_entries() {
    return {{"Private", true}, {"Public", true}, {"Web", true}};
}

} // namespace

std::optional<word_at_cursor> word_before_cursor(std::string_view typed) {
    word_at_cursor found;
    bool in_word = false;
    char quote = 0;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        const char c = typed[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                found.text += c;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '\\' && i + 1 < typed.size() &&
                     (typed[i + 1] == '"' || typed[i + 1] == '\\'))
                found.text += typed[++i];
            else
                found.text += c;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (in_word) found.before.push_back(std::move(found.text));
            found.text.clear();
            in_word = false;
        } else if (c == '#' && !in_word) {
            return std::nullopt;
        } else {
            in_word = true;
            if (c == '\\') {
                if (i + 1 < typed.size()) found.text += typed[++i];
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else {
                found.text += c;
            }
        }
    }
    found.open_quote = quote;
    return found;
}

name_kind kind_of_word(std::span<const std::string> before, std::string_view word) {
    if (before.empty()) return name_kind::command;
    if (word.size() > 1 && word[0] == '-') return name_kind::none;
    const operand_kinds *kinds = kinds_of(before.front());
    if (kinds == nullptr) return name_kind::none;
    // After "--" a word beginning with "-" is an operand too, but a flag is the likelier
    // wish, and flags are not completed.
    return kind_at(*kinds, operands_of(before.subspan(1)).size());
}

std::vector<name_entry> matching_names(std::span<const name_entry> entries, std::string_view prefix,
                                       bool directories_only) {
    std::vector<name_entry> found;
    for (const name_entry &entry : entries) {
        if (!entry.name.starts_with(prefix) || has_control_character(entry.name)) continue;
        if (entry.name.starts_with('.') && !prefix.starts_with('.')) continue;
        if (directories_only && !entry.is_dir) continue;
        found.push_back(entry);
    }
    std::sort(found.begin(), found.end(),
              [](const name_entry &a, const name_entry &b) { return a.name < b.name; });
    return found;
}

completion complete_among(std::span<const name_entry> matches, std::string_view prefix,
                          char open_quote) {
    completion made;
    if (matches.empty()) return made;
    if (matches.size() == 1) {
        const name_entry &only = matches.front();
        made.insert = quoted(std::string_view(only.name).substr(prefix.size()), open_quote);
        if (only.is_dir) {
            made.insert += '/';
        } else {
            if (open_quote != 0) made.insert += open_quote;
            made.insert += ' ';
        }
        return made;
    }
    const std::string shared = common_prefix(matches);
    if (shared.size() > prefix.size()) {
        made.insert = quoted(std::string_view(shared).substr(prefix.size()), open_quote);
        return made;
    }
    for (const name_entry &entry : matches)
        made.choices.push_back(entry.name + (entry.is_dir ? "/" : ""));
    return made;
}

bool listing_cache::names(const std::string &directory, const name_source &fetch,
                          std::vector<name_entry> &out) {
    if (directory == "/") {
        out = area_entries();
        return true;
    }
    std::string key = cache_key(directory);
    if (auto kept = listings_.find(key); kept != listings_.end()) {
        out = kept->second;
        return true;
    }
    std::vector<name_entry> fetched;
    if (!fetch(directory, fetched)) return false;
    out = fetched;
    listings_.emplace(std::move(key), std::move(fetched));
    return true;
}

void listing_cache::forget(std::string_view path) {
    const std::string key = cache_key(path);
    const std::string below = key == "/" ? key : key + "/";
    for (auto at = listings_.begin(); at != listings_.end();) {
        const bool stale =
            at->first == key || at->first.starts_with(below) ||
            (key.starts_with(at->first) && (at->first == "/" || key[at->first.size()] == '/'));
        at = stale ? listings_.erase(at) : std::next(at);
    }
}

bool listing_cache::holds(std::string_view directory) const {
    return listings_.find(cache_key(directory)) != listings_.end();
}

std::vector<std::string> paths_changed_by(std::span<const std::string> words,
                                          std::string_view cwd) {
    std::vector<std::string> changed;
    if (words.empty()) return changed;
    const std::string_view command = words.front();
    if (std::find(changing_commands.begin(), changing_commands.end(), command) ==
        changing_commands.end())
        return changed;
    const operand_kinds *kinds = kinds_of(command);
    const std::vector<std::string_view> operands = operands_of(words.subspan(1));
    for (std::size_t i = 0; i < operands.size(); ++i) {
        const name_kind kind = kind_at(*kinds, i);
        if (kind == name_kind::remote || kind == name_kind::remote_directory)
            changed.push_back(resolve_remote(cwd, operands[i]));
    }
    if (command == "put" && operands.size() < 2) changed.emplace_back(cwd);
    return changed;
}

completion complete_line(std::string_view typed, const completion_sources &sources) {
    const std::optional<word_at_cursor> word = word_before_cursor(typed);
    if (!word) return {};
    const name_kind kind = kind_of_word(word->before, word->text);
    if (kind == name_kind::none) return {};
    if (kind == name_kind::command) {
        std::vector<name_entry> commands;
        for (std::string_view name : sources.commands)
            commands.push_back({std::string(name), false});
        return complete_among(matching_names(commands, word->text, false), word->text,
                              word->open_quote);
    }
    // The directory part as typed; the name being completed follows its last "/".
    const std::size_t slash = word->text.rfind('/');
    const std::string directory_part =
        slash == std::string::npos ? std::string() : word->text.substr(0, slash + 1);
    const std::string prefix = word->text.substr(directory_part.size());
    std::vector<name_entry> entries;
    const bool on_server = kind == name_kind::remote || kind == name_kind::remote_directory;
    const bool directories_only =
        kind == name_kind::remote_directory || kind == name_kind::local_directory;
    if (on_server) {
        const std::string directory = resolve_remote(sources.cwd, directory_part);
        if (sources.remote_cache == nullptr || !sources.remote ||
            !sources.remote_cache->names(directory, sources.remote, entries))
            return {};
    } else {
        if (!sources.local ||
            !sources.local(directory_part.empty() ? "." : directory_part, entries))
            return {};
    }
    return complete_among(matching_names(entries, prefix, directories_only), prefix,
                          word->open_quote);
}

} // namespace tvnclient
