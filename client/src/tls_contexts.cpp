// The client library's process-wide TLS state: contexts per trust setting and the session
// cache. Both are reached from every thread of the process, under one lock each; both are
// deliberately never freed (they hold nothing but memory), so nothing depends on the order in
// which the process ends.
#include "tls_contexts.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <map>
#include <mutex>

#include "tolvane/tls.h"

namespace tvn_client {

namespace {

// Sessions of this many servers at most: a client talks to few.
constexpr std::size_t max_kept_sessions = 64;

struct kept {
    SSL_SESSION *session = nullptr;
    tls_verdict verdict;
};

struct process_state {
    std::mutex contexts_lock;
    std::map<std::string, SSL_CTX *> contexts; // by CA file; "" for the system's store
    std::mutex sessions_lock;
    std::map<std::string, kept> sessions;
};

process_state &state() {
    static process_state *const shared = new process_state;
    return *shared;
}

std::string library_reason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char *reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "unknown reason";
}

SSL_CTX *new_context(const std::string &ca_file, new_session_hook hook, std::string &failure) {
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        failure = "no TLS context: " + library_reason();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A server that closes without its closing alert has still ended the stream: every
    // answer carries its length, so a cut answer shows as broken whatever the alert.
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                     SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const bool trusted = ca_file.empty()
                             ? SSL_CTX_set_default_verify_paths(context) == 1
                             : SSL_CTX_load_verify_locations(context, ca_file.c_str(), nullptr) == 1;
    if (!trusted) {
        failure = "cannot read the certificates of " +
                  (ca_file.empty() ? std::string("the system's trust store") : ca_file) + ": " +
                  library_reason();
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, hook);
    return context;
}

} // namespace

SSL_CTX *client_context(const std::string &ca_file, new_session_hook hook, std::string &failure) {
    process_state &shared = state();
    const std::lock_guard guard(shared.contexts_lock);
    SSL_CTX *&context = shared.contexts[ca_file];
    if (context == nullptr) context = new_context(ca_file, hook, failure);
    if (context == nullptr) shared.contexts.erase(ca_file);
    return context;
}

SSL_SESSION *kept_session(const std::string &key, tls_verdict &verdict) {
    process_state &shared = state();
    const std::lock_guard guard(shared.sessions_lock);
    const auto found = shared.sessions.find(key);
    if (found == shared.sessions.end()) return nullptr;
    if (SSL_SESSION_up_ref(found->second.session) != 1) return nullptr;
    verdict = found->second.verdict;
    return found->second.session;
}

void keep_session(const std::string &key, SSL_SESSION *session, const tls_verdict &verdict) {
    process_state &shared = state();
    const std::lock_guard guard(shared.sessions_lock);
    auto found = shared.sessions.find(key);
    if (found != shared.sessions.end()) {
        SSL_SESSION_free(found->second.session);
        found->second = {session, verdict};
        return;
    }
    if (shared.sessions.size() >= max_kept_sessions) {
        SSL_SESSION_free(shared.sessions.begin()->second.session);
        shared.sessions.erase(shared.sessions.begin());
    }
    shared.sessions.emplace(key, kept{session, verdict});
}

void forget_tls_sessions() {
    process_state &shared = state();
    const std::lock_guard guard(shared.sessions_lock);
    for (auto &[key, entry] : shared.sessions) SSL_SESSION_free(entry.session);
    shared.sessions.clear();
}

} // namespace tvn_client
