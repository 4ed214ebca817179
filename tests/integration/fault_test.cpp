// Faults around a real list-account server: a full disk under WRITE, COPYFILE and a password
// change, workers killed in the middle of transfers, a stop under load, and what crashed runs
// leave behind (an accept-lock file, a password-change marker). Nothing may be lost, left
// half-written under a final name, or left running.
#include <crypt.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "client_session.h"
#include "private_tmpfs.h"
#include "seeded_content.h"
#include "server_processes.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_client;

constexpr char alice[] = "alice@sales";
constexpr char owner_password[] = "owner-pw";

std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::uint8_t> file_bytes(const std::string &path) {
    const std::string text = file_text(path);
    return {text.begin(), text.end()};
}

// Names in a directory that a rewrite of an account database would leave behind.
std::vector<std::string> new_database_files(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind(".tvn_new.", 0) == 0)
            names.push_back(entry.path().filename().string());
    return names;
}

// One request and its answer, without the test framework, for threads: false when no
// answer came in time.
bool ask(connection &link, const packet_builder &packet, answer &into) {
    return link.request(packet.build(), into, ANSWER_TIMEOUT) == read_result::answer_read;
}

bool ok(connection &link, const packet_builder &packet, answer &into) {
    return ask(link, packet, into) && into.status() == OK;
}

// Writes the content to path.tvnpart and renames it to path when all of it is there, as the
// command-line client uploads. False as soon as an answer is missing or not OK.
bool upload(connection &link, const std::string &path, const std::vector<std::uint8_t> &content) {
    answer reply;
    const std::string part = path + ".tvnpart";
    if (!ok(link,
            open_request(part,
                         open_mode::write_only | open_mode::create | open_mode::truncate_file),
            reply))
        return false;
    const std::uint32_t handle = reply.param_u32(4).value_or(0);
    for (std::size_t at = 0; at < content.size(); at += TVN_MAX_TRANSFER) {
        const std::size_t length = std::min<std::size_t>(TVN_MAX_TRANSFER, content.size() - at);
        if (!ok(link, write_request(handle, std::int32_t(at), {content.data() + at, length}),
                reply) ||
            reply.param_u32(4) != length)
            return false;
    }
    return ok(link, close_request(handle), reply) && ok(link, rename_request(part, path), reply);
}

// The whole file, or empty when an answer is missing or not OK.
std::optional<std::vector<std::uint8_t>> download(connection &link, const std::string &path) {
    answer reply;
    if (!ok(link, open_request(path, open_mode::read_only), reply)) return std::nullopt;
    const std::uint32_t handle = reply.param_u32(4).value_or(0);
    std::vector<std::uint8_t> content;
    for (;;) {
        if (!ok(link, read_request(handle, std::int32_t(content.size()), TVN_MAX_TRANSFER), reply))
            return std::nullopt;
        if (reply.body().empty()) break;
        content.insert(content.end(), reply.body().begin(), reply.body().end());
    }
    if (!ok(link, close_request(handle), reply)) return std::nullopt;
    return content;
}

// The pids that hold (not wait for) a record lock on the inode, from /proc/locks.
std::vector<pid_t> lock_holders(ino_t inode) {
    std::ifstream locks("/proc/locks");
    std::vector<pid_t> holders;
    const std::string wanted = ":" + std::to_string(inode);
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos) continue; // a waiter
        std::istringstream fields(line);
        std::string number, kind, mode, type, device_inode;
        long pid = 0;
        fields >> number >> kind >> mode >> type >> pid >> device_inode;
        if (device_inode.size() > wanted.size() &&
            device_inode.compare(device_inode.size() - wanted.size(), wanted.size(), wanted) == 0)
            holders.push_back(pid_t(pid));
    }
    return holders;
}

