// Listings and namespace requests on any session.
#include "path_calls.h"

#include <functional>

#include "errno_map.h"
#include "tolvane/packet.h"
#include "tolvane/protocol.h"

namespace tvnmount {

namespace {

using clock = std::chrono::steady_clock;
using answer_check = std::function<int(const tvn_client::answer &)>;

// One request on any session: 0 after `on_ok` accepted an OK answer, or an errno.
int call_on_any(session_pool &pool, const tvn_client::packet_builder &request, remote_call call,
                bool repeatable, const answer_check &on_ok = {}) {
    for (int attempt = 1;; ++attempt) {
        const auto started = clock::now();
        session_lease lease = pool.any();
        if (!lease.held()) return EIO;
        // A server that came back older would end the connection on a method it lacks.
        if (call == remote_call::set_times) {
            if (const int failed = lease.ready()) return failed;
            if (!lease.sets_times()) return EPERM;
        }
        const int failed = lease.exchange(request);
        if (failed == connection_lost) {
            // A failure after the whole time-out is a server that does not answer: asking
            // again would only double the wait.
            if (repeatable && attempt == 1 && clock::now() - started < lease.timeout()) continue;
            return EIO;
        }
        if (failed != 0) return failed;
        if (lease.status() != OK) return errno_of(lease.status(), call);
        return on_ok ? on_ok(lease.answer()) : 0;
    }
}

} // namespace

int list_remote(session_pool &pool, const std::string &directory, listing &entries) {
    if (directory == "/") {
        entries = tvn_client::area_entries();
        return 0;
    }
    return call_on_any(pool, tvn_client::getdir_request(directory), remote_call::list, true,
                       [&entries](const tvn_client::answer &answer) {
                           auto parsed = tvn_client::parse_listing(answer.body(), true);
                           if (!parsed) return EIO;
                           entries = std::move(*parsed);
                           return 0;
                       });
}

int make_remote_directory(session_pool &pool, const std::string &path) {
    return call_on_any(pool, tvn_client::mkdir_request(path), remote_call::make_directory, false);
}

int remove_remote(session_pool &pool, const std::string &path) {
    return call_on_any(pool, tvn_client::delete_request(path), remote_call::remove, false);
}

int rename_remote(session_pool &pool, const std::string &from, const std::string &to) {
    return call_on_any(pool, tvn_client::rename_request(from, to), remote_call::rename, false);
}

int set_remote_times(session_pool &pool, const std::string &path, std::uint32_t access,
                     std::uint32_t modification, std::uint32_t options) {
    return call_on_any(pool, tvn_client::settime_request(path, access, modification, options),
                       remote_call::set_times, true);
}

int probe_area_rights(session_pool &pool, area_rights &writable) {
    static constexpr std::array<const char *, 3> probes = {
        "/Private/.tvnmount-probe", "/Public/.tvnmount-probe", "/Web/.tvnmount-probe"};
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const int result = rename_remote(pool, probes[i], probes[i]);
        if (result == EIO) return result;
        writable[i] = result != EACCES;
    }
    return 0;
}

} // namespace tvnmount
