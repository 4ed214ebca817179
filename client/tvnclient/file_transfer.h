// Moving one file: download, upload, printing, and copying on the server. Data travel in
// chunks of 500000 bytes, the most one READ, WRITE or COPYFILE may carry; each chunk is
// read into the session's one answer buffer and written straight from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "problem.h"
#include "progress.h"
#include "session.h"
#include "tolvane/protocol.h"

namespace tvnclient {

inline constexpr std::uint32_t chunk_size = TVN_MAX_TRANSFER;
// A file being received or sent lives under its name plus this suffix until it is whole,
// so that nobody ever sees half a file under the final name.
inline constexpr std::string_view partial_suffix = ".tvnpart";

// Downloads `remote` to `local` through `local` + partial_suffix, renamed when complete.
// With `resume`, an existing partial file (or a shorter file under the final name) is
// continued from its size. After a failure the partial file is kept for a later resume.
problem download_file(session &remote, const std::string &remote_path, const std::string &local,
                      bool resume, progress_meter &meter);
// Uploads `local` to `remote_path` through remote_path + partial_suffix, renamed on the
// server when complete; after a failure the partial file is removed again.
problem upload_file(session &remote, const std::string &local, const std::string &remote_path,
                    progress_meter &meter);
// Writes a remote file to a descriptor (cat).
problem print_remote_file(session &remote, const std::string &remote_path, int fd);
// Copies a file on the server with COPYFILE: no data cross the network.
problem copy_on_server(session &remote, const std::string &from, const std::string &to,
                       progress_meter &meter);

} // namespace tvnclient