class fault_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "the workers switch to the service account: needs root";
        const passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        service = *nobody;
    }
    void TearDown() override {
        server.reset(); // before the namespace its files may lie in goes
        tmpfs.reset();
    }

    // A small tmpfs in a private mount namespace, for the areas or the database; false (the
    // test then skips) when this host cannot give one.
    bool enter_tmpfs() {
        tmpfs = std::make_unique<private_tmpfs>("2m");
        return tmpfs->entered();
    }

    // A list-account server for alice@sales, not yet started: her home under home_parent and
    // the database in database_dir, each in the root when empty.
    void lay_out(const std::string &server_lines = "", const std::string &home_parent = "",
                 const std::string &database_dir = "") {
        const group *service_group = getgrgid(service.pw_gid);
        ASSERT_NE(service_group, nullptr);
        server_options options;
        options.modules = {"listacct.so", "pathmap.so"};
        options.server_lines = server_lines;
        options.start = false;
        const std::string database_place =
            (database_dir.empty() ? std::string("@ROOT@users") : database_dir) + "/sales.passwd";
        options.module_sections = std::string("<module mod_virtual_users>\n") +
                                  "    TvnUser nobody\n    TvnGroup " + service_group->gr_name +
                                  "\n    <VirtualDomain sales>\n"
                                  "        PasswdFile " +
                                  database_place +
                                  "\n"
                                  "        EnableDomain 1\n"
                                  "        OwnerChangePassword Enabled\n"
                                  "        GuestChangePassword Enabled\n"
                                  "        Alias sales\n"
                                  "    </VirtualDomain>\n"
                                  "</module>\n";
        server = std::make_unique<test_server>(options);
        temp_root &root = server->root();
        const std::string users = database_dir.empty() ? root.file("users") : database_dir;
        home = (home_parent.empty() ? root.file("home") : home_parent) + "/alice";
        database = users + "/sales.passwd";
        fs::create_directories(users);
        for (const char *area : {"", "/Private", "/Public", "/Web"}) {
            fs::create_directories(home + area);
            give(home + area);
        }
        std::ofstream(database) << "alice!" << crypt(owner_password, "$1$aaaaaaaa") << "!"
                                << crypt("guest-pw", "$1$gggggggg") << "!" << home << "!!!!\n";
        fs::permissions(root.path(), fs::perms(0755));
        for (const std::string &path : {root.path(), users, database}) give(path);
    }

    void give(const std::string &path) {
        ASSERT_EQ(chown(path.c_str(), service.pw_uid, service.pw_gid), 0) << path;
    }

    connection session() {
        connection link = connect_to(*server);
        EXPECT_EQ(exchange(link, connect_request(alice, owner_password)).status(), OK);
        return link;
    }

    answer change_password(const std::string &current, const std::string &fresh) {
        connection link = connect_to(*server);
        return exchange(link, changepwd_request(alice, current, fresh, true));
    }

    passwd service{};
    std::unique_ptr<private_tmpfs> tmpfs;
    std::unique_ptr<test_server> server;
    std::string home, database;
};

TEST_F(fault_test, a_full_disk_answers_disk_full_to_a_write_and_the_session_goes_on) {
    if (!enter_tmpfs()) GTEST_SKIP() << "no private tmpfs: " << tmpfs->failure();
    ASSERT_NO_FATAL_FAILURE(lay_out("", tmpfs->path()));
    ASSERT_TRUE(server->start()) << server->output();
    connection link = session();
    const auto kept = make_content(1, 300000);
    ASSERT_TRUE(upload(link, "/Private/kept", kept));
    ASSERT_TRUE(tmpfs->fill());

    answer opened =
        exchange(link, open_request("/Private/new", open_mode::write_only | open_mode::create));
    ASSERT_EQ(opened.status(), OK);
    const auto more = make_content(2, 100000);
    answer written = exchange(link, write_request(opened.param_u32(4).value_or(0), 0, more));
    EXPECT_EQ(written.method(), WRITE);
    EXPECT_EQ(written.status(), DISK_FULL);
    EXPECT_EQ(written.header_length(), uint32_t(TVN_ANSWER_ERROR));

    EXPECT_EQ(exchange(link, getdir_request("/Private")).status(), OK);
    EXPECT_TRUE(download(link, "/Private/kept") == kept);
    EXPECT_TRUE(file_bytes(home + "/Private/kept") == kept);
}

