// Files end to end: listing, transfer, namespace operations and the handle pool, through the
// path-mapping module with the test account (areas ROOT/home/{Private,Public,Web}).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "client_session.h"
#include "tolvane/listing.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_client;
using bytes = std::vector<std::uint8_t>;

class files_test : public ::testing::Test {
protected:
    static server_options options() {
        server_options options;
        options.modules = {"test_auth_module.so", "pathmap.so", "test_logger_module.so"};
        return options;
    }
    std::string local(const std::string &relative) {
        return server.root().file("home/" + relative);
    }
    void make_file(const std::string &relative, const std::string &content) {
        std::ofstream(local(relative), std::ios::binary) << content;
    }
    std::string contents(const std::string &relative) {
        std::ifstream in(local(relative), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    answer send(const packet_builder &packet) { return exchange(session, packet); }
    // OPEN: the handle, or 0 after a refusal (its status in last_status).
    std::uint32_t open(const std::string &path, std::uint32_t mode) {
        answer a = send(open_request(path, mode));
        last_status = a.status();
        last_size = a.param_u32(8).value_or(0);
        return a.status() == OK ? a.param_u32(4).value_or(0) : 0;
    }
    answer read(std::uint32_t handle, std::int32_t position, std::int32_t length) {
        return send(read_request(handle, position, length));
    }
    answer write(std::uint32_t handle, std::int32_t position, const std::string &data) {
        return send(write_request(handle, position, bytes(data.begin(), data.end())));
    }
    static std::string text(const answer &a) {
        return std::string(a.body().begin(), a.body().end());
    }

    test_server server{options()};
    connection session = logged_in(server);
    std::uint8_t last_status = 0;
    std::uint32_t last_size = 0;
};

// ---- GETDIR ---------------------------------------------------------------------------------

TEST_F(files_test, the_root_listing_is_fixed_for_owners_and_guests) {
    for (auto *who : {&session}) {
        answer a = exchange(*who, getdir_request("/"));
        EXPECT_EQ(a.header().size() + a.body().size(), 51u);
        EXPECT_EQ(a.status(), OK);
        EXPECT_EQ(
            std::string_view(reinterpret_cast<const char *>(a.body().data()), a.body().size()),
            root_listing);
    }
    connection guest = logged_in(server, 0, "guest");
    answer a = exchange(guest, getdir_request("/"));
    EXPECT_EQ(a.body_length(), 31u);
}

TEST_F(files_test, plain_and_extended_entries_have_their_exact_sizes) {
    make_file("Public/a.txt", "hello");
    fs::create_directory(local("Public/docs"));
    answer plain = send(getdir_request("/Public"));
    ASSERT_EQ(plain.status(), OK);
    EXPECT_EQ(plain.header().size(), 20u);
    EXPECT_EQ(plain.body_length(), 10u + 6u);
    auto entries = parse_listing(plain.body(), false);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);
    struct stat status {};
    stat(local("Public/a.txt").c_str(), &status);
    for (const auto &entry : *entries) {
        if (entry.name == "a.txt") {
            EXPECT_EQ(entry.mtime, std::uint32_t(status.st_mtime));
        } else {
            EXPECT_TRUE(entry.is_dir && entry.name == "docs");
        }
    }

    connection extended = logged_in(server, TVN_OPTION_EXTENDED_LISTING);
    answer ext = exchange(extended, getdir_request("/Public/"));
    EXPECT_EQ(ext.body_length(), 14u + 10u);
    entries = parse_listing(ext.body(), true);
    ASSERT_TRUE(entries);
    for (const auto &entry : *entries)
        if (entry.name == "a.txt") {
            EXPECT_EQ(entry.size, 5u);
        }
}

TEST_F(files_test, an_empty_directory_and_a_file_path) {
    EXPECT_EQ(send(getdir_request("/Web")).body_length(), 0u);
    make_file("Web/page.html", "x");
    EXPECT_EQ(send(getdir_request("/Web/page.html")).status(), NOT_FOUND);
    EXPECT_EQ(send(getdir_request("/Web/missing")).status(), NOT_FOUND);
}

TEST_F(files_test, a_listing_of_ten_thousand_entries_comes_in_one_answer) {
    std::uint32_t expected = 0;
    for (int i = 0; i < 10000; ++i) {
        const std::string name = "file-" + std::to_string(i);
        std::ofstream(local("Private/" + name));
        expected += std::uint32_t(name.size()) + 1 + 4;
    }
    answer a = send(getdir_request("/Private"));
    ASSERT_EQ(a.status(), OK);
    EXPECT_GT(a.body_length(), 8192u);
    EXPECT_EQ(a.body_length(), expected);
    auto entries = parse_listing(a.body(), false);
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 10000u);
}

