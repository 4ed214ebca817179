// Requests that name paths: listings, MKDIR, DELETE, RENAME, and the probe of the areas a
// session may change. Each runs on any free session of the pool and answers 0 or an errno
// (errno_map.h); a request that can safely be repeated is repeated once on a new login when
// the connection failed quickly (the server had ended an idle session).
#pragma once

#include <array>
#include <string>

#include "listing_cache.h"
#include "session_pool.h"

namespace tvnmount {

// The listing of a directory; "/" holds the three areas, without asking the server.
int list_remote(session_pool &pool, const std::string &directory, listing &entries);
int make_remote_directory(session_pool &pool, const std::string &path);
// DELETE: a file, or an empty directory.
int remove_remote(session_pool &pool, const std::string &path);
int rename_remote(session_pool &pool, const std::string &from, const std::string &to);
// SETTIME with the options word of its request (times to keep or to take from the server's
// clock); EPERM when the session's server does not serve it.
int set_remote_times(session_pool &pool, const std::string &path, std::uint32_t access,
                     std::uint32_t modification, std::uint32_t options);

// Which of Private, Public and Web the session may change: a rename of a name that does not
// exist onto itself is refused to a guest, and in an area closed to the user, by the access
// rules before it reaches the disk; anyone else gets NOT_FOUND, and nothing changes.
using area_rights = std::array<bool, 3>;
int probe_area_rights(session_pool &pool, area_rights &writable);

} // namespace tvnmount
