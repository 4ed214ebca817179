// Inside a soak client: its connections, the check of every answer, and the file operations
// it runs inside a session.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "soak_client.h"
#include "tolvane/answer.h"
#include "tolvane/connection.h"
#include "tolvane/packet.h"

namespace tvnsoak {

using namespace std::chrono_literals;

// Loaded as it is, the server may take long to answer; no answer in this time is a fault.
inline constexpr auto answer_timeout = std::chrono::milliseconds(90s);
// The listen backlog is small: a connection that finds it full waits for the kernel's SYN
// retries, or is reset, and is tried again a few times.
inline constexpr auto connect_timeout = std::chrono::milliseconds(20s);
inline constexpr int connect_attempts = 8;
// When the backlog is full, the kernel may complete a connection on the client's side that
// the server's side drops: its first packet is then not acknowledged. Such a connection is
// reset and tried again after backlog_patience, unless its packet must not be given up (a
// password change): that one waits until it gets in or the server's side gives up on it
// and resets it, which the kernel does within about two minutes.
inline constexpr auto backlog_patience = std::chrono::milliseconds(5s);
inline constexpr auto backlog_limit = std::chrono::milliseconds(180s);

enum class delivery { taken, abandoned, stuck, refused };

// Sends the first packet of a connection and waits until the server's side has taken it.
delivery deliver(tvn_client::connection &link, const tvn_client::bytes &packet, bool may_abandon);
// Files a client keeps in each of its directories; older ones are deleted first.
inline constexpr std::size_t files_per_area = 4;

class client_run {
public:
    client_run(soak_context &context, client_state &state);

    // Connects (again, while the backlog refuses) and sends the first packet; the connection
    // and its answer, or empty with the error logged.
    std::optional<tvn_client::connection> first_exchange(const tvn_client::bytes &packet,
                                                         tvn_client::answer &into,
                                                         const std::string &what);
    // A session as login with password, or empty with the error logged.
    std::optional<tvn_client::connection> log_in(const std::string &user,
                                                 const std::string &password);
    // A login that must be refused; true when it was.
    bool refused_login(const std::string &user, const std::string &password);

    // Sends the packet and reads the answer; false, with the error logged, when none came.
    bool ask(tvn_client::connection &link, const tvn_client::bytes &packet, std::uint8_t method,
             const std::string &what);
    // The answer in answer() is the one wanted; false, with the error logged, otherwise.
    bool expect(std::uint8_t method, std::uint8_t status, std::uint32_t header_length,
                const std::string &what);
    void error(const std::string &what);
    const tvn_client::answer &answer() const { return answer_; }

    // Operations inside an owner's session; each false after a wrong answer, when the session
    // should end.
    bool make_directories(tvn_client::connection &link);
    bool upload(tvn_client::connection &link, client_area &area);
    bool download(tvn_client::connection &link, const stored_file &file, const client_area &area);
    bool list(tvn_client::connection &link, const client_area &area);
    bool copy(tvn_client::connection &link, client_area &area);
    bool remove(tvn_client::connection &link, client_area &area, std::size_t index);
    // What a guest may not do is refused.
    bool guest_refusals(tvn_client::connection &link, const client_area &area);

    std::uint64_t draw(std::uint64_t below) { return random_() % below; }
    soak_context &context;
    client_state &state;

private:
    // A transfer's piece: mostly the largest, sometimes smaller, to move the offsets.
    std::uint32_t piece_size();
    std::size_t file_size();
    bool write_piece(tvn_client::connection &link, std::uint32_t handle, std::size_t position,
                     std::uint32_t length, std::uint64_t seed, const std::string &what);
    bool settle_part(tvn_client::connection &link, std::uint32_t handle, const std::string &part,
                     const std::string &final_path);
    std::string prefix() const;

    std::mt19937_64 random_;
    tvn_client::answer answer_;
    tvn_client::bytes packet_;
    std::vector<std::uint8_t> expected_;
};

} // namespace tvnsoak
