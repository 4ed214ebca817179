// Parsing tvnmount's command line.
#include "mount_options.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace tvnmount {

namespace {

using tvnclient::problem;
using tvnclient::usage_error;

std::optional<long> whole_number(std::string_view text, long low, long high) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// Seconds with an optional fraction ("1", "0.5"), 0 to a day, as milliseconds.
std::optional<std::chrono::milliseconds> seconds_value(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= 0) ||
        value > 86400)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(value * 1000 + 0.5));
}

bool is_directory(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The value of a short option: the rest of the word (-p7070) or the next word.
problem short_value(int argc, char **argv, int &at, std::string_view word,
                    std::string_view &value) {
    value = word.substr(2);
    if (!value.empty()) return {};
    if (++at >= argc) return usage_error(std::string(word.substr(0, 2)) + ": needs a value");
    value = argv[at];
    return {};
}

problem apply_short(char option, std::string_view value, mount_options &options,
                    bool &login_given) {
    switch (option) {
    case 'H':
        if (value.empty()) return usage_error("-H: an empty host");
        options.login.host = value;
        return {};
    case 'p':
        if (const auto port = whole_number(value, 1, 65535)) {
            options.login.port = static_cast<std::uint16_t>(*port);
            return {};
        }
        return usage_error("-p: not a port number: " + std::string(value));
    case 'u':
        if (value.empty() || value.front() == '@')
            return usage_error("-u: a login looks like USER@DOMAIN");
        options.login.login = value;
        login_given = true;
        return {};
    case 't':
        if (const auto seconds = whole_number(value, 1, 86400)) {
            options.login.timeout = std::chrono::seconds(*seconds);
            return {};
        }
        return usage_error("-t: not a number of seconds (1 to 86400): " + std::string(value));
    default: // 'o'
        if (value.empty()) return usage_error("-o: empty mount options");
        options.fuse_options.emplace_back(value);
        return {};
    }
}

// A long option with a value: "--name VALUE" or "--name=VALUE".
problem long_value(int argc, char **argv, int &at, std::string_view word, std::string_view name,
                   std::string_view &value) {
    if (word.size() > name.size()) {
        value = word.substr(name.size() + 1);
        return {};
    }
    if (++at >= argc) return usage_error(std::string(name) + ": needs a value");
    value = argv[at];
    return {};
}

// Options that take a value, by name.
problem apply_long(std::string_view name, std::string_view value, mount_options &options) {
    if (name == "--ca") {
        if (value.empty()) return usage_error("--ca: an empty file name");
        options.login.ca_file = value;
        options.login.tls = true;
        return {};
    }
    if (name == "--unmount") {
        if (value.empty()) return usage_error("--unmount: an empty mount point");
        options.unmount = value;
        return {};
    }
    if (name == "--sessions") {
        const auto count = whole_number(value, 1, long(most_sessions));
        if (!count)
            return usage_error("--sessions: not a number from 1 to " +
                               std::to_string(most_sessions) + ": " + std::string(value));
        options.sessions = std::size_t(*count);
        return {};
    }
    if (name == "--cache-level") {
        const auto level = whole_number(value, 0, 4);
        if (!level) return usage_error("--cache-level: not a level from 0 to 4: " + std::string(value));
        options.cache.level = int(*level);
        return {};
    }
    if (name == "--write-back") {
        const auto bytes = whole_number(value, 0, long(most_write_back));
        if (!bytes)
            return usage_error("--write-back: not a number of bytes from 0 to " +
                               std::to_string(most_write_back) + ": " + std::string(value));
        options.write_back = std::size_t(*bytes);
        return {};
    }
    if (name == "--kernel-read-ahead") {
        const auto kib = whole_number(value, 0, long(most_kernel_read_ahead_kib));
        if (!kib)
            return usage_error("--kernel-read-ahead: not a number of KiB from 0 to " +
                               std::to_string(most_kernel_read_ahead_kib) + ": " +
                               std::string(value));
        options.kernel_read_ahead_kib = std::size_t(*kib);
        options.kernel_read_ahead_given = true;
        return {};
    }
    if (name == "--read-ahead") {
        if (value == "auto")
            options.read_ahead = read_ahead_mode::automatic;
        else if (value == "always")
            options.read_ahead = read_ahead_mode::always;
        else if (value == "never")
            options.read_ahead = read_ahead_mode::never;
        else
            return usage_error("--read-ahead: auto, always or never, not " + std::string(value));
        return {};
    }
    const auto seconds = seconds_value(value);
    if (!seconds)
        return usage_error(std::string(name) + ": not a number of seconds (0 to 86400): " +
                           std::string(value));
    if (name == "--attr-timeout")
        options.cache.attributes = *seconds;
    else
        options.cache.entries = *seconds;
    return {};
}

constexpr std::string_view valued_long_options[] = {
    "--ca",         "--unmount",           "--sessions",     "--cache-level",  "--write-back",
    "--read-ahead", "--kernel-read-ahead", "--attr-timeout", "--entry-timeout"};

// The option among valued_long_options that `word` spells, alone or with "=VALUE".
std::string_view valued_long_option(std::string_view word) {
    for (std::string_view name : valued_long_options)
        if (word == name || (word.starts_with(name) && word.size() > name.size() &&
                             word[name.size()] == '='))
            return name;
    return {};
}

problem apply_word(int argc, char **argv, int &at, mount_options &options, bool &login_given,
                   std::vector<std::string> &positional) {
    const std::string_view word = argv[at];
    if (word == "--help" || word == "-h") {
        options.show_help = true;
    } else if (word == "--version") {
        options.show_version = true;
    } else if (word == "--tls") {
        options.login.tls = true;
    } else if (word == "--accept-new") {
        options.login.accept_new = true;
    } else if (word == "--no-page-cache") {
        options.cache.keep_page_cache = false;
    } else if (word == "-f" || word == "--foreground") {
        options.foreground = true;
    } else if (const std::string_view name = valued_long_option(word); !name.empty()) {
        std::string_view value;
        if (problem failed = long_value(argc, argv, at, word, name, value)) return failed;
        return apply_long(name, value, options);
    } else if (word.size() >= 2 && word[0] == '-' && word[1] != '-' &&
               std::string_view("Hputo").find(word[1]) != std::string_view::npos) {
        std::string_view value;
        if (problem failed = short_value(argc, argv, at, word, value)) return failed;
        return apply_short(word[1], value, options, login_given);
    } else if (word.size() >= 2 && word[0] == '-') {
        return usage_error("unknown option " + std::string(word));
    } else {
        positional.emplace_back(word);
    }
    return {};
}

} // namespace

problem parse_mount_options(int argc, char **argv, mount_options &options) {
    if (const char *user = std::getenv("TVN_USER")) options.login.login = user;
    if (const char *tls = std::getenv("TVN_TLS")) options.login.tls = std::string_view(tls) == "1";
    std::vector<std::string> positional;
    bool login_given = false;
    int at = 1;
    for (; at < argc; ++at) {
        if (std::string_view(argv[at]) == "--") {
            ++at;
            break;
        }
        if (problem failed = apply_word(argc, argv, at, options, login_given, positional))
            return failed;
    }
    for (; at < argc; ++at) positional.emplace_back(argv[at]);
    if (options.show_help || options.show_version) return {};
    if (positional.size() > 1) return usage_error("one mount point only: " + positional[1]);
    if (!options.unmount.empty()) {
        if (!positional.empty()) return usage_error("--unmount takes the mount point alone");
        return {};
    }
    if (positional.empty()) {
        if (login_given && is_directory(options.login.login)) {
            options.unmount = options.login.login;
            return {};
        }
        return usage_error("no mount point given");
    }
    options.mount_point = positional.front();
    return {};
}

} // namespace tvnmount