TEST_F(files_test, symbolic_links_show_only_with_the_sessions_link_rights) {
    make_file("Public/target", "abc");
    fs::create_symlink(local("Public/target"), local("Public/link"));
    fs::create_directory_symlink(local("Private"), local("Public/dirlink"));
    make_file("Public/.hidden", "h");
    auto names = [&](connection &c) {
        std::set<std::string> seen;
        answer a = exchange(c, getdir_request("/Public"));
        const auto entries = parse_listing(a.body(), false);
        EXPECT_TRUE(entries.has_value());
        for (const auto &entry : entries.value_or(std::vector<listing_entry>{}))
            seen.insert(entry.name + (entry.is_dir ? "/" : ""));
        return seen;
    };
    EXPECT_EQ(names(session), (std::set<std::string>{"target", ".hidden"}));
    server.root().write_file("conf/test_auth", "links\n");
    connection with_links = logged_in(server);
    EXPECT_EQ(names(with_links), (std::set<std::string>{"target", ".hidden", "link", "dirlink/"}));
}

// ---- OPEN, READ, WRITE, CLOSE ---------------------------------------------------------------

TEST_F(files_test, open_maps_its_flags_and_answers_the_size) {
    make_file("Private/f", std::string(100, 'x'));
    std::uint32_t both = open("/Private/f", open_mode::read_only | open_mode::write_only);
    ASSERT_NE(both, 0u);
    EXPECT_EQ(last_size, 100u);
    EXPECT_EQ(write(both, 0, "y").status(), INVALID_HANDLE); // opened read only
    EXPECT_EQ(open("/Private/f", open_mode::create | open_mode::exclusive), 0u);
    EXPECT_EQ(last_status, FILE_EXISTS);
    EXPECT_EQ(open("/Private/nodir/f", open_mode::create | open_mode::write_only), 0u);
    EXPECT_EQ(last_status, NOT_FOUND);
    EXPECT_NE(open("/Private/f", open_mode::write_only | open_mode::truncate_file), 0u);
    EXPECT_EQ(last_size, 0u);
    EXPECT_EQ(contents("Private/f"), "");
    EXPECT_NE(open("/Private/new", open_mode::write_only | open_mode::create), 0u);
    EXPECT_TRUE(fs::exists(local("Private/new")));
}

TEST_F(files_test, reads_write_and_truncate_at_explicit_offsets) {
    std::uint32_t handle = open("/Public/data", open_mode::read_write | open_mode::create);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(write(handle, 0, "0123456789").param_u32(4), 10u);
    EXPECT_EQ(text(read(handle, 3, 4)), "3456");
    answer past_end = read(handle, 10, 100);
    EXPECT_EQ(past_end.status(), OK);
    EXPECT_EQ(past_end.body_length(), 0u);
    EXPECT_EQ(read(handle, 8, 100).body_length(), 2u);
    // A gap of zeros after a write past the end.
    EXPECT_EQ(write(handle, 15, "z").status(), OK);
    EXPECT_EQ(contents("Public/data"), std::string("0123456789") + std::string(5, '\0') + "z");
    // A zero-length write cuts the file.
    answer cut = write(handle, 4, "");
    EXPECT_EQ(cut.status(), OK);
    EXPECT_EQ(cut.param_u32(4), 0u);
    EXPECT_EQ(contents("Public/data"), "0123");
    EXPECT_EQ(read(handle, -1, 4).status(), BAD_REQUEST);
    EXPECT_EQ(send(close_request(handle)).status(), OK);
    EXPECT_EQ(send(close_request(handle)).status(), INVALID_HANDLE);
    EXPECT_EQ(read(handle, 0, 1).status(), INVALID_HANDLE);
}

