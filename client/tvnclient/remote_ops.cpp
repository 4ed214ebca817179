// Requests and the meaning of their answers.
#include "remote_ops.h"

#include <algorithm>

#include "remote_path.h"
#include "tolvane/protocol.h"

namespace tvnclient {

namespace {

// The common case: send, then OK or a refusal about `path`.
problem simple_request(session &remote, const tvn_client::packet_builder &request,
                       const std::string &path) {
    if (problem failed = remote.exchange(request, path)) return failed;
    if (remote.status() != OK) return refusal_about(remote.status(), path);
    return {};
}

} // namespace

problem refusal_about(std::uint8_t status, const std::string &path) {
    if (status == ACCESS_DENIED && outside_areas(path))
        return make_problem(exit_status::not_found, path, "no such area");
    return remote_refusal(status, path);
}

problem list_directory(session &remote, const std::string &path,
                       std::vector<tvn_client::listing_entry> &entries) {
    if (problem failed = simple_request(remote, tvn_client::getdir_request(path), path))
        return failed;
    const auto body = remote.answer().body();
    if (path == "/") {
        // The root's fixed listing fits neither entry layout.
        const std::string_view text(reinterpret_cast<const char *>(body.data()), body.size());
        if (text == tvn_client::root_listing) {
            entries = tvn_client::area_entries();
            return {};
        }
    }
    auto parsed = tvn_client::parse_listing(body, true);
    if (!parsed)
        return make_problem(exit_status::connection, path, "invalid listing from the server");
    entries = std::move(*parsed);
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return a.name < b.name; });
    return {};
}

problem open_remote(session &remote, const std::string &path, std::uint32_t mode,
                    std::uint32_t &handle, std::uint32_t &size) {
    if (problem failed = simple_request(remote, tvn_client::open_request(path, mode), path))
        return failed;
    const auto number = remote.answer().param_u32(4);
    if (!number || *number == 0)
        return make_problem(exit_status::connection, path, "invalid answer from the server");
    handle = *number;
    size = remote.answer().param_u32(8).value_or(0);
    return {};
}

problem close_remote(session &remote, std::uint32_t handle, const std::string &path) {
    return simple_request(remote, tvn_client::close_request(handle), path);
}

problem delete_remote(session &remote, const std::string &path) {
    return simple_request(remote, tvn_client::delete_request(path), path);
}

problem make_remote_directory(session &remote, const std::string &path) {
    return simple_request(remote, tvn_client::mkdir_request(path), path);
}

problem rename_remote(session &remote, const std::string &from, const std::string &to) {
    problem renamed = simple_request(remote, tvn_client::rename_request(from, to), from);
    // The refusal may be about the new name.
    if (renamed.status == exit_status::denied && outside_areas(to))
        return refusal_about(ACCESS_DENIED, to);
    return renamed;
}

bool is_remote_directory(session &remote, const std::string &path, problem &failure) {
    failure = remote.exchange(tvn_client::getdir_request(path), path);
    return !failure && remote.status() == OK;
}

problem probe(session &remote, const std::string &path, remote_kind &kind) {
    problem failure;
    if (is_remote_directory(remote, path, failure)) {
        kind = remote_kind::directory;
        return {};
    }
    if (failure) return failure;
    // A listing of a file answers NOT_FOUND as for a missing name; opening tells them apart.
    if (remote.status() != NOT_FOUND) return refusal_about(remote.status(), path);
    std::uint32_t handle = 0, size = 0;
    problem opened = open_remote(remote, path, tvn_client::open_mode::read_only, handle, size);
    if (!opened) {
        kind = remote_kind::file;
        return close_remote(remote, handle, path);
    }
    if (opened.status == exit_status::not_found) {
        kind = remote_kind::missing;
        return {};
    }
    return opened;
}

problem explain_denial(session &remote, problem refused) {
    // Outside the areas and on the area roots everybody is refused alike.
    if (refused.status != exit_status::denied || remote.shown_owner() ||
        outside_areas(refused.subject) || is_area_root(refused.subject))
        return refused;
    refused.words += " (a guest login can only read)";
    return refused;
}

problem remote_handle::close() {
    if (handle_ == 0) return {};
    const std::uint32_t handle = handle_;
    handle_ = 0;
    if (!remote_.is_open()) return {};
    return close_remote(remote_, handle, path_);
}

} // namespace tvnclient
