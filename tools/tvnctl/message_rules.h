// The messages the server and its modules print about a configuration, and what each one
// names: a key, a value, a section, a module's LoadModule line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvnctl {

// Where a message comes from: the reading of the Server section, or the loading of one module
// (the loader and the module's own reading of its section).
enum class message_scope { server, module };

// How the line a message is about is found.
enum class line_finder {
    key,                        // the first line of the section with the key (and value)
    server_badly_closed,        // the "<" line that ends the Server section without closing it
    domain_badly_closed,        // a "<" line inside a VirtualDomain that closes nothing
    repeated_passwd_file,       // the second PasswdFile of a VirtualDomain
    domain_without_passwd_file, // the opening line of the first VirtualDomain without one
    stray_module_line,          // a line of the module section outside its VirtualDomains
    load_module,                // the LoadModule line of the module being loaded
    load_module_past_limit,     // the LoadModule line after the first N (capture key_from)
};

struct message_rule {
    std::string_view pattern; // the message, with %s for each variable part
    message_scope scope;
    line_finder finder;
    std::string_view key = {}; // the key when the message implies it
    int key_from = 0;          // else the capture (from 1) that holds it
    int value_from = 0;        // the capture that holds the value; 0: any value
    std::string_view value = {};
    int section_from = 0; // the capture that names the module's section
};

struct rule_match {
    const message_rule *rule = nullptr;
    std::vector<std::string> captures;

    std::string capture(int number) const {
        return number > 0 && size_t(number) <= captures.size() ? captures[size_t(number) - 1] : "";
    }
};

// The first rule of the scope whose pattern the whole line matches.
std::optional<rule_match> match_message(std::string_view line, message_scope scope);

// Matches text against a pattern whose "%s" stand for any text (the shortest that lets the
// rest match); the variable parts go to captures.
bool match_pattern(std::string_view pattern, std::string_view text,
                   std::vector<std::string> &captures);

} // namespace tvnctl
