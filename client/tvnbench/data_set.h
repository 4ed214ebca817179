// The files the workloads need on the server, made through the protocol itself so that any
// server can be measured: one large file, one medium file, a small directory and a large one.
// What exists with the right size is kept, so repeated runs do not pay for it again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench_session.h"
#include "options.h"

namespace tvnbench {

struct data_paths {
    std::string dir;
    std::string large;  // read
    std::string upload; // write
    std::string medium; // concurrent
    std::string small;  // sessions, hold
    std::string many;   // listing
};

data_paths paths_under(const std::string &dir);

// Makes what the chosen workloads need, reporting each step on standard error when verbose.
void prepare_data(const server_address &address, const bench_options &options,
                  const data_paths &paths);

// The bytes every upload sends: a fixed pseudo-random pattern, so that no layer can take a
// shortcut over zeros.
const std::vector<std::uint8_t> &upload_pattern(std::uint32_t chunk);

// Sends `size` bytes into an open handle in WRITEs of `chunk` bytes, from one buffer that
// holds the request header and the pattern.
void upload(bench_session &session, std::uint32_t handle, std::uint64_t size, std::uint32_t chunk);

} // namespace tvnbench
