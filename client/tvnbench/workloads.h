// The workloads. Each measures one thing and prints its figure; a failed request stops it with
// a bench_error.
#pragma once

#include <string>
#include <string_view>

#include "bench_session.h"
#include "data_set.h"
#include "options.h"

namespace tvnbench {

struct bench_context {
    const server_address &address;
    const bench_options &options;
    const data_paths &paths;
    std::string_view prefix; // of the figures' names: "tls_" over TLS
    std::string_view suffix; // and after them: "@40ms" through the delay relay

    std::string figure(std::string_view name) const {
        return std::string(prefix) + std::string(name) + std::string(suffix);
    }
};

void run_read(const bench_context &context); // transfer_workloads.cpp
void run_write(const bench_context &context);
void run_concurrent(const bench_context &context);
void run_sessions(const bench_context &context); // session_workloads.cpp
void run_listing(const bench_context &context);
void run_hold(const bench_context &context);       // hold_workload.cpp
void run_raw_stream(const bench_context &context); // raw_stream_workload.cpp
void run_mount(const bench_context &context);      // mount_workload.cpp

} // namespace tvnbench
