// Reading the command and its options.
#include "command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tvnctl {

namespace {

struct command_name {
    std::string_view name;
    command what;
    bool takes_drain;
    bool takes_timeout;
    bool takes_tvn;
};

constexpr command_name commands[] = {
    {"start", command::start, false, true, true},  {"stop", command::stop, true, true, false},
    {"check", command::check, false, true, false}, {"status", command::status, false, false, false},
    {"run", command::run, false, false, false},
};

bool read_seconds(const char *text, int *seconds) {
    errno = 0;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 86400) return false;
    *seconds = int(value);
    return true;
}

} // namespace

bool parse_command_line(int argc, char **argv, invocation *parsed, std::string *error) {
    if (argc < 2) {
        *error = "a command is missing";
        return false;
    }
    const command_name *found = nullptr;
    for (const command_name &entry : commands)
        if (entry.name == argv[1]) found = &entry;
    if (found == nullptr) {
        *error = std::string("unknown command ") + argv[1];
        return false;
    }
    parsed->what = found->what;
    bool options_ended = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options_ended && arg == "--") {
            options_ended = true;
        } else if (!options_ended && arg.size() > 1 && arg.front() == '-') {
            const size_t equals = arg.find('=');
            const std::string_view name = arg.substr(0, equals);
            const bool inline_value = equals != std::string_view::npos;
            if (name == "--drain" && found->takes_drain && !inline_value) {
                parsed->drain = true;
            } else if ((name == "--timeout" && found->takes_timeout) ||
                       (name == "--tvn" && found->takes_tvn)) {
                const char *value =
                    inline_value ? argv[i] + equals + 1 : (i + 1 < argc ? argv[++i] : nullptr);
                if (value == nullptr) {
                    *error = "option " + std::string(name) + " needs a value";
                    return false;
                }
                if (name == "--tvn") {
                    parsed->tvn = value;
                } else if (!read_seconds(value, &parsed->timeout_seconds)) {
                    *error = std::string("--timeout takes whole seconds from 1, not ") + value;
                    return false;
                }
            } else {
                *error = std::string("option ") + argv[i] + " is not one of " + argv[1] + "'s";
                return false;
            }
        } else if (parsed->root == nullptr) {
            parsed->root = argv[i];
        } else {
            *error = std::string("one root only: ") + argv[i] + " is one too many";
            return false;
        }
    }
    return true;
}

} // namespace tvnctl
