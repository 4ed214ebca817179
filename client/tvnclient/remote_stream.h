// The data of one open remote file, moved with the session's pipelined transfers, and every
// way such a transfer can end put in words about the file.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "problem.h"
#include "session.h"

namespace tvnclient {

// Takes the next data of a download in order; a problem stops the transfer.
using chunk_sink = std::function<problem(std::span<const std::uint8_t> data)>;

// Reads the remote file from `start` to its end into `sink`; `end` tells where the data
// ended. `size` is the size OPEN answered: READs run ahead up to it. Ctrl-C stops the
// transfer as "interrupted".
problem read_remote_file(session &remote, const std::string &path, std::uint32_t handle,
                         std::uint64_t start, std::uint32_t size, const chunk_sink &sink,
                         std::uint64_t &end);
// A download that ended at `end`, before the `size` OPEN answered: the file shrank on the
// server while it was read, and the copy is no copy of any version of it.
problem shrank(const std::string &path, std::uint64_t end, std::uint64_t size);

// Writes the local file behind `local_fd`, read from its current position, into the remote
// file from `start`, and tells `progress` how far the server has confirmed. `confirmed`
// ends where every byte before it is on the server; after a refusal, requests in flight
// behind the refused one may have written past it.
problem write_remote_file(session &remote, const std::string &path, std::uint32_t handle,
                          std::uint64_t start, int local_fd, const std::string &local_name,
                          const std::function<void(std::uint64_t)> &progress,
                          std::uint64_t &confirmed);

// A file the protocol cannot address in full.
problem too_large(const std::string &path);

} // namespace tvnclient
