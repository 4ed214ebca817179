// Writers of one account database meeting each other: processes that append records while
// others rewrite password fields, from two working directories. No record may be lost and no
// line damaged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "account_db.h"
#include "server_root.h"

namespace {

using namespace std::chrono_literals;
using tvn_test::temp_root;

constexpr int appenders = 3;
constexpr int rewriters = 4; // two in each working directory
constexpr int rewrites_each = 4;
constexpr int least_appends = 20;
constexpr int most_appends = 100000; // a bound only: appends go on while rewrites run
constexpr int attempts = 30;         // per write; a writer that meets a lock tries again

std::string rewrite_user(int k, int j) { return "r" + std::to_string(k) + "_" + std::to_string(j); }
std::string new_hash(int k, int j) { return "NEW" + std::to_string(k) + "_" + std::to_string(j); }
std::string appended(int i, int n) {
    return "a" + std::to_string(i) + "_" + std::to_string(n) + "!O!G!/h!!!!";
}

// Shared between the forked writers: how many rewriters are still at work.
struct shared_state {
    std::atomic<int> rewriters_left;
};

void report(const temp_root &root, const std::string &name, const std::string &text) {
    std::ofstream(root.file("result-" + name)) << text;
}

// Appends numbered records until the rewriters are done (and at least a few), retrying each
// one that met a lock; reports how many went in, or "failed".
[[noreturn]] void run_appender(const temp_root &root, shared_state *state, int i) {
    const std::string database = root.file("db");
    int count = 0;
    bool failed = false;
    while (!failed && count < most_appends &&
           (count < least_appends || state->rewriters_left.load() > 0)) {
        db_result result = db_result::lock;
        for (int attempt = 0; attempt < attempts && result == db_result::lock; ++attempt)
            result = append_record(database.c_str(), appended(i, count).c_str());
        if (result == db_result::done)
            ++count;
        else
            failed = true;
    }
    report(root, "a" + std::to_string(i), failed ? "failed" : std::to_string(count));
    _exit(0);
}

// Rewrites field 1 of its own records from its working directory, retrying each rewrite that
// met the temporary file or a lock of another writer.
[[noreturn]] void run_rewriter(const temp_root &root, shared_state *state, int k) {
    const std::string database = root.file("db");
    std::string outcome = "done";
    if (chdir(root.file(k % 2 == 0 ? "a" : "b").c_str()) != 0) outcome = "chdir";
    for (int j = 0; j < rewrites_each && outcome == "done"; ++j) {
        const std::string user = rewrite_user(k, j), hash = new_hash(k, j);
        db_result result = db_result::lock;
        for (int attempt = 0;
             attempt < attempts && (result == db_result::lock || result == db_result::aux_file);
             ++attempt)
            result = replace_field(field_change{database.c_str(), user.c_str(), 1, '!',
                                                hash.c_str(), name_match::any_case});
        if (result != db_result::done) outcome = "result " + std::to_string(int(result));
    }
    state->rewriters_left.fetch_sub(1);
    report(root, "r" + std::to_string(k), outcome);
    _exit(0);
}

TEST(account_db_concurrency_test, appends_and_rewrites_lose_nothing) {
    temp_root root;
    ASSERT_EQ(mkdir(root.file("a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(root.file("b").c_str(), 0755), 0);
    std::vector<std::string> base = {"first!F1!F2!/home/first!!!!", "  last!L1!L2!!/p!/q!/w!"};
    std::string initial = base[0] + "\n";
    for (int k = 0; k < rewriters; ++k)
        for (int j = 0; j < rewrites_each; ++j) initial += rewrite_user(k, j) + "!OLD!G!/h!!!!\n";
    initial += base[1] + "\n";
    root.write_file("db", initial);

    void *memory = mmap(nullptr, sizeof(shared_state), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto *state = new (memory) shared_state{};
    state->rewriters_left.store(rewriters);

    std::fflush(nullptr);
    std::vector<pid_t> children;
    for (int i = 0; i < appenders; ++i) {
        const pid_t pid = fork();
        if (pid == 0) run_appender(root, state, i);
        children.push_back(pid);
    }
    for (int k = 0; k < rewriters; ++k) {
        const pid_t pid = fork();
        if (pid == 0) run_rewriter(root, state, k);
        children.push_back(pid);
    }
    for (pid_t child : children) {
        pid_t reaped = 0;
        EXPECT_EQ(tvn_test::wait_for_exit(child, 120s, &reaped), 0);
        if (reaped != child) kill(child, SIGKILL);
    }
    munmap(memory, sizeof(shared_state));

    std::multiset<std::string> expected(base.begin(), base.end());
    for (int k = 0; k < rewriters; ++k) {
        EXPECT_EQ(root.read_file("result-r" + std::to_string(k)), "done") << "rewriter " << k;
        for (int j = 0; j < rewrites_each; ++j)
            expected.insert(rewrite_user(k, j) + "!" + new_hash(k, j) + "!G!/h!!!!");
    }
    int total_appends = 0;
    for (int i = 0; i < appenders; ++i) {
        const std::string result = root.read_file("result-a" + std::to_string(i));
        ASSERT_NE(result, "failed") << "appender " << i;
        ASSERT_FALSE(result.empty()) << "appender " << i;
        const int count = std::stoi(result);
        EXPECT_GE(count, least_appends);
        total_appends += count;
        for (int n = 0; n < count; ++n) expected.insert(appended(i, n));
    }

    std::multiset<std::string> found;
    std::istringstream lines(root.read_file("db"));
    for (std::string line; std::getline(lines, line);) found.insert(line);
    EXPECT_EQ(found.size(), expected.size());
    for (const std::string &line : found)
        EXPECT_EQ(expected.count(line), found.count(line)) << "unexpected or doubled: " << line;
    for (const std::string &line : expected)
        EXPECT_EQ(found.count(line), expected.count(line)) << "missing: " << line;
    EXPECT_FALSE(root.exists("a/tvn_aux_file"));
    EXPECT_FALSE(root.exists("b/tvn_aux_file"));
    RecordProperty("appended_records", total_appends);
}

} // namespace