TEST_F(files_test, a_read_of_500000_bytes_is_served) {
    std::string big(600000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 31 + i / 7);
    make_file("Private/big", big);
    std::uint32_t handle = open("/Private/big", open_mode::read_only);
    answer a = read(handle, 100000, 500000);
    ASSERT_EQ(a.status(), OK);
    EXPECT_EQ(text(a), big.substr(100000, 500000));
}

TEST_F(files_test, a_directory_opens_but_does_not_read) {
    fs::create_directory(local("Private/sub"));
    std::uint32_t handle = open("/Private/sub", open_mode::read_only);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(read(handle, 0, 10).status(), ACCESS_DENIED);
}

TEST_F(files_test, guests_read_but_never_write) {
    make_file("Public/shared", "public text");
    connection guest = logged_in(server, 0, "guest");
    answer opened = exchange(guest, open_request("/Public/shared", open_mode::read_only));
    ASSERT_EQ(opened.status(), OK);
    const std::uint32_t handle = opened.param_u32(4).value();
    EXPECT_EQ(exchange(guest, read_request(handle, 0, 6)).status(), OK);
    EXPECT_EQ(exchange(guest, write_request(handle, 0, bytes{'x'})).status(), ACCESS_DENIED);
    EXPECT_EQ(exchange(guest, open_request("/Public/shared", open_mode::write_only)).status(),
              ACCESS_DENIED);
    EXPECT_EQ(exchange(guest, open_request("/Public/n", open_mode::create)).status(),
              ACCESS_DENIED);
    EXPECT_EQ(exchange(guest, mkdir_request("/Public/d")).status(), ACCESS_DENIED);
    EXPECT_EQ(exchange(guest, delete_request("/Public/shared")).status(), ACCESS_DENIED);
    EXPECT_EQ(exchange(guest, getdir_request("/Web")).status(), ACCESS_DENIED);
    EXPECT_EQ(contents("Public/shared"), "public text");
}

// ---- DELETE, MKDIR, RENAME, COPYFILE --------------------------------------------------------

TEST_F(files_test, delete_and_mkdir_follow_the_host_rules) {
    fs::create_directories(local("Private/full/inner"));
    EXPECT_EQ(send(delete_request("/Private/full")).status(), DIR_NOT_EMPTY);
    EXPECT_EQ(send(delete_request("/Private/full/inner")).status(), OK);
    EXPECT_FALSE(fs::exists(local("Private/full/inner")));
    EXPECT_EQ(send(delete_request("/Private/missing")).status(), NOT_FOUND);
    EXPECT_EQ(send(mkdir_request("/Private/full")).status(), BAD_REQUEST);
    EXPECT_EQ(send(mkdir_request("/Private/no/such")).status(), NOT_FOUND);
    EXPECT_EQ(send(mkdir_request("/Private/made")).status(), OK);
    EXPECT_TRUE(fs::is_directory(local("Private/made")));
    EXPECT_EQ(send(mkdir_request("/Private")).status(), ACCESS_DENIED); // an area root
    EXPECT_EQ(send(delete_request("/Web/")).status(), ACCESS_DENIED);
}

