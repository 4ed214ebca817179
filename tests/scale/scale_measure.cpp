// Measuring sessions per second and read throughput through one way in.
#include "scale_measure.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "account_wire.h"
#include "tolvane/packet.h"
#include "tolvane/protocol.h"

namespace tvnscale {

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

template <typename Body>
double run_threads(int count, int seconds, Body body) {
    const auto start = clock_type::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back([&, i] { body(i, deadline); });
    for (auto &thread : threads) thread.join();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Reads the bench file round and round until the deadline: the bytes read.
std::uint64_t read_until(scale_bed &bed, std::uint16_t port, int i, clock_type::time_point deadline,
                         std::atomic<std::size_t> &failures) {
    std::optional<tvn_client::connection> session;
    if (tvn_test::try_login(port, bench_address(i), bed.bench_name(i) + "@shared",
                            scale_bed::bench_password(i), &session) != tvn_test::wire_outcome::accepted) {
        ++failures;
        return 0;
    }
    tvn_client::answer answer;
    if (session->request(tvn_client::open_request("/Private/bench.dat",
                                                  tvn_client::open_mode::read_only)
                             .build(),
                         answer, 30s) != tvn_client::read_result::answer_read ||
        answer.status() != OK) {
        ++failures;
        return 0;
    }
    const std::uint32_t handle = answer.param_u32(4).value_or(0);
    std::uint64_t bytes = 0;
    std::size_t position = 0;
    tvn_client::bytes packet;
    while (clock_type::now() < deadline) {
        packet = tvn_client::read_request(handle, std::int32_t(position), TVN_MAX_TRANSFER).build();
        if (session->request(packet, answer, 30s) != tvn_client::read_result::answer_read ||
            answer.status() != OK || answer.body().empty()) {
            ++failures;
            return bytes;
        }
        bytes += answer.body().size();
        position += answer.body().size();
        if (position >= scale_bed::bench_file_size) position = 0;
    }
    return bytes;
}

} // namespace

figures measure(scale_bed &bed, std::uint16_t port, int seconds, int session_clients,
                int read_clients) {
    figures result;
    std::atomic<std::uint64_t> sessions{0};
    std::atomic<std::size_t> failures{0};
    const double session_time =
        run_threads(session_clients, seconds, [&](int i, clock_type::time_point deadline) {
            const int user = i % bench_users;
            while (clock_type::now() < deadline) {
                std::optional<tvn_client::connection> session;
                if (tvn_test::try_login(port, bench_address(i), bed.bench_name(user) + "@shared",
                                        scale_bed::bench_password(user),
                                        &session) == tvn_test::wire_outcome::accepted)
                    ++sessions;
                else
                    ++failures;
            }
        });
    std::atomic<std::uint64_t> bytes{0};
    const double read_time =
        run_threads(read_clients, seconds, [&](int i, clock_type::time_point deadline) {
            bytes += read_until(bed, port, i % bench_users, deadline, failures);
        });
    result.sessions_per_second = double(sessions) / session_time;
    result.read_mb_per_second = double(bytes) / read_time / 1e6;
    result.failures = failures;
    return result;
}

} // namespace tvnscale
