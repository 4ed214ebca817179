// Fuzz target: the PROXY header reader. The input is what a balancer (or anyone posing as
// one) sends first. Besides the verdict's own consistency, it checks what the worker's reader
// relies on: a header's verdict does not change when more bytes follow, and a reader that
// looks ahead only as far as the verdicts allow and takes only what they say is header never
// takes a byte past the header, whatever pieces the bytes arrive in.
//
// Input: the first bytes of a connection.
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "proxy_header.h"

namespace {

using tvn_fuzz::require;

void require_consistent(const proxy_header &header, const uint8_t *data, std::size_t size) {
    switch (header.result) {
    case proxy_parse::complete:
        require(header.length > 0 && header.length <= size, "complete: length outside the input");
        require(header.fault == nullptr, "complete with a fault");
        if (header.version == 1) {
            require(header.length <= PROXY_V1_MAX_LENGTH, "v1: line past 107 bytes");
            require(data[header.length - 2] == '\r' && data[header.length - 1] == '\n',
                    "v1: not ended by CRLF");
            require(std::memchr(data, '\n', header.length - 1) == nullptr, "v1: an earlier LF");
        } else {
            require(header.version == 2, "complete without a version");
            require(header.length == PROXY_V2_FIXED_LENGTH + ((data[14] << 8) | data[15]),
                    "v2: length not as announced");
        }
        if (header.client == proxy_client::named)
            require(header.source.ss_family == AF_INET || header.source.ss_family == AF_INET6,
                    "named client without an address family");
        break;
    case proxy_parse::incomplete:
        require(header.length > size, "incomplete: asks for no more bytes");
        require(header.look_ahead >= header.length, "incomplete: looks ahead too little");
        require(header.look_ahead <= PROXY_V2_MAX_LENGTH, "incomplete: looks ahead too far");
        break;
    case proxy_parse::malformed: require(header.fault != nullptr, "malformed without a reason"); break;
    }
}

// The worker's reader without a socket: bytes arrive in pieces of `step`; it looks at most
// look_ahead bytes in all, takes what the verdict says belongs to the header, and waits for
// more only when it has taken everything that came.
proxy_header read_in_pieces(const uint8_t *data, std::size_t size, std::size_t step) {
    std::size_t taken = 0;
    std::size_t arrived = 0;
    proxy_header header = parse_proxy_header(data, 0);
    for (;;) {
        if (arrived == taken) {
            if (arrived == size) return header;
            arrived = arrived + step < size ? arrived + step : size;
        }
        require(header.look_ahead > taken, "the reader may look at nothing new");
        const std::size_t looked = header.look_ahead < arrived ? header.look_ahead : arrived;
        header = parse_proxy_header(data, looked);
        if (header.result == proxy_parse::complete) {
            require(taken <= header.length, "the reader took bytes past the header");
            return header;
        }
        if (header.result == proxy_parse::malformed) return header;
        taken = looked;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const proxy_header whole = parse_proxy_header(data, size);
    require_consistent(whole, data, size);

    // More bytes after the input: a verdict stands, an incomplete header asks no less.
    std::vector<uint8_t> doubled(data, data + size);
    doubled.insert(doubled.end(), data, data + size);
    const proxy_header longer = parse_proxy_header(doubled.data(), doubled.size());
    require_consistent(longer, doubled.data(), doubled.size());
    if (whole.result == proxy_parse::complete)
        require(longer.result == proxy_parse::complete && longer.length == whole.length,
                "a complete header changed with the bytes after it");
    if (whole.result == proxy_parse::malformed)
        require(longer.result == proxy_parse::malformed, "more bytes mended a malformed header");
    if (whole.result == proxy_parse::incomplete && longer.result != proxy_parse::malformed)
        require(longer.length >= whole.length, "more bytes made the header shorter");

    // Every part of a complete header is incomplete.
    if (whole.result == proxy_parse::complete)
        require(parse_proxy_header(data, whole.length - 1).result == proxy_parse::incomplete,
                "a part of a complete header was judged");

    // Whatever the pieces, the reader comes to the same verdict as the whole input.
    const std::size_t step = size > 0 ? std::size_t(data[size - 1] % 17) + 1 : 1;
    const proxy_header pieced = read_in_pieces(data, size, step);
    if (whole.result != proxy_parse::incomplete) {
        require(pieced.result == whole.result, "read in pieces: another verdict");
        if (whole.result == proxy_parse::complete)
            require(pieced.length == whole.length, "read in pieces: another length");
    }
    return 0;
}