TEST_F(fault_test, a_full_disk_answers_disk_full_to_a_copyfile_and_leaves_the_source_intact) {
    if (!enter_tmpfs()) GTEST_SKIP() << "no private tmpfs: " << tmpfs->failure();
    ASSERT_NO_FATAL_FAILURE(lay_out("", tmpfs->path()));
    ASSERT_TRUE(server->start()) << server->output();
    connection link = session();
    const auto kept = make_content(3, 300000);
    ASSERT_TRUE(upload(link, "/Private/kept", kept));
    ASSERT_TRUE(tmpfs->fill());

    answer opened =
        exchange(link, open_request("/Public/copy", open_mode::write_only | open_mode::create));
    ASSERT_EQ(opened.status(), OK);
    answer copied = exchange(
        link, copyfile_request(opened.param_u32(4).value_or(0), 0, 300000, "/Private/kept"));
    EXPECT_EQ(copied.method(), COPYFILE);
    EXPECT_EQ(copied.status(), DISK_FULL);
    EXPECT_EQ(copied.header_length(), uint32_t(TVN_ANSWER_ERROR));

    EXPECT_EQ(exchange(link, getdir_request("/Public")).status(), OK);
    EXPECT_TRUE(download(link, "/Private/kept") == kept);
    EXPECT_TRUE(file_bytes(home + "/Private/kept") == kept);
}

TEST_F(fault_test, a_password_change_on_a_full_disk_fails_and_leaves_the_database_as_it_was) {
    if (!enter_tmpfs()) GTEST_SKIP() << "no private tmpfs: " << tmpfs->failure();
    const std::string users = tmpfs->path() + "/users";
    ASSERT_NO_FATAL_FAILURE(lay_out("", "", users));
    ASSERT_TRUE(server->start()) << server->output();
    const std::string before = file_text(database);
    ASSERT_TRUE(tmpfs->fill());

    const answer failed = change_password(owner_password, "fresh-pw");
    EXPECT_EQ(failed.method(), CONNECT);
    EXPECT_EQ(failed.status(), 0); // the change was not stored
    EXPECT_EQ(failed.header_length(), uint32_t(TVN_ANSWER_SESSION));
    EXPECT_EQ(file_text(database), before);
    EXPECT_EQ(new_database_files(users), std::vector<std::string>{});
    EXPECT_FALSE(server->root().exists("tvn_aux_file"));
    connection with_old = connect_to(*server);
    EXPECT_EQ(exchange(with_old, connect_request(alice, owner_password)).status(), OK);

    // With room again, the same change goes through.
    ASSERT_TRUE(fs::remove(tmpfs->path() + "/filler"));
    EXPECT_EQ(change_password(owner_password, "fresh-pw").status(), OK);
    connection with_new = connect_to(*server);
    EXPECT_EQ(exchange(with_new, connect_request(alice, "fresh-pw")).status(), OK);
}

// Uploads and downloads rounds of files on one session until told to stop or an answer fails.
struct transfer_rounds {
    std::atomic<int> done{0};
    std::atomic<bool> failed{false};

    void run(connection &link, int session, const std::atomic<bool> &stop) {
        for (int round = 0; !stop; ++round) {
            const std::string path =
                "/Private/s" + std::to_string(session) + "-" + std::to_string(round);
            const auto content =
                make_content(std::uint64_t(session) << 32 | unsigned(round), 3000000);
            if (!upload(link, path, content) || download(link, path) != content) {
                failed = true;
                return;
            }
            ++done;
        }
    }
};

