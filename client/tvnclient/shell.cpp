// The shell's loop. Each command runs holding the session's mutex, so the keep-alive thread
// only ever talks between commands; so does completion, whose remote listings are kept until
// a command of the shell changes the directory.
#include "shell.h"

#include <filesystem>
#include <mutex>

#include "completion.h"
#include "interrupt.h"
#include "keepalive.h"
#include "line_reader.h"
#include "remote_ops.h"

namespace tvnclient {

namespace {

problem run_line(command_context &context, const std::vector<std::string> &words) {
    const command_info *entry = nullptr;
    command_line parsed;
    if (problem failed = prepare_command(words, true, entry, parsed)) return failed;
    if (entry == nullptr) return {}; // --help
    if (entry->needs != command_needs::nothing) {
        if (context.remote.closed_by_server()) context.remote.drop();
        if (!context.remote.is_open())
            return make_problem(exit_status::connection, "", "server closed the connection");
    }
    return entry->run(context, parsed);
}

// A remote directory's names for completion, asked between commands like any request.
bool remote_names(command_context &context, const std::string &directory,
                  std::vector<name_entry> &names) {
    std::lock_guard talking(context.remote.mutex());
    if (!context.remote.is_open()) return false;
    std::vector<tvn_client::listing_entry> entries;
    const problem failed = list_directory(context.remote, directory, entries);
    if (failed.status == exit_status::connection || failed.status == exit_status::interrupted)
        return false;
    // A refusal is kept as an empty listing: asking again would be refused again.
    names.clear();
    for (auto &entry : entries) names.push_back({std::move(entry.name), entry.is_dir});
    return true;
}

bool local_names(const std::string &directory, std::vector<name_entry> &names) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator walk(directory, error);
    if (error) return false;
    names.clear();
    for (const fs::directory_entry &entry : walk) {
        std::error_code unknown;
        names.push_back({entry.path().filename().string(), entry.is_directory(unknown)});
    }
    return true;
}

// TAB in the shell: remote names through the session's cache, local ones as they are now.
void offer_completion(line_reader &reader, command_context &context, listing_cache &cache,
                      const std::vector<std::string_view> &commands) {
    reader.set_completer([&context, &cache, &commands](std::string_view typed) {
        completion_sources sources;
        sources.cwd = context.cwd;
        sources.remote_cache = &cache;
        sources.remote = [&context](const std::string &directory, std::vector<name_entry> &names) {
            return remote_names(context, directory, names);
        };
        sources.local = local_names;
        sources.commands = commands;
        return complete_line(typed, sources);
    });
}

std::vector<std::string_view> shell_command_names() {
    std::vector<std::string_view> names;
    for (const command_info &entry : command_table())
        if (entry.name != "shell") names.push_back(entry.name);
    names.push_back("quit");
    return names;
}

} // namespace

problem split_words(std::string_view line, std::vector<std::string> &words) {
    words.clear();
    std::string word;
    bool in_word = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            continue;
        }
        if (c == '#' && !in_word) break;
        in_word = true;
        if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) return usage_error("unterminated quote");
            word += line.substr(i + 1, close - i - 1);
            i = close;
        } else if (c == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\'))
                    ++i;
                word += line[i];
            }
            if (i >= line.size()) return usage_error("unterminated quote");
        } else {
            word += c;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return {};
}

int run_shell(command_context &context) {
    context.in_shell = true;
    listing_cache listings;
    const std::vector<std::string_view> commands = shell_command_names();
    line_reader reader;
    offer_completion(reader, context, listings, commands);
    keepalive_thread keepalive(context.remote);
    problem last_failure;
    std::string line;
    std::vector<std::string> words;
    while (!context.leave) {
        clear_interrupt();
        const auto got = reader.read("tvn:" + printable(context.cwd) + "> ", line);
        if (got == line_reader::result::end) break;
        if (got == line_reader::result::interrupted) {
            if (reader.interactive()) continue;
            last_failure = make_problem(exit_status::interrupted, "", "interrupted");
            break;
        }
        problem outcome = split_words(line, words);
        if (!outcome && words.empty()) continue;
        bool connected = true;
        {
            std::lock_guard talking(context.remote.mutex());
            const std::string cwd = context.cwd;
            if (!outcome) outcome = run_line(context, words);
            connected = context.remote.is_open();
            // Whatever the command may have changed is listed afresh at the next TAB.
            if (!outcome || outcome.status != exit_status::usage)
                for (const std::string &path : paths_changed_by(words, cwd)) listings.forget(path);
        }
        std::fflush(stdout);
        if (outcome) {
            report(outcome);
            last_failure = outcome;
        }
        // A session the server ended (not by passwd) ends the shell.
        if (!context.leave && !connected) break;
    }
    if (reader.interactive() && !context.leave) std::fputc('\n', stdout);
    return exit_code(last_failure);
}

} // namespace tvnclient
