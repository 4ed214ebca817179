// The table of configuration messages (texts as the server and the modules print them).
#include "message_rules.h"

#include <array>

namespace tvnctl {

namespace {

using enum message_scope;
using enum line_finder;

constexpr std::array rules{
    // The Server section.
    message_rule{.pattern = "Unknown field %s, control your server configuration file",
                 .scope = server,
                 .finder = key,
                 .key_from = 1},
    message_rule{.pattern = "ip address %s not valid",
                 .scope = server,
                 .finder = key,
                 .key = "AddIpAddress",
                 .value_from = 1},
    message_rule{.pattern = "ServerPort %s is not a port number (1 to 65535)",
                 .scope = server,
                 .finder = key,
                 .key = "ServerPort",
                 .value_from = 1},
    message_rule{.pattern = "ListenBacklog %s must be at least 1",
                 .scope = server,
                 .finder = key,
                 .key = "ListenBacklog",
                 .value_from = 1},
    message_rule{.pattern = "TolvaneServer configuration: user %s does't exist, please create it",
                 .scope = server,
                 .finder = key,
                 .key = "RestrictedUser",
                 .value_from = 1},
    message_rule{.pattern = "TolvaneServer configuration: group %s does't exist, please create it",
                 .scope = server,
                 .finder = key,
                 .key = "RestrictedGroup",
                 .value_from = 1},
    message_rule{.pattern = "<Server> section is badly closed",
                 .scope = server,
                 .finder = server_badly_closed},
    message_rule{.pattern = "You have to specify a group or an user for restricted version",
                 .scope = server,
                 .finder = key,
                 .key = "Restricted",
                 .value = "Enabled"},
    message_rule{.pattern = "Too many modules: at most %s LoadModule lines are allowed",
                 .scope = server,
                 .finder = load_module_past_limit,
                 .key_from = 1},
    message_rule{.pattern = "TlsPort %s is not a port number (1 to 65535)",
                 .scope = server,
                 .finder = key,
                 .key = "TlsPort",
                 .value_from = 1},
    message_rule{.pattern = "PlainListening %s must be Enabled or Disabled",
                 .scope = server,
                 .finder = key,
                 .key = "PlainListening",
                 .value_from = 1},
    message_rule{.pattern = "PlainListening Disabled needs a TlsPort: the server would listen "
                            "nowhere",
                 .scope = server,
                 .finder = key,
                 .key = "PlainListening",
                 .value = "Disabled"},
    // A ProxyProtocol line may hold several entries: the first line of the key is named.
    message_rule{.pattern = "ProxyProtocol %s is not an address or a network (such as 10.0.0.5, "
                            "10.0.0.0/24 or fd00::/64)",
                 .scope = server,
                 .finder = key,
                 .key = "ProxyProtocol"},
    message_rule{.pattern = "ProxyProtocol %s: more than %s balancer addresses",
                 .scope = server,
                 .finder = key,
                 .key = "ProxyProtocol"},
    message_rule{.pattern = "ProxyProtocol names no balancer address",
                 .scope = server,
                 .finder = key,
                 .key = "ProxyProtocol"},
    message_rule{.pattern = "ProxyProtocol %s names no balancer address",
                 .scope = server,
                 .finder = key,
                 .key = "ProxyProtocol"},
    // The longer text first: the shorter one would take it too.
    message_rule{.pattern = "Can't use the private key (it does not match the certificate) %s: %s",
                 .scope = server,
                 .finder = key,
                 .key = "TlsKeyFile",
                 .value_from = 1},
    message_rule{.pattern = "Can't use the private key %s: %s",
                 .scope = server,
                 .finder = key,
                 .key = "TlsKeyFile",
                 .value_from = 1},
    message_rule{.pattern = "Can't use the certificate chain %s: %s",
                 .scope = server,
                 .finder = key,
                 .key = "TlsCertificateFile",
                 .value_from = 1},
    // The loader.
    message_rule{
        .pattern = "Can't load congiguration lib %s", .scope = module, .finder = load_module},
    message_rule{
        .pattern = "Can't load congiguration function %s", .scope = module, .finder = load_module},
    message_rule{.pattern = "I can't find <module %s> section, I can't go on",
                 .scope = module,
                 .finder = load_module,
                 .section_from = 1},
    // The modules' sections.
    message_rule{.pattern = "Unknown field %s", .scope = module, .finder = key, .key_from = 1},
    message_rule{.pattern = "Invalid value %s  for %s",
                 .scope = module,
                 .finder = key,
                 .key_from = 2,
                 .value_from = 1},
    message_rule{.pattern = "You have already inserted field 'PasswdFile'",
                 .scope = module,
                 .finder = repeated_passwd_file},
    message_rule{.pattern = "Keep attention, field 'PasswdFile' inserted two times.",
                 .scope = module,
                 .finder = repeated_passwd_file},
    message_rule{
        .pattern = "Domain section badly closed", .scope = module, .finder = domain_badly_closed},
    message_rule{.pattern = "Module %s: can't read PasswdFile field, please insert one",
                 .scope = module,
                 .finder = domain_without_passwd_file,
                 .section_from = 1},
    message_rule{.pattern = "unix_auth_sys module: passwd_file field is not specified.",
                 .scope = module,
                 .finder = domain_without_passwd_file},
    message_rule{.pattern = "Module %s: user 'nobody' does't exist, please create it",
                 .scope = module,
                 .finder = key,
                 .key = "TvnUser",
                 .section_from = 1},
    message_rule{.pattern = "Module %s: user %s does't exist, please create it",
                 .scope = module,
                 .finder = key,
                 .key = "TvnUser",
                 .value_from = 2,
                 .section_from = 1},
    message_rule{.pattern = "Module %s: group %s does't exist, please create it",
                 .scope = module,
                 .finder = key,
                 .key = "TvnGroup",
                 .value_from = 2,
                 .section_from = 1},
    message_rule{.pattern = "Module %s: section not complete",
                 .scope = module,
                 .finder = stray_module_line,
                 .section_from = 1},
    message_rule{.pattern = "Module %s: unknown filed %s",
                 .scope = module,
                 .finder = key,
                 .key_from = 2,
                 .section_from = 1},
    message_rule{.pattern = "warning: %s: the account database %s cannot be read: %s: nobody of "
                            "this domain can log in",
                 .scope = module,
                 .finder = key,
                 .key = "PasswdFile",
                 .value_from = 2,
                 .section_from = 1},
    message_rule{.pattern = "warning: %s: password changes are enabled, but the service account "
                            "(uid %s) cannot write %s: every change of %s will fail",
                 .scope = module,
                 .finder = key,
                 .key = "PasswdFile",
                 .value_from = 4,
                 .section_from = 1},
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