TEST_F(fault_test, a_worker_killed_mid_transfer_frees_its_slot_and_the_others_finish_intact) {
    constexpr int sessions = 4;
    ASSERT_NO_FATAL_FAILURE(lay_out("    MaxConcurrentUsers " + std::to_string(sessions) + "\n"));
    ASSERT_TRUE(server->start()) << server->output();
    const pid_t master = server->pid();
    std::vector<connection> links;
    for (int i = 0; i < sessions; ++i) links.push_back(session());
    const pid_t victim = serving_worker(*server, links[0].fd());
    ASSERT_GT(victim, 0);

    std::atomic<bool> stop{false};
    std::vector<transfer_rounds> rounds(sessions);
    std::vector<std::thread> threads;
    for (int i = 0; i < sessions; ++i)
        threads.emplace_back([&, i] { rounds[i].run(links[std::size_t(i)], i, stop); });
    const bool all_busy = wait_until(
        [&] {
            for (const auto &r : rounds)
                if (r.done == 0 && !r.failed) return false;
            return true;
        },
        60s);
    std::vector<int> done_at_kill;
    for (const auto &r : rounds) done_at_kill.push_back(r.done);
    EXPECT_EQ(kill(victim, SIGKILL), 0);
    // Each survivor starts and finishes at least one whole round after the kill.
    const bool survivors_went_on = wait_until(
        [&] {
            for (int i = 1; i < sessions; ++i)
                if (rounds[std::size_t(i)].done < done_at_kill[std::size_t(i)] + 2 &&
                    !rounds[std::size_t(i)].failed)
                    return false;
            return true;
        },
        120s);
    stop = true;
    for (auto &thread : threads) thread.join();
    ASSERT_TRUE(all_busy);
    EXPECT_TRUE(survivors_went_on);
    EXPECT_TRUE(rounds[0].failed) << "the killed worker's session went on";
    for (int i = 1; i < sessions; ++i)
        EXPECT_FALSE(rounds[std::size_t(i)].failed) << "session " << i;

    EXPECT_TRUE(wait_until([&] { return !is_child_of(master, victim); }, 10s));
    EXPECT_EQ(zombie_children_of(master), std::vector<pid_t>{});
    // The killed one's slot is free again, and only that one.
    links[0].close();
    connection again = connect_to(*server);
    EXPECT_EQ(exchange(again, connect_request(alice, owner_password)).status(), OK);
    connection beyond = connect_to(*server);
    EXPECT_TRUE(closed_without_answer(beyond, connect_request(alice, owner_password)));
}

TEST_F(fault_test, sigquit_under_load_ends_every_session_and_leaves_only_whole_files) {
    constexpr int sessions = 6;
    ASSERT_NO_FATAL_FAILURE(lay_out());
    ASSERT_TRUE(server->start()) << server->output();
    std::vector<connection> links;
    for (int i = 0; i < sessions; ++i) links.push_back(session());
    const auto size_of = [](int s, int r) {
        return std::size_t(1000000 + (s * 7919 + r * 104729) % 1000000);
    };
    const auto seed_of = [](int s, int r) { return std::uint64_t(s) << 32 | unsigned(r); };

    std::atomic<int> renamed{0};
    std::mutex names_lock;
    std::set<std::string> final_names;
    std::vector<std::thread> threads;
    for (int s = 0; s < sessions; ++s)
        threads.emplace_back([&, s] {
            for (int r = 0;; ++r) {
                const std::string name = "q" + std::to_string(s) + "-" + std::to_string(r);
                if (!upload(links[std::size_t(s)], "/Private/" + name,
                            make_content(seed_of(s, r), size_of(s, r))))
                    return;
                std::lock_guard<std::mutex> hold(names_lock);
                final_names.insert(name);
                ++renamed;
            }
        });
    const bool loaded = wait_until([&] { return renamed >= sessions; }, 60s);
    const std::vector<pid_t> workers = server->workers();
    const int status = server->stop(SIGQUIT);
    for (auto &thread : threads) thread.join(); // every session ended
    ASSERT_TRUE(loaded);
    EXPECT_EQ(status, 0);

    // No worker is left: the master (this process's child) reaped them, or they would be
    // this process's now.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
    EXPECT_EQ(child_processes(getpid()).size(), 0u);
    for (pid_t worker : workers) EXPECT_EQ(process_state_of(worker), 0) << "worker " << worker;

    // Every final name holds its whole content; parts may be cut short.
    std::set<std::string> found;
    for (const auto &entry : fs::directory_iterator(home + "/Private")) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 8 && name.compare(name.size() - 8, 8, ".tvnpart") == 0) continue;
        int s = -1, r = -1;
        ASSERT_EQ(std::sscanf(name.c_str(), "q%d-%d", &s, &r), 2) << name;
        EXPECT_TRUE(file_bytes(entry.path().string()) == make_content(seed_of(s, r), size_of(s, r)))
            << name;
        found.insert(name);
    }
    for (const auto &name : final_names) EXPECT_EQ(found.count(name), 1u) << name;
}

