// The master's own record of its workers: which process holds which slot of the status area,
// and what each one is counted as. The master acts on this copy only; the slot pids in the
// shared area mirror it for the workers' sake.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>

#include "address_limits.h"
#include "workers.h"

// What a worker stands for in the counts. A worker gives back its share exactly once: when it
// reports MSG_FINISHED (released), or when it is reaped without having done so.
enum class worker_share : uint8_t { none, idle, busy, released };

class worker_table {
public:
    // Starts a run on the area: every slot free, slot 0 chosen for the first worker, no
    // connection counted. area must outlive the run.
    void reset(tvn_status_area *area);

    // True while fewer than five workers are idle and a slot is free.
    bool wants_worker() const { return idle_ < MIN_IDLE_WORKERS && next_slot_ != -1; }
    // The slot the next worker goes into; -1 when the table is full.
    int next_slot() const { return next_slot_; }

    // A worker was forked into next_slot(): it counts as idle until it reports. Chooses the
    // slot for the one after it.
    void started(pid_t pid);
    // MSG_ACCEPTED from pid: an idle worker becomes busy. False (nothing changed) when pid is
    // no idle worker of the table.
    bool accepted(pid_t pid);
    // MSG_FINISHED from pid: the worker gives back its share, or, without adjust_counts, only
    // stops counting. True when pid is a worker of the table that is to be released.
    bool finished(pid_t pid, bool adjust_counts);
    // pid has ended and was reaped: its slot is freed, with whatever it still counted for.
    // False when pid is no worker of the table.
    bool ended(pid_t pid);

    // The slot of a worker of the table, or -1.
    int slot_of(pid_t pid) const;
    // The worker in slot is counted under its client's address until take_address.
    void hold_address(int slot, const address_key &address);
    // The address the worker pid was counted under, given up once: false when none.
    bool take_address(pid_t pid, address_key *address);

    int idle_workers() const { return idle_; }
    uint32_t busy_count() const { return area_->busy_count; }
    // Slots from here on are free; searches stop here.
    int slots_used() const { return slots_used_; }
    // The worker in a slot (0 when free) and its share.
    pid_t pid_at(int slot) const { return entries_[size_t(slot)].pid; }
    worker_share share_at(int slot) const { return entries_[size_t(slot)].share; }

private:
    struct entry {
        pid_t pid = 0;
        worker_share share = worker_share::none;
        bool holds_address = false;
        address_key address;
    };

    void choose_next_slot();
    // Lowers the count the slot's worker stands for; it then counts for nothing.
    void give_back(entry &worker);
    void clear_slot(int slot);

    tvn_status_area *area_ = nullptr;
    std::array<entry, WORKER_SLOTS> entries_{};
    int next_slot_ = 0;
    int idle_ = 0;
    // Every slot holding a worker, and next_slot_, lie below this mark.
    int slots_used_ = 0;
};
