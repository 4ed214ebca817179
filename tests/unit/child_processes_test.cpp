// The tests' view of a process's children in /proc: states, zombies, stopped children, and
// processes that vanish while the list is read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "child_guard.h"
#include "test_server.h"

namespace {

using namespace tvn_test;

bool listed(const std::vector<pid_t> &pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

TEST(child_processes, zombies_are_told_apart_from_live_children) {
    auto sleeper = fork_child([] {
        pause();
        return 0;
    });
    auto quitter = fork_child([] { return 0; });
    ASSERT_TRUE(wait_until([&] { return process_state_of(quitter.pid()) == 'Z'; }, 10s));
    EXPECT_TRUE(listed(children_of(getpid()), sleeper.pid()));
    EXPECT_FALSE(listed(children_of(getpid()), quitter.pid()));
    EXPECT_TRUE(listed(zombie_children_of(getpid()), quitter.pid()));
    EXPECT_FALSE(listed(zombie_children_of(getpid()), sleeper.pid()));
    EXPECT_EQ(quitter.wait_exit(5s), 0);
    EXPECT_EQ(process_state_of(quitter.pid()), 0);
}

TEST(child_processes, a_stopped_child_shows_stopped_and_runs_again_when_the_guard_goes) {
    auto sleeper = fork_child([] {
        pause();
        return 0;
    });
    {
        stopped_process paused(sleeper.pid());
        ASSERT_TRUE(paused.stopped());
        EXPECT_EQ(process_state_of(sleeper.pid()), 'T');
    }
    EXPECT_TRUE(wait_until([&] { return process_state_of(sleeper.pid()) == 'S'; }, 10s));
}

TEST(child_processes, a_guarded_child_left_stopped_is_still_ended) {
    pid_t pid = -1;
    {
        auto sleeper = fork_child([] {
            pause();
            return 0;
        });
        pid = sleeper.pid();
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
        ASSERT_TRUE(wait_until([&] { return process_state_of(pid) == 'T'; }, 10s));
    }
    EXPECT_EQ(process_state_of(pid), 0) << "the stopped child was left behind";
}

TEST(child_processes, children_that_come_and_go_while_listed_never_make_it_throw) {
    std::atomic<bool> done = false;
    std::thread churn([&] {
        for (int i = 0; i < 300; ++i) {
            const pid_t child = fork();
            if (child == 0) _exit(0);
            if (child > 0) waitpid(child, nullptr, 0);
        }
        done = true;
    });
    do {
        EXPECT_NO_THROW(children_of(getpid()));
        EXPECT_NO_THROW(zombie_children_of(getpid()));
    } while (!done);
    churn.join();
}

} // namespace
