// Parsing the program's options.
#include "options.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace tvnclient {

namespace {

// A window below a page would only multiply requests; one past 1 GiB fills no real link better.
constexpr std::size_t min_window = 4096;
constexpr std::size_t max_window = std::size_t{1} << 30;

bool parse_number(std::string_view text, long low, long high, long &value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= low &&
           value <= high;
}

problem apply_value(char option, std::string_view value, program_options &options) {
    long number = 0;
    switch (option) {
    case 'H':
        if (value.empty()) return usage_error("-H: an empty host");
        options.login.host = value;
        return {};
    case 'p':
        if (!parse_number(value, 1, 65535, number))
            return usage_error("-p: not a port number: " + std::string(value));
        options.login.port = static_cast<std::uint16_t>(number);
        return {};
    case 'u':
        if (problem failed = check_login(value, "-u")) return failed;
        options.login.login = value;
        return {};
    default: // 't'
        if (!parse_number(value, 1, 86400, number))
            return usage_error("-t: not a number of seconds (1 to 86400): " + std::string(value));
        options.login.timeout = std::chrono::seconds(number);
        return {};
    }
}

bool is_tls_option(std::string_view word) {
    return word == "--tls" || word == "--accept-new" || word == "--ca" || word.starts_with("--ca=");
}

// A window's size: a count of bytes, or of K, M or G (1024, 1024 * 1024, ...).
bool parse_window(std::string_view text, std::size_t &bytes) {
    std::size_t unit = 1;
    if (!text.empty()) {
        const std::string_view units = "KMG";
        if (const std::size_t at = units.find(text.back()); at != std::string_view::npos) {
            unit = std::size_t{1} << (10 * (at + 1));
            text.remove_suffix(1);
        }
    }
    long count = 0;
    if (!parse_number(text, 1, long(max_window / unit), count)) return false;
    bytes = std::size_t(count) * unit;
    return bytes >= min_window && bytes <= max_window;
}

// --window BYTES (or --window=BYTES).
problem apply_window_option(std::string_view word, int argc, char **argv, int &at,
                            program_options &options) {
    std::string_view value;
    if (word == "--window") {
        if (++at >= argc) return usage_error("--window: needs a size");
        value = argv[at];
    } else {
        value = word.substr(word.find('=') + 1);
    }
    if (!parse_window(value, options.login.window))
        return usage_error("--window: not a size from 4K to 1G: " + std::string(value));
    return {};
}

// --tls, --accept-new, and --ca FILE (or --ca=FILE), which implies --tls.
problem apply_tls_option(std::string_view word, int argc, char **argv, int &at,
                         program_options &options) {
    if (word == "--tls") {
        options.login.tls = true;
    } else if (word == "--accept-new") {
        options.login.accept_new = true;
    } else {
        std::string_view file = word.substr(4);
        if (word == "--ca") {
            if (++at >= argc) return usage_error("--ca: needs a file");
            file = argv[at];
        } else {
            file.remove_prefix(1);
        }
        if (file.empty()) return usage_error("--ca: an empty file name");
        options.login.ca_file = file;
        options.login.tls = true;
    }
    return {};
}

} // namespace

problem check_login(std::string_view login, std::string_view origin) {
    // The server would take a login without a domain as "anonymous" in a domain of that
    // name: not what someone who typed a user name means.
    const std::size_t at = login.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == login.size())
        return usage_error(std::string(origin) + ": '" + std::string(login) +
                           "' is not a login: give USER@DOMAIN");
    return {};
}

problem parse_program_options(int argc, char **argv, program_options &options) {
    if (const char *user = std::getenv("TVN_USER")) options.login.login = user;
    if (const char *tls = std::getenv("TVN_TLS")) options.login.tls = std::string_view(tls) == "1";
    int at = 1;
    for (; at < argc; ++at) {
        const std::string_view word = argv[at];
        if (word == "--") {
            ++at;
            break;
        }
        if (word == "--help") {
            options.show_help = true;
            continue;
        }
        if (word == "--version") {
            options.show_version = true;
            continue;
        }
        if (is_tls_option(word)) {
            if (problem failed = apply_tls_option(word, argc, argv, at, options)) return failed;
            continue;
        }
        if (word == "--window" || word.starts_with("--window=")) {
            if (problem failed = apply_window_option(word, argc, argv, at, options)) return failed;
            continue;
        }
        if (word.size() < 2 || word[0] != '-') break;
        if (word[1] == '-') return usage_error("unknown option " + std::string(word));
        // Flags may be written together (-xq); an option with a value takes the rest of the
        // word or the next one (-p7070, -p 7070).
        for (std::size_t i = 1; i < word.size(); ++i) {
            const char option = word[i];
            if (option == 'x')
                options.long_listing = true;
            else if (option == 'q')
                options.quiet = true;
            else if (option == 'h')
                options.show_help = true;
            else if (std::string_view("Hput").find(option) != std::string_view::npos) {
                std::string_view value = word.substr(i + 1);
                if (value.empty()) {
                    if (++at >= argc)
                        return usage_error(std::string("-") + option + ": needs a value");
                    value = argv[at];
                }
                if (problem failed = apply_value(option, value, options)) return failed;
                break;
            } else {
                return usage_error(std::string("unknown option -") + option);
            }
        }
    }
    for (; at < argc; ++at) options.words.emplace_back(argv[at]);
    return {};
}

} // namespace tvnclient