TEST_F(files_test, delete_of_links_needs_link_rights_and_removes_only_the_link) {
    make_file("Public/target", "t");
    fs::create_symlink(local("Public/target"), local("Public/link"));
    fs::create_directory_symlink(local("Private"), local("Public/dirlink"));
    server.root().write_file("conf/test_auth", "links\n");
    connection with_links = logged_in(server);
    EXPECT_EQ(exchange(with_links, delete_request("/Public/link")).status(), OK);
    EXPECT_FALSE(fs::exists(fs::symlink_status(local("Public/link"))));
    EXPECT_TRUE(fs::exists(local("Public/target")));
    EXPECT_EQ(exchange(with_links, delete_request("/Public/dirlink")).status(), BAD_REQUEST);
    EXPECT_TRUE(fs::is_directory(local("Private")));
}

// ---- SETTIME ---------------------------------------------------------------------------------

TEST_F(files_test, settime_is_offered_only_to_a_client_that_asks) {
    connection plain = connect_to(server);
    const std::uint32_t designed =
        exchange(plain, connect_request("tester@test", "secret")).param_u32(0).value();
    EXPECT_EQ(designed & TVN_CONNECT_FLAG_SETS_TIMES, 0u);
    connection asking = connect_to(server);
    const std::uint32_t offered =
        exchange(asking, connect_request("tester@test", "secret", TVN_OPTION_TIME_SETTING))
            .param_u32(0)
            .value();
    EXPECT_EQ(offered, designed | TVN_CONNECT_FLAG_SETS_TIMES);
}

TEST_F(files_test, settime_sets_kept_and_current_times_on_files_and_area_roots) {
    make_file("Private/a", "x");
    fs::create_directory(local("Private/d"));
    const auto times_of = [&](const std::string &relative) {
        struct stat status {};
        EXPECT_EQ(stat(local(relative).c_str(), &status), 0) << relative;
        return std::pair<time_t, time_t>(status.st_atime, status.st_mtime);
    };
    EXPECT_EQ(send(settime_request("/Private/a", 1000, 4000000000u)).status(), OK);
    EXPECT_EQ(times_of("Private/a").first, 1000);
    EXPECT_EQ(times_of("Private/a").second, 4000000000);
    // Kept: the modification time stays; the access time follows the server's clock.
    const time_t before = std::time(nullptr);
    EXPECT_EQ(send(settime_request("/Private/a", 0, 7,
                                   TVN_SETTIME_ACCESS_NOW | TVN_SETTIME_MODIFICATION_KEEP))
                  .status(),
              OK);
    EXPECT_GE(times_of("Private/a").first, before);
    EXPECT_EQ(times_of("Private/a").second, 4000000000);
    // Directories, an area root among them, and the listing shows what was set.
    EXPECT_EQ(send(settime_request("/Private/d", 5, 1234567)).status(), OK);
    EXPECT_EQ(send(settime_request("/Web", 5, 7654321)).status(), OK);
    EXPECT_EQ(times_of("Web").second, 7654321);
    connection extended = logged_in(server, TVN_OPTION_EXTENDED_LISTING);
    const std::string body = text(exchange(extended, getdir_request("/Private")));
    EXPECT_NE(body.find(std::string("d/\0", 3) + std::string("\x87\xd6\x12\0", 4)),
              std::string::npos);
}

TEST_F(files_test, settime_refuses_what_it_cannot_reach) {
    make_file("Public/shared", "s");
    EXPECT_EQ(send(settime_request("/Private/missing", 1, 2)).status(), NOT_FOUND);
    EXPECT_EQ(send(settime_request("/Private/missing/deeper", 1, 2)).status(), NOT_FOUND);
    EXPECT_EQ(send(settime_request("/Elsewhere/x", 1, 2)).status(), ACCESS_DENIED);
    EXPECT_EQ(send(settime_request("/", 1, 2)).status(), ACCESS_DENIED);
    connection guest = logged_in(server, TVN_OPTION_TIME_SETTING, "guest");
    EXPECT_EQ(exchange(guest, settime_request("/Public/shared", 1, 2)).status(), ACCESS_DENIED);
    struct stat status {};
    ASSERT_EQ(stat(local("Public/shared").c_str(), &status), 0);
    EXPECT_GT(status.st_mtime, 2);
}

