// Making the benchmark's data on the server through OPEN, WRITE, CLOSE and MKDIR.
#include "data_set.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "tolvane/listing.h"
#include "tolvane/protocol.h"

namespace tvnbench {

namespace {

using namespace tvn_client::open_mode;

bool wanted(const bench_options &options, const char *workload) {
    return std::any_of(options.workloads.begin(), options.workloads.end(),
                       [&](const std::string &name) { return base_workload(name) == workload; });
}

void note(const bench_options &options, const std::string &text) {
    if (options.verbose) std::fprintf(stderr, "tvnbench: %s\n", text.c_str());
}

void ensure_file(bench_session &session, const bench_options &options, const std::string &path,
                 std::uint64_t size) {
    if (auto existing = session.open_existing(path)) {
        session.close_file(existing->handle);
        if (existing->size == size) return;
    }
    note(options, "making " + path + " (" + std::to_string(size) + " bytes)");
    const opened_file file = session.open(path, write_only | create | truncate_file);
    upload(session, file.handle, size, options.chunk);
    session.close_file(file.handle);
}

// Files named f00000, f00001, ...: one OPEN with create and one CLOSE for each missing one.
void ensure_entries(bench_session &session, const bench_options &options, const std::string &dir,
                    std::uint32_t count) {
    session.make_dir(dir);
    const auto listing = tvn_client::parse_listing(session.list(dir), true);
    if (!listing) throw bench_error("GETDIR " + dir + ": a listing that does not parse");
    std::unordered_set<std::string> present;
    for (const auto &entry : *listing) present.insert(entry.name);
    std::uint32_t made = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%05u", i);
        if (present.count(name) != 0) continue;
        const opened_file file = session.open(dir + "/" + name, write_only | create);
        session.close_file(file.handle);
        ++made;
    }
    if (made > 0) note(options, "made " + std::to_string(made) + " entries in " + dir);
}

} // namespace

data_paths paths_under(const std::string &dir) {
    return {
        dir,          dir + "/large.bin", dir + "/upload.bin", dir + "/medium.bin", dir + "/small",
        dir + "/many"};
}

const std::vector<std::uint8_t> &upload_pattern(std::uint32_t chunk) {
    static std::vector<std::uint8_t> pattern;
    if (pattern.size() < chunk) {
        pattern.resize(chunk);
        std::uint32_t state = 0x9e3779b9u;
        for (auto &byte : pattern) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<std::uint8_t>(state);
        }
    }
    return pattern;
}

void upload(bench_session &session, std::uint32_t handle, std::uint64_t size, std::uint32_t chunk) {
    const auto &pattern = upload_pattern(chunk);
    tvn_client::bytes packet(TVN_RW_HEADER + std::size_t(chunk));
    std::copy(pattern.begin(), pattern.begin() + chunk, packet.begin() + TVN_RW_HEADER);
    tvn_client::bytes header;
    for (std::uint64_t position = 0; position < size; position += chunk) {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, size - position));
        // The header alone, announcing the data that follow it in `packet`.
        tvn_client::packet_builder(WRITE)
            .put_u32(0)
            .put_u32(handle)
            .put_i32(static_cast<std::int32_t>(position))
            .put_i32(static_cast<std::int32_t>(length))
            .body_length(length)
            .build_into(header);
        std::copy(header.begin(), header.end(), packet.begin());
        const auto &answer =
            session.call(std::span(packet).first(TVN_RW_HEADER + std::size_t(length)), "WRITE");
        if (answer.status() != OK)
            throw bench_error("WRITE at " + std::to_string(position) + ": " +
                              status_name(answer.status()));
        if (answer.param_u32(4).value_or(0) != length)
            throw bench_error("WRITE at " + std::to_string(position) + ": short write");
    }
}

void prepare_data(const server_address &address, const bench_options &options,
                  const data_paths &paths) {
    bench_session session(address);
    session.make_dir(paths.dir);
    if (wanted(options, "read") || wanted(options, "mount"))
        ensure_file(session, options, paths.large, options.transfer_size);
    if (wanted(options, "concurrent"))
        ensure_file(session, options, paths.medium, options.concurrent_size);
    if (wanted(options, "sessions") || wanted(options, "hold"))
        ensure_entries(session, options, paths.small, options.small_entries);
    if (wanted(options, "listing")) ensure_entries(session, options, paths.many, options.entries);
    session.disconnect();
    session.wait_closed();
}

} // namespace tvnbench