TEST_F(fault_test, a_stale_accept_lock_file_does_not_prevent_a_start) {
    ASSERT_NO_FATAL_FAILURE(lay_out());
    server->root().write_file("log/accept.lock", "left by a crashed run\n");
    ASSERT_TRUE(server->start()) << server->output();
    EXPECT_FALSE(server->root().exists("log/accept.lock"));

    // The lock the workers take is the master's own, and exactly one of them holds it.
    const pid_t master = server->pid();
    ino_t lock_inode = 0;
    for (const auto &[fd, target] : descriptors_of(master)) {
        struct stat status {};
        if (target.rfind(server->root().file("log/accept.lock"), 0) == 0 &&
            stat(("/proc/" + std::to_string(master) + "/fd/" + std::to_string(fd)).c_str(),
                 &status) == 0)
            lock_inode = status.st_ino;
    }
    ASSERT_NE(lock_inode, 0u) << "the master holds no accept lock";
    std::vector<pid_t> holders;
    EXPECT_TRUE(wait_until([&] { return (holders = lock_holders(lock_inode)).size() == 1; }, 10s))
        << holders.size() << " holders";
    const auto workers = server->workers();
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_NE(std::find(workers.begin(), workers.end(), holders[0]), workers.end());

    connection link = session();
    EXPECT_EQ(exchange(link, getdir_request("/")).status(), OK);
}

TEST_F(fault_test, a_stale_aux_file_makes_a_password_change_give_up_until_it_is_removed) {
    ASSERT_NO_FATAL_FAILURE(lay_out());
    ASSERT_TRUE(server->start()) << server->output();
    const std::string before = file_text(database);
    server->root().write_file("tvn_aux_file", "");

    const auto started = std::chrono::steady_clock::now();
    const answer failed = change_password(owner_password, "fresh-pw");
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(failed.method(), CONNECT);
    EXPECT_EQ(failed.status(), 0);
    EXPECT_EQ(failed.header_length(), uint32_t(TVN_ANSWER_SESSION));
    EXPECT_GE(waited, 3500ms);
    EXPECT_LT(waited, 9s);
    EXPECT_EQ(file_text(database), before);
    EXPECT_TRUE(server->root().exists("tvn_aux_file")) << "another writer's marker was removed";
    EXPECT_EQ(new_database_files(fs::path(database).parent_path()), std::vector<std::string>{});

    ASSERT_TRUE(fs::remove(server->root().file("tvn_aux_file")));
    EXPECT_EQ(change_password(owner_password, "fresh-pw").status(), OK);
    EXPECT_FALSE(server->root().exists("tvn_aux_file"));
    connection with_new = connect_to(*server);
    EXPECT_EQ(exchange(with_new, connect_request(alice, "fresh-pw")).status(), OK);
}

} // namespace
