// The server's methods as the commands use them. Each returns a problem that names the path
// it was about; a refusal is put in words there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "problem.h"
#include "session.h"
#include "tolvane/listing.h"

namespace tvnclient {

// The entries of a directory, sorted by name. "/" holds the three areas.
problem list_directory(session &remote, const std::string &path,
                       std::vector<tvn_client::listing_entry> &entries);
problem open_remote(session &remote, const std::string &path, std::uint32_t mode,
                    std::uint32_t &handle, std::uint32_t &size);
problem close_remote(session &remote, std::uint32_t handle, const std::string &path);
problem delete_remote(session &remote, const std::string &path);
problem make_remote_directory(session &remote, const std::string &path);
problem rename_remote(session &remote, const std::string &from, const std::string &to);

enum class remote_kind { missing, file, directory };
// What the path names: it is a directory when it can be listed, a file when it can be
// opened. A refusal to say (permission denied) is a problem.
problem probe(session &remote, const std::string &path, remote_kind &kind);
// True when the path can be listed, i.e. names a directory; false on any refusal.
bool is_remote_directory(session &remote, const std::string &path, problem &failure);

// A refusal by the server about `path`, in words. The server refuses a path outside the
// three areas as it refuses a forbidden one; such a path is "no such area", not found.
problem refusal_about(std::uint8_t status, const std::string &path);

// "permission denied" on a change inside an area, with the reminder that a guest login can
// only read, unless the session's own answers have shown it is an owner's (see session.h).
// Asks the server nothing.
problem explain_denial(session &remote, problem refused);

// Closes a handle when it goes out of scope, unless the connection is gone by then.
class remote_handle {
public:
    remote_handle(session &remote, std::uint32_t handle, std::string path)
            : remote_(remote), handle_(handle), path_(std::move(path)) {}
    ~remote_handle() { close(); }
    remote_handle(const remote_handle &) = delete;
    remote_handle &operator=(const remote_handle &) = delete;
    std::uint32_t get() const { return handle_; }
    // Closes now; a refusal is a problem (for an upload it may mean lost data).
    problem close();

private:
    session &remote_;
    std::uint32_t handle_;
    std::string path_;
};

} // namespace tvnclient