TEST_F(files_test, rename_replaces_and_moves_between_areas) {
    make_file("Public/a", "from public");
    make_file("Private/b", "old");
    EXPECT_EQ(send(rename_request("/Public/a", "/Private/b")).status(), OK);
    EXPECT_FALSE(fs::exists(local("Public/a")));
    EXPECT_EQ(contents("Private/b"), "from public");
    EXPECT_EQ(send(rename_request("/Public/none", "/Private/c")).status(), NOT_FOUND);
    EXPECT_EQ(send(rename_request("/Private/b", "/Web")).status(), ACCESS_DENIED);
}

TEST_F(files_test, requests_after_a_rename_never_see_its_paths) {
    make_file("Public/a", "a");
    EXPECT_EQ(send(rename_request("/Public/a", "/Public/renamed-with-a-long-name")).status(), OK);
    EXPECT_EQ(send(mkdir_request("/Public/d")).status(), OK);
    EXPECT_EQ(send(delete_request("/Public/d")).status(), OK);
    EXPECT_EQ(send(getdir_request("/Public")).status(), OK);
    std::uint32_t handle = open("/Public/renamed-with-a-long-name", open_mode::read_only);
    EXPECT_EQ(text(read(handle, 0, 10)), "a");
    EXPECT_EQ(send(delete_request("/Public/renamed-with-a-long-name")).status(), OK);
}

TEST_F(files_test, copyfile_copies_ranges_on_the_server) {
    std::string source(600, '\0');
    for (size_t i = 0; i < source.size(); ++i) source[i] = char('a' + i % 26);
    make_file("Public/src", source);
    std::uint32_t destination = open("/Private/dst", open_mode::read_write | open_mode::create);
    answer copied = send(copyfile_request(destination, 0, 1000, "/Public/src"));
    EXPECT_EQ(copied.status(), OK);
    EXPECT_EQ(copied.header().size(), 24u);
    EXPECT_EQ(copied.param_u32(4), 600u);
    EXPECT_EQ(contents("Private/dst"), source);
    answer cut = send(copyfile_request(destination, 50, 0, "/Public/src"));
    EXPECT_EQ(cut.param_u32(4), 0u);
    EXPECT_EQ(contents("Private/dst"), source.substr(0, 50));
    EXPECT_EQ(send(copyfile_request(destination, 0, 10, "/Public/missing")).status(), NOT_FOUND);
    EXPECT_EQ(contents("Private/dst"), source.substr(0, 50));
    std::uint32_t read_only = open("/Private/dst", open_mode::read_only);
    EXPECT_EQ(send(copyfile_request(read_only, 0, 10, "/Public/src")).status(), INVALID_HANDLE);
    EXPECT_EQ(send(copyfile_request(destination + 1000, 0, 10, "/Public/src")).status(),
              INVALID_HANDLE);
}

TEST_F(files_test, a_sibling_of_an_area_is_out_of_reach) {
    fs::create_directory(local("PublicX"));
    make_file("PublicX/secret", "keep out");
    make_file("Public/mine", "m");
    EXPECT_EQ(send(getdir_request("/PublicX")).status(), ACCESS_DENIED);
    EXPECT_EQ(send(getdir_request("/publicx/")).status(), ACCESS_DENIED);
    EXPECT_EQ(open("/PublicX/secret", open_mode::read_only), 0u);
    EXPECT_EQ(last_status, ACCESS_DENIED);
    EXPECT_EQ(send(rename_request("/PublicX/secret", "/Public/stolen")).status(), ACCESS_DENIED);
    EXPECT_EQ(send(rename_request("/Public/mine", "/PublicX/planted")).status(), ACCESS_DENIED);
    EXPECT_EQ(send(delete_request("/PublicX/secret")).status(), ACCESS_DENIED);
    EXPECT_EQ(send(delete_request("/Public/../PublicX/secret")).status(), ACCESS_DENIED);
    std::uint32_t destination = open("/Private/copy", open_mode::write_only | open_mode::create);
    EXPECT_EQ(send(copyfile_request(destination, 0, 100, "/PublicX/secret")).status(),
              ACCESS_DENIED);
    EXPECT_EQ(contents("PublicX/secret"), "keep out");
    EXPECT_EQ(contents("Private/copy"), "");
    EXPECT_TRUE(fs::exists(local("Public/mine")));
}

