// Several servers, one database: three servers, each with its own root, whose account
// database and users' areas lie in one shared tree. Password changes through different servers
// and records added by the tool at the same time lose nothing; the database's own lock, not
// the per-root tvn_aux_file marker, is what keeps rewriters of different servers apart.
#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "account_wire.h"
#include "lock_holder.h"
#include "shared_tree.h"

namespace {

using namespace tvn_test;
namespace fs = std::filesystem;

constexpr int server_count = 3;
constexpr int user_count = 12;
constexpr int rounds_per_user = 5;
constexpr int tool_records = 8;

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool hash_matches(const std::string &password, const std::string &hash) {
    crypt_data data{};
    const char *made = crypt_r(password.c_str(), hash.c_str(), &data);
    return made != nullptr && hash == made;
}

// The records of the database by name: every field of each line.
std::map<std::string, std::vector<std::vector<std::string>>> records_of(const std::string &text) {
    std::map<std::string, std::vector<std::vector<std::string>>> records;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '!');) fields.push_back(field);
        records[fields.empty() ? "" : fields[0]].push_back(fields);
    }
    return records;
}

// A user whose passwords one thread changes; what it knows is always what the database holds.
struct user_state {
    shared_account account;
    int made = 0;    // changes the server answered as made
    int refused = 0; // changes it answered as failed (the database left as it was)
    std::vector<std::string> faults;
};

class shared_database : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the workers switch to the service account: needs root";
        tree = std::make_unique<shared_tree>();
        for (int i = 0; i < user_count; ++i) {
            auto user = std::make_unique<user_state>();
            const std::string n = std::to_string(i);
            user->account = tree->make_account("user" + n, "own-" + n, "gst-" + n);
            users.push_back(std::move(user));
        }
        std::vector<shared_account> accounts;
        for (const auto &user : users) accounts.push_back(user->account);
        tree->write_records(accounts);
        for (int i = 0; i < server_count; ++i) {
            servers.push_back(std::make_unique<test_server>(tree->options()));
            tree->prepare_root(servers.back()->root());
            ASSERT_TRUE(servers.back()->start()) << servers.back()->output();
        }
    }

    uint16_t port(int server) const { return servers[std::size_t(server % server_count)]->port(); }
    static std::string login(const shared_account &account) { return account.name + "@shared"; }

    // One change through a server, and what it did, told apart by logging in when the answer
    // does not say: the password that opens a session is the one the database holds.
    void change(user_state &user, int server, bool owner, const std::string &fresh) {
        shared_account &account = user.account;
        const wire_outcome told =
            try_change(port(server), "", login(account), account.owner_password, fresh, owner);
        std::string &kept = owner ? account.owner_password : account.guest_password;
        const std::string old = kept;
        const auto opens = [&](const std::string &password) {
            return try_login(port(server + 1), "", login(account), password) ==
                   wire_outcome::accepted;
        };
        if (told == wire_outcome::accepted) {
            kept = fresh;
            ++user.made;
            if (!opens(fresh))
                user.faults.push_back(account.name + ": changed through server " +
                                      std::to_string(server % server_count) +
                                      ", but the new password opens no session elsewhere");
        } else if (opens(old)) {
            ++user.refused;
        } else if (opens(fresh)) {
            kept = fresh;
            user.faults.push_back(account.name + ": the change was made but not answered so");
        } else {
            user.faults.push_back(account.name + ": neither the old nor the new password works");
        }
    }

    std::unique_ptr<shared_tree> tree;
    std::vector<std::unique_ptr<user_state>> users;
    std::vector<std::unique_ptr<test_server>> servers;
};

