// The workers' report channel: the record's encoding, sending, and the master's checked read.
#include "status_channel.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr long FULL_CHANNEL_PAUSE_US = 100'000; // pauses before sending again stay below this

void put_le32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}
void put_le16(uint8_t *at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}
uint32_t get_le32(const uint8_t *at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
uint16_t get_le16(const uint8_t *at) { return uint16_t(at[0] | at[1] << 8); }

// How many address bytes a family uses; -1 for a family a report cannot carry.
int address_size(uint16_t family) {
    switch (family) {
    case AF_UNSPEC: return 0;
    case AF_INET: return int(sizeof(in_addr));
    case AF_INET6: return int(sizeof(in6_addr));
    default: return -1;
    }
}

// A pause derived from the pid, so that workers meeting a full channel do not retry in step.
void pause_before_retry() {
    timespec pause{0, long(getpid()) % FULL_CHANNEL_PAUSE_US * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {}
}

} // namespace

status_report make_report(status_kind kind, const sockaddr *address) {
    status_report report;
    report.kind = kind;
    if (address == nullptr) return report;
    if (address->sa_family == AF_INET) {
        const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(address);
        report.family = AF_INET;
        std::memcpy(report.address.data(), &ipv4->sin_addr, sizeof ipv4->sin_addr);
    } else if (address->sa_family == AF_INET6) {
        const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(address);
        report.family = AF_INET6;
        std::memcpy(report.address.data(), &ipv6->sin6_addr, sizeof ipv6->sin6_addr);
    }
    return report;
}

report_bytes encode_report(const status_report &report) {
    report_bytes bytes{};
    put_le32(bytes.data(), report.kind);
    put_le16(bytes.data() + 4, report.family);
    const int used = address_size(report.family);
    for (int i = 0; i < used; ++i) bytes[6 + size_t(i)] = report.address[size_t(i)];
    return bytes;
}

bool decode_report(const uint8_t *bytes, size_t size, status_report *report) {
    if (bytes == nullptr || size != STATUS_REPORT_SIZE) return false;
    const uint32_t kind = get_le32(bytes);
    if (kind > MSG_LOGIN_FAILED) return false;
    const uint16_t family = get_le16(bytes + 4);
    const int used = address_size(family);
    if (used < 0) return false;
    for (size_t i = size_t(used); i < REPORT_ADDRESS_SIZE; ++i)
        if (bytes[6 + i] != 0) return false;
    report->kind = status_kind(kind);
    report->family = family;
    std::memcpy(report->address.data(), bytes + 6, REPORT_ADDRESS_SIZE);
    return true;
}

int open_status_channel(int ends[2]) {
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    // With credentials passed, the kernel stamps every datagram with its sender's pid: a
    // report cannot name anyone but the process that sent it.
    const int on = 1;
    if (setsockopt(ends[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0) return 0;
    const int saved = errno;
    close(ends[0]);
    close(ends[1]);
    ends[0] = ends[1] = -1;
    errno = saved;
    return -1;
}

bool post_report(int fd, const status_report &report) {
    const report_bytes bytes = encode_report(report);
    ssize_t sent;
    do sent = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(bytes.size());
}

bool send_report(int fd, const status_report &report) {
    const report_bytes bytes = encode_report(report);
    for (;;) {
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == ssize_t(bytes.size())) return true;
        if (sent >= 0) return false; // a datagram goes whole or not at all
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            pause_before_retry();
        else if (errno != EINTR)
            return false;
    }
}

receive_result receive_report(int fd, bool wait, received_report *into) {
    // One byte more than a record, so that a longer datagram shows as such.
    uint8_t bytes[STATUS_REPORT_SIZE + 1];
    iovec part{bytes, sizeof bytes};
    // Room for the credentials alone: descriptors passed along would not fit and are
    // discarded by the kernel (the message then reads as cut short, and is dropped).
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = recvmsg(fd, &message, (wait ? 0 : MSG_DONTWAIT) | MSG_CMSG_CLOEXEC);
    if (size < 0) {
        if (errno == EINTR) return receive_result::interrupted;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return receive_result::nothing;
        return receive_result::failed;
    }
    if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) return receive_result::dropped;
    if (!decode_report(bytes, size_t(size), &into->report)) return receive_result::dropped;
    for (cmsghdr *item = CMSG_FIRSTHDR(&message); item != nullptr;
         item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_CREDENTIALS ||
            item->cmsg_len != CMSG_LEN(sizeof(ucred)))
            continue;
        ucred credentials;
        std::memcpy(&credentials, CMSG_DATA(item), sizeof credentials);
        if (credentials.pid <= 0) return receive_result::dropped;
        into->sender = credentials.pid;
        return receive_result::report;
    }
    return receive_result::dropped;
}
