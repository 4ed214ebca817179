// Fuzz target: the server's checks of a request's bytes, as reception runs them. The first 16
// bytes go to the header phase; when it passes, the rest of the packet, as long as the header
// says and in a request-pool block of that size plus the spare byte, goes to the parameter
// phase. Bytes the input lacks are zeros, as a client could send them.
//
// Input: one request packet.
#include <cstring>

#include "connection.h"
#include "fuzz_support.h"
#include "pool.h"
#include "reception.h"

namespace {

using tvn_fuzz::require;

// A text the checks left: inside the block (or the constant "anonymous") and ended by a NUL
// no later than the spare byte.
void require_text(const char *text, const uint8_t *rest, std::size_t rest_length,
                  const char *what) {
    if (text == nullptr || std::strcmp(text, "anonymous") == 0) return;
    const auto *start = reinterpret_cast<const uint8_t *>(text);
    require(start >= rest && start <= rest + rest_length, what);
    require(std::memchr(start, '\0', std::size_t(rest + rest_length + 1 - start)) != nullptr, what);
}

void require_valid_header(const parsed_request &parsed) {
    require(parsed.method >= CONNECT && parsed.method <= TVN_LAST_METHOD, "header: method");
    require(
        parsed.header_length >= TVN_FIXED_HEADER && parsed.header_length <= TVN_MAX_HEADER_LENGTH,
        "header: header_length");
    require(parsed.method == WRITE ? parsed.body_length <= uint32_t(TVN_MAX_TRANSFER)
                                   : parsed.body_length == 0,
            "header: body_length");
}

void require_valid_parameters(const tvn_connection &connection, const uint8_t *rest,
                              std::size_t rest_length) {
    const parsed_request &parsed = connection.parsed;
    const tvn_request *request = connection.request;
    require_text(request->remote_path1, rest, rest_length, "parameters: path 1");
    require_text(request->remote_path2, rest, rest_length, "parameters: path 2");
    require_text(parsed.login.user, rest, rest_length, "parameters: user");
    require_text(parsed.login.domain, rest, rest_length, "parameters: domain");
    if (parsed.method == CHANGEPWD) {
        require_text(parsed.login.password, rest, rest_length, "parameters: current password");
        require_text(parsed.login.new_password, rest, rest_length, "parameters: new password");
        require(std::strlen(parsed.login.password) <= TVN_CHANGEPWD_MAX_PASSWORD &&
                    std::strlen(parsed.login.new_password) <= TVN_CHANGEPWD_MAX_PASSWORD,
                "parameters: a password past 125 characters");
    }
    if (parsed.method == CONNECT || parsed.method == CHANGEPWD)
        require(parsed.login.user != nullptr && parsed.login.domain != nullptr &&
                    parsed.login.password != nullptr,
                "parameters: a login without its parts");
    if (parsed.method == CONNECT)
        require(std::strlen(parsed.connect_password) <= TVN_CONNECT_PASSWORD_LEN,
                "parameters: a password past 16 bytes");
    if (parsed.method == READ || parsed.method == WRITE || parsed.method == COPYFILE)
        require(parsed.length >= 0 && parsed.length <= TVN_MAX_TRANSFER, "parameters: length");
    if (parsed.method == SETTIME)
        require(request->remote_path1 != nullptr, "parameters: SETTIME without its path");
    if (parsed.method == WRITE)
        require(parsed.data != nullptr && parsed.data >= rest &&
                    parsed.data + parsed.length <= rest + rest_length,
                "parameters: WRITE data outside the packet");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tvn_fuzz::quiet_standard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tvn_mpool *pools = create_connection_pools();
    require(pools != nullptr, "no connection pools");
    tvn_request request{};
    request.mpool = pools;
    tvn_connection connection{};
    connection.request = &request;
    tvn_packet &packet = connection.packet;

    std::memset(packet.header, 0, sizeof packet.header);
    std::memcpy(packet.header, data, size < TVN_FIXED_HEADER ? size : TVN_FIXED_HEADER);
    packet.rest = nullptr;
    if (check_request(&connection, &packet) == packet_fault::none) {
        require_valid_header(connection.parsed);
        const parsed_request &parsed = connection.parsed;
        const std::size_t rest_length =
            parsed.header_length - TVN_FIXED_HEADER + parsed.body_length;
        auto *rest =
            static_cast<uint8_t *>(tvn_malloc(pools->request_pool, uint32_t(rest_length + 1)));
        require(rest != nullptr, "no room for the packet");
        const std::size_t given = size > TVN_FIXED_HEADER ? size - TVN_FIXED_HEADER : 0;
        const std::size_t copied = given < rest_length ? given : rest_length;
        std::memcpy(rest, data + TVN_FIXED_HEADER, copied);
        std::memset(rest + copied, 0, rest_length - copied);
        rest[rest_length] = 0xAA; // the spare byte: nothing may count on it being zero
        packet.rest = rest;
        const packet_fault fault = check_request(&connection, &packet);
        require(packet.rest == nullptr, "the parameter phase kept the packet");
        if (fault == packet_fault::none) require_valid_parameters(connection, rest, rest_length);
    }
    release_connection_pools(pools);
    return 0;
}