TEST_F(shared_database, changes_through_three_servers_and_records_added_at_once_are_all_kept) {
    std::vector<std::thread> threads;
    for (std::size_t u = 0; u < users.size(); ++u)
        threads.emplace_back([this, u] {
            user_state &user = *users[u];
            for (int round = 0; round < rounds_per_user; ++round)
                change(user, int(u) + round, round % 2 == 0,
                       "r" + std::to_string(round) + "-" + std::to_string(u));
        });
    std::vector<shared_account> added;
    for (int i = 0; i < tool_records; ++i)
        added.push_back({"added" + std::to_string(i), "new-own-" + std::to_string(i),
                         "new-gst-" + std::to_string(i), tree->home_of("added" + std::to_string(i))});
    std::vector<std::string> tool_failures;
    threads.emplace_back([&] {
        for (std::size_t i = 0; i < added.size(); ++i) {
            std::string output;
            // From each server's root in turn: the tool works where its administrator is.
            const std::string root = servers[i % servers.size()]->root().path();
            if (!add_user_with_tool(TVNADDUSER_BINARY, root, tree->database(), added[i].name,
                                    added[i].owner_password, added[i].guest_password,
                                    added[i].home, &output))
                tool_failures.push_back(added[i].name + ":\n" + output);
        }
    });
    for (auto &thread : threads) thread.join();
    EXPECT_TRUE(tool_failures.empty()) << tool_failures.front();

    int made = 0;
    for (const auto &user : users) {
        for (const std::string &fault : user->faults) ADD_FAILURE() << fault;
        made += user->made;
    }
    EXPECT_GT(made, user_count) << "too few changes were made to show anything";

    // Every record once, with the passwords last changed; nothing else in the file.
    const auto records = records_of(read_text(tree->database()));
    EXPECT_EQ(records.size(), users.size() + added.size());
    for (const auto &user : users) {
        const auto found = records.find(user->account.name);
        ASSERT_NE(found, records.end()) << user->account.name << " was lost";
        ASSERT_EQ(found->second.size(), 1u) << user->account.name << " is there twice";
        const auto &fields = found->second.front();
        ASSERT_GE(fields.size(), 4u);
        EXPECT_TRUE(hash_matches(user->account.owner_password, fields[1])) << fields[0];
        EXPECT_TRUE(hash_matches(user->account.guest_password, fields[2])) << fields[0];
        EXPECT_EQ(fields[3], user->account.home);
    }
    for (const shared_account &account : added) {
        const auto found = records.find(account.name);
        ASSERT_NE(found, records.end()) << account.name << " was lost";
        EXPECT_EQ(found->second.size(), 1u) << account.name << " is there twice";
    }
    // And every server agrees: the last passwords open sessions everywhere.
    for (int s = 0; s < server_count; ++s) {
        for (const auto &user : users)
            EXPECT_EQ(try_login(port(s), "", login(user->account), user->account.owner_password),
                      wire_outcome::accepted)
                << user->account.name << " on server " << s;
        for (const shared_account &account : added)
            EXPECT_EQ(try_login(port(s), "", login(account), account.guest_password),
                      wire_outcome::accepted)
                << account.name << " on server " << s;
    }
    // No new file of a rewrite is left beside the database.
    for (const auto &entry : fs::directory_iterator(tree->path() + "users"))
        EXPECT_EQ(entry.path().filename(), "accounts.passwd") << entry.path();
}

TEST_F(shared_database, the_marker_of_one_root_does_not_stop_the_servers_of_the_others) {
    // A marker left in server 0's root stops the rewriters working there, and no one else:
    // each root has its own.
    user_state &user = *users[0];
    const std::string marker = servers[0]->root().file("tvn_aux_file");
    std::ofstream(marker).close();
    const std::string before = read_text(tree->database());
    EXPECT_EQ(try_change(port(0), "", login(user.account), user.account.owner_password, "via-0",
                         true),
              wire_outcome::refused);
    EXPECT_EQ(read_text(tree->database()), before);
    change(user, 1, true, "via-1");
    EXPECT_EQ(user.made, 1);
    EXPECT_TRUE(user.faults.empty()) << user.faults.front();
    fs::remove(marker);
}

TEST_F(shared_database, rewriters_of_different_servers_exclude_each_other_by_the_database_lock) {
    user_state &user = *users[1];
    const std::string before = read_text(tree->database());
    {
        // Whoever holds the database's lock, on whichever machine: no server rewrites it.
        lock_holder holder(tree->database());
        ASSERT_TRUE(holder.held());
        for (int s = 0; s < server_count; ++s)
            EXPECT_EQ(try_change(port(s), "", login(user.account), user.account.owner_password,
                                 "locked-out", false),
                      wire_outcome::refused)
                << "server " << s;
        EXPECT_EQ(read_text(tree->database()), before);
        // Nor does the tool append meanwhile.
        std::string output;
        EXPECT_FALSE(add_user_with_tool(TVNADDUSER_BINARY, servers[2]->root().path(),
                                        tree->database(), "late", "a", "b",
                                        tree->home_of("late"), &output))
            << output;
        EXPECT_EQ(read_text(tree->database()), before);
    }
    change(user, 2, false, "after-the-lock");
    EXPECT_EQ(user.made, 1);
    EXPECT_TRUE(user.faults.empty()) << user.faults.front();
}

} // namespace