// ---- the handle pool ------------------------------------------------------------------------

// Descriptors the server's workers hold on files below the test's home (the area directories
// a worker resolves paths from are not files).
size_t open_files_below(const test_server &server, const std::string &home) {
    size_t count = 0;
    for (pid_t worker : children_of(server.pid())) {
        std::error_code ignored;
        for (const auto &fd :
             fs::directory_iterator("/proc/" + std::to_string(worker) + "/fd", ignored)) {
            const std::string target = fs::read_symlink(fd.path(), ignored).string();
            if (target.rfind(home, 0) == 0 && !fs::is_directory(target, ignored)) ++count;
        }
    }
    return count;
}

TEST_F(files_test, the_201st_open_is_refused_and_holds_no_descriptor) {
    make_file("Private/f", "x");
    for (int i = 0; i < 200; ++i) ASSERT_NE(open("/Private/f", open_mode::read_only), 0u) << i;
    EXPECT_EQ(open("/Private/f", open_mode::read_only), 0u);
    EXPECT_EQ(last_status, NO_MORE_FILEHANDLES);
    EXPECT_EQ(open_files_below(server, local("")), 20u);
}

TEST_F(files_test, evicted_handles_reopen_without_truncation) {
    std::uint32_t first =
        open("/Private/kept", open_mode::read_write | open_mode::create | open_mode::truncate_file);
    ASSERT_EQ(write(first, 0, "written before").status(), OK);
    make_file("Private/other", "o");
    for (int i = 0; i < 20; ++i) open("/Private/other", open_mode::read_only);
    EXPECT_EQ(open_files_below(server, local("")), 20u); // the first handle gave its descriptor up
    EXPECT_EQ(text(read(first, 0, 100)), "written before");
    EXPECT_EQ(contents("Private/kept"), "written before");
    EXPECT_EQ(open_files_below(server, local("")), 20u);
}

TEST_F(files_test, a_handle_whose_file_vanished_is_dropped) {
    make_file("Private/gone", "g");
    make_file("Private/other", "o");
    std::uint32_t handle = open("/Private/gone", open_mode::read_only);
    for (int i = 0; i < 20; ++i) open("/Private/other", open_mode::read_only);
    fs::remove(local("Private/gone"));
    EXPECT_EQ(read(handle, 0, 1).status(), NOT_FOUND);
    EXPECT_EQ(read(handle, 0, 1).status(), INVALID_HANDLE);
}

TEST_F(files_test, stale_and_foreign_handles_are_invalid) {
    make_file("Private/f", "x");
    std::uint32_t mine = open("/Private/f", open_mode::read_only);
    EXPECT_EQ(read(0, 0, 1).status(), INVALID_HANDLE);
    EXPECT_EQ(read(mine + 1, 0, 1).status(), INVALID_HANDLE);
    connection other = logged_in(server);
    EXPECT_EQ(exchange(other, read_request(mine, 0, 1)).status(), INVALID_HANDLE);
    // Numbers are never reused on a connection: a closed handle stays invalid.
    EXPECT_EQ(send(close_request(mine)).status(), OK);
    std::uint32_t next = open("/Private/f", open_mode::read_only);
    EXPECT_NE(next, mine);
    EXPECT_EQ(read(mine, 0, 1).status(), INVALID_HANDLE);
}

} // namespace
