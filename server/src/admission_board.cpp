// The shared board of admission verdicts and the futex waits on it.
#include "admission_board.h"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "clock.h"
#include "process.h"
#include "workers.h"

namespace {

constexpr int WAIT_STEP_MS = 500; // how soon a waiting worker notices a stop

uint32_t *board = nullptr;

std::atomic_ref<uint32_t> word(int slot) { return std::atomic_ref<uint32_t>(board[slot]); }

} // namespace

bool open_admission_board() {
    void *mapped = mmap(nullptr, WORKER_SLOTS * sizeof(uint32_t), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return false;
    board = static_cast<uint32_t *>(mapped);
    return true;
}

void close_admission_board() {
    if (board != nullptr) munmap(board, WORKER_SLOTS * sizeof(uint32_t));
    board = nullptr;
}

void expect_admission(int slot) { word(slot).store(uint32_t(admission::pending)); }

admission await_admission(int slot, int timeout_ms) {
    const int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        const uint32_t seen = word(slot).load();
        if (seen != uint32_t(admission::pending)) return admission(seen);
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0 || !os_get_server_status()) return admission::pending;
        const int64_t step = left < WAIT_STEP_MS ? left : WAIT_STEP_MS;
        const timespec wait{time_t(step / 1000), long(step % 1000) * 1000000};
        syscall(SYS_futex, &board[slot], FUTEX_WAIT, seen, &wait, nullptr, 0);
    }
}

void give_admission(int slot, admission verdict) {
    word(slot).store(uint32_t(verdict));
    syscall(SYS_futex, &board[slot], FUTEX_WAKE, 1, nullptr, nullptr, 0);
}
