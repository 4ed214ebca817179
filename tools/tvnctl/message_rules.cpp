// The table of configuration messages (texts as the server and the modules print them).
#include "message_rules.h"

#include <array>

namespace tvnctl {

namespace {

using enum message_scope;
using enum line_finder;

constexpr std::array rules{
    // The Server section.
    message_rule{"Unknown field %s, control your server configuration file", server, key, {}, 1},
    message_rule{"ip address %s not valid", server, key, "AddIpAddress", 0, 1},
    message_rule{"ServerPort %s is not a port number (1 to 65535)", server, key, "ServerPort", 0, 1},
    message_rule{"ListenBacklog %s must be at least 1", server, key, "ListenBacklog", 0, 1},
    message_rule{"TolvaneServer configuration: user %s does't exist, please create it", server, key,
                 "RestrictedUser", 0, 1},
    message_rule{"TolvaneServer configuration: group %s does't exist, please create it", server,
                 key, "RestrictedGroup", 0, 1},
    message_rule{"<Server> section is badly closed", server, server_badly_closed},
    message_rule{"You have to specify a group or an user for restricted version", server, key,
                 "Restricted", 0, 0, "Enabled"},
    message_rule{"Too many modules: at most %s LoadModule lines are allowed", server,
                 load_module_past_limit, {}, 1},
    // The loader.
    message_rule{"Can't load congiguration lib %s", module, load_module},
    message_rule{"Can't load congiguration function %s", module, load_module},
    message_rule{"I can't find <module %s> section, I can't go on", module, load_module, {}, 0, 0,
                 {}, 1},
    // The modules' sections.
    message_rule{"Unknown field %s", module, key, {}, 1},
    message_rule{"Invalid value %s  for %s", module, key, {}, 2, 1},
    message_rule{"You have already inserted field 'PasswdFile'", module, repeated_passwd_file},
    message_rule{"Keep attention, field 'PasswdFile' inserted two times.", module,
                 repeated_passwd_file},
    message_rule{"Domain section badly closed", module, domain_badly_closed},
    message_rule{"Module %s: can't read PasswdFile field, please insert one", module,
                 domain_without_passwd_file, {}, 0, 0, {}, 1},
    message_rule{"unix_auth_sys module: passwd_file field is not specified.", module,
                 domain_without_passwd_file},
    message_rule{"Module %s: user 'nobody' does't exist, please create it", module, key, "TvnUser",
                 0, 0, {}, 1},
    message_rule{"Module %s: user %s does't exist, please create it", module, key, "TvnUser", 0, 2,
                 {}, 1},
    message_rule{"Module %s: group %s does't exist, please create it", module, key, "TvnGroup", 0,
                 2, {}, 1},
    message_rule{"Module %s: section not complete", module, stray_module_line, {}, 0, 0, {}, 1},
    message_rule{"Module %s: unknown filed %s", module, key, {}, 2, 0, {}, 1},
    message_rule{"warning: %s: the account database %s cannot be read: %s: nobody of this domain "
                 "can log in",
                 module, key, "PasswdFile", 0, 2, {}, 1},
    message_rule{"warning: %s: password changes are enabled, but the service account (uid %s) "
                 "cannot write %s: every change of %s will fail",
                 module, key, "PasswdFile", 0, 4, {}, 1},
};

constexpr std::string_view HOLE = "%s";

bool match_from(std::string_view pattern, std::string_view text,
                std::vector<std::string> &captures) {
    const size_t hole = pattern.find(HOLE);
    if (hole == std::string_view::npos) return pattern == text;
    if (text.substr(0, hole) != pattern.substr(0, hole)) return false;
    pattern.remove_prefix(hole + HOLE.size());
    text.remove_prefix(hole);
    const size_t next_hole = pattern.find(HOLE);
    if (next_hole == std::string_view::npos) {
        // The last variable part: the fixed text that is left must end the line.
        if (text.size() < pattern.size() || text.substr(text.size() - pattern.size()) != pattern)
            return false;
        captures.emplace_back(text.substr(0, text.size() - pattern.size()));
        return true;
    }
    // The capture ends where the pattern's next fixed text begins: try each such place.
    const std::string_view fixed = pattern.substr(0, next_hole);
    for (size_t end = text.find(fixed); end != std::string_view::npos;
         end = text.find(fixed, end + 1)) {
        captures.emplace_back(text.substr(0, end));
        if (match_from(pattern, text.substr(end), captures)) return true;
        captures.pop_back();
    }
    return false;
}

} // namespace

bool match_pattern(std::string_view pattern, std::string_view text,
                   std::vector<std::string> &captures) {
    captures.clear();
    return match_from(pattern, text, captures);
}

std::optional<rule_match> match_message(std::string_view line, message_scope scope) {
    // Some messages end in a blank that says nothing.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
    rule_match match;
    for (const message_rule &rule : rules) {
        if (rule.scope != scope || !match_pattern(rule.pattern, line, match.captures)) continue;
        match.rule = &rule;
        return match;
    }
    return std::nullopt;
}

} // namespace tvnctl
