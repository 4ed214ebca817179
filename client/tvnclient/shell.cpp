// The shell's loop. Each command runs holding the session's mutex, so the keep-alive thread
// only ever talks between commands.
#include "shell.h"

#include <mutex>

#include "interrupt.h"
#include "keepalive.h"
#include "line_reader.h"

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
    line_reader reader;
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
            if (!outcome) outcome = run_line(context, words);
            connected = context.remote.is_open();
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
