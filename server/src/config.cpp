// Reading the Server section of conf/tolvane.conf into tvn_server_conf.
#include "config.h"

#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "line_reader.h"

namespace {

constexpr long FIRST_LINE_BUFFER = 40;
constexpr int32_t MIN_IDLE_TIMEOUT = 300;
constexpr int32_t MAX_CONNECTIONS_LIMIT = 2999;
constexpr int32_t DEFAULT_LOGIN_GRACE_TIME = 60;
constexpr int32_t DEFAULT_FAILED_LOGIN_DELAY = 1;
// Room for a burst of clients: with too short a queue those that do not fit wait a second
// for the kernel's retry.
constexpr int32_t DEFAULT_LISTEN_BACKLOG = 128;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

const char *skip_blanks(const char *p) {
    while (is_blank(*p)) ++p;
    return p;
}

// Decimal with optional sign and leading white space; stops at the first non-digit, so a
// value without digits reads as 0. Wraps to 32 bits instead of overflowing.
int32_t parse_number(const char *text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + uint32_t(*text - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}

// Takes one word starting at p (after blanks): quoted words run to the next double quote,
// others to the next blank; the terminator is overwritten with NUL. Returns where the search
// for the next word starts (the character right after the terminator, or the end).
char *take_word(char *p, char **word) {
    while (is_blank(*p)) ++p;
    char *end;
    if (*p == '"') {
        *word = ++p;
        end = std::strchr(p, '"');
    } else {
        *word = p;
        end = p + std::strcspn(p, " \t");
    }
    if (end == nullptr || *end == '\0') return *word + std::strlen(*word);
    *end = '\0';
    return end + 1;
}

// TLS needs its certificate, its key and its port together, and a server must listen somewhere.
bool tls_settings_complete(const tvn_server_conf *conf) {
    const bool any = conf->tls_port != 0 || conf->tls_certificate_file != nullptr ||
                     conf->tls_key_file != nullptr;
    if (any && (conf->tls_port == 0 || conf->tls_certificate_file == nullptr ||
                conf->tls_key_file == nullptr)) {
        std::printf("\nTLS needs TlsPort, TlsCertificateFile and TlsKeyFile together\n");
        return false;
    }
    if (conf->plain_listening && conf->tls_port != 0 && conf->listen_addrs != nullptr &&
        conf->tls_port == conf->listen_addrs->port) {
        std::printf("\nTlsPort %u is the plain listeners' port too: give TLS a port of its own\n",
                    unsigned(conf->tls_port));
        return false;
    }
    if (!conf->plain_listening && conf->tls_port == 0) {
        std::printf("\nPlainListening Disabled needs a TlsPort: the server would listen nowhere\n");
        return false;
    }
    return true;
}

// Limits and delays take no negative values: those mean none.
int32_t at_least_zero(int32_t value) { return value < 0 ? 0 : value; }

tvn_listen_addr *last_address(tvn_listen_addr *entry) {
    while (entry->next != nullptr) entry = entry->next;
    return entry;
}

char *pool_strdup(tvn_init_mpool *mpool, const char *text) {
    size_t length = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(mpool->tvn_malloc(mpool->init_pool, uint32_t(length)));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

// The chain's placeholder head, while reading, lives in conf->modules. Only a lack of memory
// is fatal.
key_result append_module(tvn_server_conf *conf, const char *file, tvn_init_mpool *mpool) {
    auto *module =
        static_cast<tvn_module *>(mpool->tvn_malloc(mpool->init_pool, sizeof(tvn_module)));
    if (module == nullptr) return key_result::fatal;
    std::memset(module, 0, sizeof(tvn_module));
    module->major_version = 1;
    module->minor_version = 1;
    module->mpool = mpool;
    module->module_filename = pool_strdup(mpool, file);
    if (module->module_filename == nullptr) return key_result::fatal;
    tvn_module *tail = conf->modules;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = module;
    return key_result::accepted;
}

// An IPv4 address (dotted, as inet_aton reads it) or an IPv6 address; anything else is fatal.
key_result add_address(tvn_server_conf *conf, const char *value, tvn_init_mpool *mpool) {
    auto *entry = static_cast<tvn_listen_addr *>(
        mpool->tvn_malloc(mpool->init_pool, sizeof(tvn_listen_addr)));
    if (entry == nullptr) return key_result::fatal;
    tvn_listen_addr *before = last_address(conf->listen_addrs);
    entry->next = nullptr;
    entry->port = before->port;
    entry->address = 0;
    std::memset(entry->address6, 0, sizeof entry->address6);
    in_addr parsed{};
    if (inet_aton(value, &parsed) != 0) {
        entry->family = AF_INET;
        entry->address = parsed.s_addr;
    } else if (inet_pton(AF_INET6, value, entry->address6) == 1) {
        entry->family = AF_INET6;
    } else {
        // Listening on every address at a port the system picks is never what was meant.
        std::printf("\nip address %s not valid\n", value);
        mpool->tvn_free(mpool->init_pool, entry);
        return key_result::fatal;
    }
    before->next = entry;
    return key_result::accepted;
}

// ProxyProtocol: addresses or networks, separated by commas or blanks (the value may be
// quoted); the key may come again and adds to the list.
key_result add_balancers(tvn_server_conf *conf, const char *value) {
    const std::string_view all(value);
    std::size_t start = all.find_first_not_of(", \t");
    if (start == std::string_view::npos) {
        std::printf("\nProxyProtocol%s%s names no balancer address\n", *value != '\0' ? " " : "",
                    value);
        return key_result::fatal;
    }
    while (start != std::string_view::npos) {
        const std::size_t end = all.find_first_of(", \t", start);
        const std::string_view entry = all.substr(start, end - start);
        const std::string shown(entry);
        if (conf->balancer_count >= MAX_BALANCERS) {
            std::printf("\nProxyProtocol %s: more than %d balancer addresses\n", shown.c_str(),
                        MAX_BALANCERS);
            return key_result::fatal;
        }
        if (!parse_balancer(entry, &conf->balancers[conf->balancer_count])) {
            std::printf("\nProxyProtocol %s is not an address or a network (such as 10.0.0.5, "
                        "10.0.0.0/24 or fd00::/64)\n",
                        shown.c_str());
            return key_result::fatal;
        }
        ++conf->balancer_count;
        start = all.find_first_not_of(", \t", end);
    }
    return key_result::accepted;
}

} // namespace

// The line reader the utility library shares gives just these results: the size, -1
// (line_none) or -10 (line_no_memory).
long read_config_line(FILE *file, long size, char **buffer) {
    return read_line(file, '\n', &size, buffer);
}

bool match_open_tag(const char *line, const char *tag) {
    const char *p = skip_blanks(line);
    if (*p != '<') return false;
    p = skip_blanks(p + 1);
    std::string word;
    while (*p != '\0' && !is_blank(*p) && *p != '>' && word.size() < 20) word += *p++;
    if (word.compare(0, std::strlen(tag), tag) != 0) return false;
    p = skip_blanks(p);
    return *p == '>';
}

key_result parse_server_key(tvn_server_conf *conf, const char *key, const char *value,
                            tvn_init_mpool *mpool) {
    const std::string_view k(key);
    if (k.empty() || k[0] == '#') return key_result::accepted;
    if (k[0] == '<') {
        if (k.size() > 1 && k[1] == '/') return key_result::section_end;
        if (std::strcmp(value, "Server") == 0) return key_result::section_end;
        std::printf("\n<Server> section is badly closed\n");
        return key_result::fatal;
    }
    if (k == "ConnectionIdleTimeout") {
        int32_t seconds = parse_number(value);
        conf->idle_timeout =
            uint32_t(seconds) < uint32_t(MIN_IDLE_TIMEOUT) ? MIN_IDLE_TIMEOUT : seconds;
    } else if (k == "ConnectionKeepalive") {
        conf->keepalive = uint16_t(parse_number(value));
    } else if (k == "ConnectionKeepaliveTimeout") {
        conf->keepalive_timeout = parse_number(value);
    } else if (k == "SuggestedCacheLevel") {
        // Levels 0 to 4 only: no other value may wrap into one of them.
        const int32_t suggested = parse_number(value);
        if (suggested < 0 || suggested > 4) return key_result::fatal;
        conf->cache_level = uint8_t(4 - suggested);
    } else if (k == "Restricted") {
        conf->restricted = std::strcmp(value, "Enabled") == 0 ? 1 : 0;
    } else if (k == "RestrictedUser") {
        const passwd *user = getpwnam(value);
        if (user == nullptr) {
            std::printf("\nTolvaneServer configuration: user %s does't exist, please create it\n",
                        value);
            return key_result::fatal;
        }
        conf->run_uid = int32_t(user->pw_uid);
    } else if (k == "RestrictedGroup") {
        const group *found = getgrnam(value);
        if (found == nullptr) {
            std::printf("\nTolvaneServer configuration: group %s does't exist, please create it\n",
                        value);
            return key_result::fatal;
        }
        conf->run_gid = int32_t(found->gr_gid);
    } else if (k == "MaxConcurrentUsers") {
        int32_t limit = parse_number(value);
        if (limit <= MAX_CONNECTIONS_LIMIT) conf->max_connections = limit;
    } else if (k == "LoginGraceTime") {
        conf->login_grace_time = parse_number(value);
    } else if (k == "MaxConnectionsPerAddress") {
        conf->max_connections_per_address = at_least_zero(parse_number(value));
    } else if (k == "MaxConnectionRatePerAddress") {
        conf->max_connection_rate_per_address = at_least_zero(parse_number(value));
    } else if (k == "MaxFailedLoginsPerAddress") {
        conf->max_failed_logins_per_address = at_least_zero(parse_number(value));
    } else if (k == "FailedLoginDelay") {
        conf->failed_login_delay = at_least_zero(parse_number(value));
    } else if (k == "LoadModule") {
        return append_module(conf, value, mpool);
    } else if (k == "ServerPort") {
        const int32_t port = parse_number(value);
        if (port < 1 || port > 65535) {
            std::printf("\nServerPort %s is not a port number (1 to 65535)\n", value);
            return key_result::fatal;
        }
        last_address(conf->listen_addrs)->port = uint16_t(port);
    } else if (k == "TlsCertificateFile" || k == "TlsKeyFile") {
        char *path = pool_strdup(mpool, value);
        if (path == nullptr) return key_result::fatal;
        (k == "TlsKeyFile" ? conf->tls_key_file : conf->tls_certificate_file) = path;
    } else if (k == "TlsPort") {
        const int32_t port = parse_number(value);
        if (port < 1 || port > 65535) {
            std::printf("\nTlsPort %s is not a port number (1 to 65535)\n", value);
            return key_result::fatal;
        }
        conf->tls_port = uint16_t(port);
    } else if (k == "PlainListening") {
        if (std::strcmp(value, "Enabled") != 0 && std::strcmp(value, "Disabled") != 0) {
            std::printf("\nPlainListening %s must be Enabled or Disabled\n", value);
            return key_result::fatal;
        }
        conf->plain_listening = std::strcmp(value, "Enabled") == 0;
    } else if (k == "ListenBacklog") {
        const int32_t backlog = parse_number(value);
        if (backlog < 1) {
            std::printf("\nListenBacklog %s must be at least 1\n", value);
            return key_result::fatal;
        }
        conf->listen_backlog = backlog;
    } else if (k == "ProxyProtocol") {
        return add_balancers(conf, value);
    } else if (k == "AddIpAddress") {
        return add_address(conf, value, mpool);
    } else {
        std::printf("\nUnknown field %s, control your server configuration file\n", key);
        return key_result::fatal;
    }
    return key_result::accepted;
}

extern "C" int init_server_config(tvn_server_conf *conf, tvn_init_mpool *mpool,
                                  const char *server_root) {
    if (server_root == nullptr) server_root = DEFAULT_SERVER_ROOT;
    *conf = tvn_server_conf{};
    conf->server_root = pool_strdup(mpool, server_root);
    auto *first = static_cast<tvn_listen_addr *>(
        mpool->tvn_malloc(mpool->init_pool, sizeof(tvn_listen_addr)));
    auto *placeholder =
        static_cast<tvn_module *>(mpool->tvn_malloc(mpool->init_pool, sizeof(tvn_module)));
    if (conf->server_root == nullptr || first == nullptr || placeholder == nullptr) return -1;
    *first = tvn_listen_addr{nullptr, INADDR_ANY, DEFAULT_PORT, AF_INET, {}};
    std::memset(placeholder, 0, sizeof(tvn_module));
    conf->listen_addrs = first;
    conf->modules = placeholder;
    conf->idle_timeout = 300;
    conf->keepalive = 120;
    conf->keepalive_timeout = 120;
    conf->cache_level = 4;
    conf->run_uid = -1;
    conf->run_gid = -1;
    conf->max_connections = 3000;
    conf->login_grace_time = DEFAULT_LOGIN_GRACE_TIME;
    conf->failed_login_delay = DEFAULT_FAILED_LOGIN_DELAY;
    conf->listen_backlog = DEFAULT_LISTEN_BACKLOG;
    conf->plain_listening = 1;

    const std::string path = std::string(server_root) + CONFIG_FILE;
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file) return -1;
    // Each read zeroes the buffer first, so every line stays terminated.
    line_buffer line(FIRST_LINE_BUFFER);
    if (!line.usable()) return -1;

    for (;;) {
        long got = line.read(file.get());
        if (got == line_no_memory) return -1;
        if (got == line_none) {
            std::printf("\nI can't find <Server> section, I can't go on\n");
            return -1;
        }
        if (match_open_tag(line.text, "Server")) break;
    }
    for (;;) {
        long got = line.read(file.get());
        if (got == line_none) break;
        if (got == line_no_memory) return -1;
        char *text = line.text;
        if (!match_open_tag(text, "Server") && text[0] != '\0' && text[0] != '#') {
            char *key;
            char *value;
            take_word(take_word(text, &key), &value);
            const key_result result = parse_server_key(conf, key, value, mpool);
            if (result == key_result::fatal) return -1;
            if (result == key_result::section_end) break;
        }
    }

    conf->modules = placeholder->next;
    mpool->tvn_free(mpool->init_pool, placeholder);
    if (first->next != nullptr) {
        conf->listen_addrs = first->next;
        mpool->tvn_free(mpool->init_pool, first);
    }
    if (conf->restricted && (conf->run_uid < 0 || conf->run_gid < 0)) {
        std::printf("\nYou have to specify a group or an user for restricted version\n");
        return -1;
    }
    return tls_settings_complete(conf) ? 0 : -1;
}
