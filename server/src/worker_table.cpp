// The master's record of its workers: slots, the idle and busy counts, and who is released.
#include "worker_table.h"

void worker_table::reset(tvn_status_area *area) {
    area_ = area;
    entries_.fill(entry{});
    area_->busy_count = 0;
    next_slot_ = 0;
    idle_ = 0;
    slots_used_ = 1;
}

int worker_table::slot_of(pid_t pid) const {
    if (pid <= 0) return -1;
    for (int i = 0; i < slots_used_; ++i)
        if (entries_[size_t(i)].pid == pid) return i;
    return -1;
}

void worker_table::choose_next_slot() {
    for (int i = 0; i < slots_used_; ++i) {
        if (entries_[size_t(i)].pid == 0) {
            next_slot_ = i;
            return;
        }
    }
    next_slot_ = slots_used_ < WORKER_SLOTS ? slots_used_++ : -1;
}

void worker_table::started(pid_t pid) {
    if (next_slot_ < 0 || pid <= 0) return;
    entries_[size_t(next_slot_)] = entry{pid, worker_share::idle, false, {}};
    area_->slots[next_slot_].pid = pid;
    ++idle_;
    choose_next_slot();
}

bool worker_table::accepted(pid_t pid) {
    const int slot = slot_of(pid);
    if (slot < 0 || entries_[size_t(slot)].share != worker_share::idle) return false;
    entries_[size_t(slot)].share = worker_share::busy;
    --idle_;
    ++area_->busy_count;
    return true;
}

bool worker_table::finished(pid_t pid, bool adjust_counts) {
    const int slot = slot_of(pid);
    if (slot < 0) return false;
    entry &worker = entries_[size_t(slot)];
    if (adjust_counts) give_back(worker);
    worker.share = worker_share::released;
    return true;
}

bool worker_table::ended(pid_t pid) {
    const int slot = slot_of(pid);
    if (slot < 0) return false;
    give_back(entries_[size_t(slot)]);
    clear_slot(slot);
    return true;
}

void worker_table::give_back(entry &worker) {
    if (worker.share == worker_share::idle)
        --idle_;
    else if (worker.share == worker_share::busy && area_->busy_count > 0)
        --area_->busy_count;
    worker.share = worker_share::none;
}

void worker_table::clear_slot(int slot) {
    entries_[size_t(slot)] = entry{};
    area_->slots[slot] = worker_slot{};
    if (next_slot_ == -1) next_slot_ = slot;
    // Lower the mark over free slots at the top, but never below the chosen slot: a worker
    // started there must stay within the searched range.
    while (slots_used_ > 1 && slots_used_ - 1 != next_slot_ &&
           entries_[size_t(slots_used_ - 1)].pid == 0)
        --slots_used_;
}

void worker_table::hold_address(int slot, const address_key &address) {
    entry &worker = entries_[size_t(slot)];
    worker.address = address;
    worker.holds_address = true;
}

bool worker_table::take_address(pid_t pid, address_key *address) {
    const int slot = slot_of(pid);
    if (slot < 0 || !entries_[size_t(slot)].holds_address) return false;
    entries_[size_t(slot)].holds_address = false;
    *address = entries_[size_t(slot)].address;
    return true;
}
