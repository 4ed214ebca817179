// The master's record of its workers: slots, the idle and busy counts, and that each worker
// gives back its share exactly once, whether it reports or dies.
#include "worker_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

namespace {

class worker_table_test : public ::testing::Test {
protected:
    void SetUp() override { table->reset(area.get()); }

    // Starts a worker with the next made-up pid; returns it.
    pid_t start() {
        const pid_t pid = next_pid++;
        table->started(pid);
        return pid;
    }

    std::unique_ptr<tvn_status_area> area = std::make_unique<tvn_status_area>();
    std::unique_ptr<worker_table> table = std::make_unique<worker_table>();
    pid_t next_pid = 1000;
};

TEST_F(worker_table_test, a_new_run_wants_five_workers_from_slot_zero) {
    EXPECT_EQ(table->next_slot(), 0);
    EXPECT_EQ(table->slots_used(), 1);
    EXPECT_EQ(table->idle_workers(), 0);
    EXPECT_EQ(table->busy_count(), 0u);
    for (int i = 0; i < MIN_IDLE_WORKERS; ++i) {
        EXPECT_TRUE(table->wants_worker()) << i;
        const pid_t pid = start();
        EXPECT_EQ(area->slots[i].pid, pid);
        EXPECT_EQ(table->pid_at(i), pid);
        EXPECT_EQ(table->share_at(i), worker_share::idle);
    }
    EXPECT_FALSE(table->wants_worker());
    EXPECT_EQ(table->idle_workers(), 5);
    EXPECT_EQ(table->next_slot(), 5);
}

TEST_F(worker_table_test, an_accepted_report_moves_one_idle_worker_to_busy_once) {
    const pid_t worker = start();
    start();
    EXPECT_TRUE(table->accepted(worker));
    EXPECT_EQ(table->idle_workers(), 1);
    EXPECT_EQ(table->busy_count(), 1u);
    EXPECT_EQ(area->busy_count, 1u);
    EXPECT_FALSE(table->accepted(worker)); // a second report of the same worker counts nothing
    EXPECT_EQ(table->idle_workers(), 1);
    EXPECT_EQ(table->busy_count(), 1u);
    EXPECT_TRUE(table->wants_worker());
}

TEST_F(worker_table_test, reports_about_processes_outside_the_table_change_nothing) {
    for (int i = 0; i < 5; ++i) start();
    for (pid_t stranger : {0, -1, 1, 999, 99999}) {
        EXPECT_FALSE(table->accepted(stranger)) << stranger;
        EXPECT_FALSE(table->finished(stranger, true)) << stranger;
        EXPECT_FALSE(table->ended(stranger)) << stranger;
    }
    EXPECT_EQ(table->idle_workers(), 5);
    EXPECT_EQ(table->busy_count(), 0u);
}

// What a worker went through before it was reaped, and what the counts are afterwards.
struct life_row {
    const char *name;
    bool accepted;
    bool finished;
    bool finished_in_drain; // reported while stopping: counts are left alone
    int idle_after;
    uint32_t busy_after;
};

class worker_life_test : public worker_table_test,
                         public ::testing::WithParamInterface<life_row> {};

TEST_P(worker_life_test, a_reaped_worker_gives_back_its_share_once) {
    const life_row &row = GetParam();
    const pid_t other_busy = start();
    ASSERT_TRUE(table->accepted(other_busy));
    start(); // another idle one
    const pid_t worker = start();
    if (row.accepted) {
        ASSERT_TRUE(table->accepted(worker));
    }
    if (row.finished) {
        EXPECT_TRUE(table->finished(worker, !row.finished_in_drain));
    }
    EXPECT_TRUE(table->ended(worker));
    EXPECT_EQ(table->idle_workers(), row.idle_after);
    EXPECT_EQ(table->busy_count(), row.busy_after);
    EXPECT_FALSE(table->ended(worker)); // reaped once; its slot is free
    EXPECT_EQ(table->idle_workers(), row.idle_after);
    EXPECT_EQ(table->busy_count(), row.busy_after);
}

INSTANTIATE_TEST_SUITE_P(
    lives, worker_life_test,
    ::testing::Values(life_row{"killed_while_idle", false, false, false, 1, 1},
                      life_row{"killed_while_serving", true, false, false, 1, 1},
                      life_row{"finished_after_serving", true, true, false, 1, 1},
                      life_row{"finished_without_serving", false, true, false, 1, 1},
                      life_row{"finished_while_draining", true, true, true, 1, 2}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(worker_table_test, a_finished_worker_is_released_again_when_it_reports_twice) {
    const pid_t worker = start();
    ASSERT_TRUE(table->accepted(worker));
    EXPECT_TRUE(table->finished(worker, true));
    EXPECT_EQ(table->busy_count(), 0u);
    EXPECT_TRUE(table->finished(worker, true)); // signalled again, counted no more
    EXPECT_EQ(table->busy_count(), 0u);
    EXPECT_EQ(table->idle_workers(), 0);
    EXPECT_FALSE(table->accepted(worker));
}

TEST_F(worker_table_test, a_reaped_workers_slot_takes_the_next_worker) {
    const pid_t first = start();
    for (int i = 0; i < 4; ++i) start();
    ASSERT_TRUE(table->ended(first));
    EXPECT_EQ(area->slots[0].pid, 0);
    const pid_t replacement = start(); // goes to the chosen slot 5; slot 0 comes after it
    EXPECT_EQ(table->pid_at(5), replacement);
    const pid_t next = start();
    EXPECT_EQ(table->pid_at(0), next);
}

TEST_F(worker_table_test, a_full_table_starts_nobody_until_a_slot_is_freed) {
    std::vector<pid_t> pids;
    while (table->next_slot() != -1) pids.push_back(start());
    ASSERT_EQ(pids.size(), size_t(WORKER_SLOTS));
    EXPECT_FALSE(table->wants_worker());
    // Free the top slot, the one a careless mark would drop out of the searched range.
    ASSERT_TRUE(table->ended(pids.back()));
    EXPECT_EQ(table->next_slot(), WORKER_SLOTS - 1);
    const pid_t late = start();
    EXPECT_EQ(table->pid_at(WORKER_SLOTS - 1), late);
    EXPECT_EQ(table->next_slot(), -1);
    EXPECT_TRUE(table->accepted(late)) << "the worker in the top slot is out of reach";
    EXPECT_TRUE(table->ended(late));
    EXPECT_TRUE(table->ended(pids.front()));
    EXPECT_EQ(table->next_slot(), WORKER_SLOTS - 1);
}

// Random starts, reports and deaths against a plain model of the same workers: every live
// worker stays reachable, and the counts always match.
TEST_F(worker_table_test, counts_and_slots_stay_right_through_any_sequence) {
    std::mt19937 random(7);
    std::set<pid_t> idle, busy, released;
    for (int step = 0; step < 20000; ++step) {
        const unsigned choice = random() % 4;
        const size_t live = idle.size() + busy.size() + released.size();
        if (choice == 0 || live == 0) {
            if (table->next_slot() != -1) idle.insert(start());
            continue;
        }
        std::vector<pid_t> all(idle.begin(), idle.end());
        all.insert(all.end(), busy.begin(), busy.end());
        all.insert(all.end(), released.begin(), released.end());
        const pid_t pid = all[random() % all.size()];
        if (choice == 1) {
            EXPECT_EQ(table->accepted(pid), idle.count(pid) == 1);
            if (idle.erase(pid) != 0) busy.insert(pid);
        } else if (choice == 2) {
            EXPECT_TRUE(table->finished(pid, true));
            idle.erase(pid);
            busy.erase(pid);
            released.insert(pid);
        } else {
            EXPECT_TRUE(table->ended(pid));
            idle.erase(pid);
            busy.erase(pid);
            released.erase(pid);
        }
        ASSERT_EQ(table->idle_workers(), int(idle.size())) << "step " << step;
        ASSERT_EQ(table->busy_count(), uint32_t(busy.size())) << "step " << step;
    }
    // Every worker still alive is found where the table says, below the mark.
    for (const auto *group : {&idle, &busy, &released}) {
        for (pid_t pid : *group) {
            bool found = false;
            for (int i = 0; i < table->slots_used(); ++i) found = found || table->pid_at(i) == pid;
            EXPECT_TRUE(found) << pid;
        }
    }
}

} // namespace
