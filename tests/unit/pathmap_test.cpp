// pathmap: client paths onto the user's directories, the access rules, and both through the
// server's dispatchers. The module is loaded from the built library, as the server loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../../modules/pathmap/pathmap.h"
#include "connection.h"
#include "hooks.h"
#include "pool.h"

namespace {

const std::string P = "/home/alice/Private";
const std::string U = "/srv/public/alice";
const std::string W = "/var/www/alice";

struct pathmap_library {
    void *handle = nullptr;
    decltype(&init_module) init = nullptr;
    decltype(&path_translation) translate = nullptr;
    decltype(&adapt_path) adapt = nullptr;
    decltype(&access_check) access = nullptr;
    decltype(&check_path_syntax) check_syntax = nullptr;
    std::string error;

    pathmap_library() {
        handle = dlopen(TVN_BUILT_MODULE_DIR "/pathmap.so", RTLD_NOW);
        if (handle == nullptr) {
            error = dlerror();
            return;
        }
        find(init, "init_module");
        find(translate, "path_translation");
        find(adapt, "adapt_path");
        find(access, "access_check");
        find(check_syntax, "check_path_syntax");
    }
    template <typename F>
    void find(F &function, const char *name) {
        function = reinterpret_cast<F>(dlsym(handle, name));
        if (function == nullptr) error += std::string(" missing ") + name;
    }
};

const pathmap_library &library() {
    static const pathmap_library loaded;
    return loaded;
}

// A connection with real pools, the user's three directories and the module as the only link
// of the chain, as the server has it once a session is open.
class pathmap_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.error.empty()) << lib.error;
        pools = create_connection_pools();
        ASSERT_NE(pools, nullptr);
        request.mpool = pools;
        request.private_dir = private_dir.data();
        request.public_dir = public_dir.data();
        request.web_dir = web_dir.data();
        ASSERT_EQ(lib.init(&module, "/usr/local/tolvane/"), OK);
        connection.request = &request;
        connection.modules = &module;
    }
    void TearDown() override {
        if (pools != nullptr) release_connection_pools(pools);
    }

    // The client paths live in buffers of their own: translation shortens them in place.
    void set_paths(const char *first, const char *second = nullptr) {
        path1 = first != nullptr ? first : "";
        path2 = second != nullptr ? second : "";
        request.remote_path1 = first != nullptr ? path1.data() : nullptr;
        request.remote_path2 = second != nullptr ? path2.data() : nullptr;
        request.local_path1 = request.local_path2 = nullptr;
    }
    // The server's order for a path request: translation, then access; the first refusal wins.
    int through_chain() {
        int status = mod_path_translation(&connection);
        return status == OK ? mod_access_check(&connection) : status;
    }
    bool in_request_pool(const void *block) const {
        tvn_pool *pool = pools->request_pool;
        return std::find(pool->blocks, pool->blocks + pool->capacity, block) !=
               pool->blocks + pool->capacity;
    }

    const pathmap_library &lib = library();
    std::string private_dir = P, public_dir = U, web_dir = W;
    std::string path1, path2;
    tvn_mpool *pools = nullptr;
    tvn_request request{};
    tvn_module module{};
    tvn_connection connection{};
};

int unused_hook(tvn_request *) { return OK; }
int unused_exit(tvn_module *) { return OK; }

TEST_F(pathmap_test, init_module_names_the_module_and_sets_only_its_two_hooks) {
    tvn_module record{};
    int anchor = 0;
    record.major_version = 1;
    record.minor_version = 1;
    record.init_module_data = &anchor;
    record.user_module_data = &anchor;
    char filename[] = "pathmap.so";
    record.module_filename = filename;
    for (tvn_hook tvn_module::*hook :
         {&tvn_module::auth_check, &tvn_module::auth_check2, &tvn_module::message_lookup,
          &tvn_module::access_check, &tvn_module::path_translation, &tvn_module::logging,
          &tvn_module::connection_closing, &tvn_module::change_pwd})
        record.*hook = unused_hook;
    record.server_exit = unused_exit;

    EXPECT_EQ(lib.init(&record, "/usr/local/tolvane/"), OK);
    EXPECT_STREQ(record.module_name, "default_module");
    EXPECT_EQ(record.module_major_version, 1);
    EXPECT_EQ(record.module_minor_version, 1);
    EXPECT_EQ(record.access_check, lib.access);
    EXPECT_EQ(record.path_translation, lib.translate);
    for (tvn_hook tvn_module::*hook :
         {&tvn_module::auth_check, &tvn_module::auth_check2, &tvn_module::message_lookup,
          &tvn_module::logging, &tvn_module::connection_closing, &tvn_module::change_pwd})
        EXPECT_EQ(record.*hook, nullptr);
    EXPECT_EQ(record.server_exit, nullptr);
    // Fields that are not the module's to set keep their values.
    EXPECT_EQ(record.init_module_data, &anchor);
    EXPECT_EQ(record.user_module_data, &anchor);
    EXPECT_EQ(record.module_filename, filename);
    EXPECT_EQ(record.next, nullptr);
}

struct translation_row {
    const char *client;
    int status;
    std::string local;        // when status is 0
    const char *client_after; // the client path once translated; nullptr: unchanged
};

TEST_F(pathmap_test, adapt_path_maps_areas_and_applies_the_dot_and_slash_rules) {
    const translation_row rows[] = {
        // Area names ignore case.
        {"/Private/Docs", 0, P + "/Docs", nullptr},
        {"/private/Docs", 0, P + "/Docs", nullptr},
        {"/PUBLIC/x", 0, U + "/x", nullptr},
        {"/wEb/index.html", 0, W + "/index.html", nullptr},
        // The area roots map onto the directories themselves.
        {"/Private", 0, P, nullptr},
        {"/Private/", 0, P, "/Private"},
        {"/Public", 0, U, nullptr},
        {"/Web/", 0, W, "/Web"},
        // One trailing "/" goes, in the client path too.
        {"/Private/a/", 0, P + "/a", "/Private/a"},
        {"/Private/a//", 0, P + "/a/", "/Private/a/"},
        {"/Private//", 0, P + "/", "/Private/"},
        {"/Private//a", 0, P + "//a", nullptr},
        // Names that merely begin with dots are names.
        {"/Private/a/..b", 0, P + "/a/..b", nullptr},
        {"/Private/.hidden", 0, P + "/.hidden", nullptr},
        {"/Private/...", 0, P + "/...", nullptr},
        {"/Private/a../b.", 0, P + "/a../b.", nullptr},
        {"/Public/.x/", 0, U + "/.x", "/Public/.x"},
        // A local path ending in ":" gets a "/".
        {"/Private/a:", 0, P + "/a:/", nullptr},
        // "." and ".." components, wherever they stand.
        {"/Private/a/../b", ACCESS_DENIED, "", nullptr},
        {"/Private/./a", ACCESS_DENIED, "", nullptr},
        {"/Private/a/..", ACCESS_DENIED, "", nullptr},
        {"/Private/a/.", ACCESS_DENIED, "", nullptr},
        {"/Private/..", ACCESS_DENIED, "", nullptr},
        {"/Private/../", ACCESS_DENIED, "", nullptr},
        {"/Private/./", ACCESS_DENIED, "", nullptr},
        {"/Private//../x", ACCESS_DENIED, "", nullptr},
        {"/PRIVATE/../x", ACCESS_DENIED, "", nullptr},
        {"/Web/a/b/c/..", ACCESS_DENIED, "", nullptr},
        // No area: an area name counts only before "/" or the end.
        {"/PublicX/y", NOT_HANDLED, "", nullptr},
        {"/Private..", NOT_HANDLED, "", nullptr},
        {"/Private../x", NOT_HANDLED, "", nullptr},
        {"/Web../x", NOT_HANDLED, "", nullptr},
        {"/Privatefoo/", NOT_HANDLED, "", nullptr},
        {"/Pub", NOT_HANDLED, "", nullptr},
        {"//Private/x", NOT_HANDLED, "", nullptr},
        {"Private/x", NOT_HANDLED, "", nullptr},
        {"", NOT_HANDLED, "", nullptr},
        {"/", NOT_HANDLED, "", nullptr},
        {"/Other/x", NOT_HANDLED, "", nullptr},
    };
    for (const translation_row &row : rows) {
        SCOPED_TRACE(std::string("client path \"") + row.client + "\"");
        std::string client = row.client;
        char *local = nullptr;
        EXPECT_EQ(lib.adapt(&request, &local, client.data()), row.status);
        if (row.status == 0) {
            ASSERT_NE(local, nullptr);
            EXPECT_EQ(std::string(local), row.local);
            EXPECT_TRUE(in_request_pool(local));
        } else {
            EXPECT_EQ(local, nullptr);
            EXPECT_EQ(pools->request_pool->in_use, 0);
        }
        EXPECT_STREQ(client.c_str(), row.client_after != nullptr ? row.client_after : row.client);
        tvn_clear_pool(pools->request_pool);
    }
}

TEST_F(pathmap_test, a_directory_ending_in_a_colon_gets_a_slash) {
    private_dir = "/mnt/c:";
    request.private_dir = private_dir.data();
    for (const char *client : {"/Private", "/Private/"}) {
        set_paths(client);
        ASSERT_EQ(lib.translate(&request), OK) << client;
        EXPECT_STREQ(request.local_path1, "/mnt/c:/") << client;
    }
}

struct closed_row {
    char *tvn_request::*directory;
    const char *empty_or_null; // nullptr: unset; "": empty
    const char *client;
};

TEST_F(pathmap_test, a_closed_area_is_not_translated_and_refused_by_the_access_rules) {
    char empty[] = "";
    const closed_row rows[] = {
        {&tvn_request::public_dir, nullptr, "/Public/x"},
        {&tvn_request::public_dir, nullptr, "/Public"},
        {&tvn_request::private_dir, nullptr, "/Private/Docs"},
        {&tvn_request::web_dir, nullptr, "/web/x"},
        {&tvn_request::public_dir, "", "/Public/x"},
        {&tvn_request::private_dir, "", "/Private/etc/passwd"},
    };
    for (const closed_row &row : rows) {
        SCOPED_TRACE(std::string(row.client) + (row.empty_or_null ? " (empty)" : " (unset)"));
        request.private_dir = private_dir.data();
        request.public_dir = public_dir.data();
        request.web_dir = web_dir.data();
        request.*row.directory = row.empty_or_null != nullptr ? empty : nullptr;
        request.method = GETDIR;
        set_paths(row.client);
        EXPECT_EQ(lib.translate(&request), NOT_HANDLED);
        EXPECT_EQ(request.local_path1, nullptr);
        EXPECT_EQ(lib.access(&request), ACCESS_DENIED);
        EXPECT_EQ(through_chain(), ACCESS_DENIED);
        // The other areas stay open.
        set_paths(row.directory == &tvn_request::web_dir ? "/Public/x" : "/Web/x");
        EXPECT_EQ(through_chain(), OK);
    }
}

struct access_row {
    const char *path1;
    const char *path2;
    uint8_t method;
    uint32_t options;
    uint8_t guest;
    int expected;
};

TEST_F(pathmap_test, access_rules_for_guests_and_owners) {
    const access_row rows[] = {
        // Owners do what the areas allow.
        {"/Private/x", nullptr, OPEN, 0x243, 0, OK},
        {"/Private/x", nullptr, DELETE, 0, 0, OK},
        {"/Web/x", nullptr, MKDIR, 0, 0, OK},
        {nullptr, nullptr, WRITE, 0, 0, OK},
        {nullptr, "/Public/src", COPYFILE, 0, 0, OK},
        // Guests by open flags: only flags that cannot change a file pass.
        {"/Public/x", nullptr, OPEN, 0, 1, OK},
        {"/Public/x", nullptr, OPEN, 0x80, 1, OK},
        {"/Public/x", nullptr, OPEN, 0x40, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, OPEN, 0xc0, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, OPEN, 0x1, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, OPEN, 0x2, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, OPEN, 0x200, 1, ACCESS_DENIED},
        // Guests by method.
        {nullptr, nullptr, WRITE, 0, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, DELETE, 0, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, MKDIR, 0, 1, ACCESS_DENIED},
        {"/Public/x", "/Public/y", RENAME, 0, 1, ACCESS_DENIED},
        {nullptr, "/Public/src", COPYFILE, 0, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, SETTIME, 0, 1, ACCESS_DENIED},
        {"/Public", nullptr, SETTIME, 0, 1, ACCESS_DENIED},
        {"/Public/x", nullptr, GETDIR, 0, 1, OK},
        {nullptr, nullptr, READ, 0, 1, OK},
        {nullptr, nullptr, CLOSE, 0, 1, OK},
        {nullptr, nullptr, KEEPALIVE, 0, 1, OK},
        // A session that is not authenticated has no more rights than a guest.
        {nullptr, nullptr, WRITE, 0, 2, ACCESS_DENIED},
        {"/Private", nullptr, GETDIR, 0, 2, ACCESS_DENIED},
        // Listing the area roots.
        {"/Private", nullptr, GETDIR, 0, 0, OK},
        {"/private/", nullptr, GETDIR, 0, 0, OK},
        {"/Private", nullptr, GETDIR, 0, 1, ACCESS_DENIED},
        {"/Public", nullptr, GETDIR, 0, 1, OK},
        {"/PUBLIC/", nullptr, GETDIR, 0, 1, OK},
        {"/Web", nullptr, GETDIR, 0, 1, ACCESS_DENIED},
        {"/Web", nullptr, GETDIR, 0, 0, OK},
        // An owner may set the times of files and of the area roots, which renames nothing.
        {"/Private/x", nullptr, SETTIME, 0, 0, OK},
        {"/Private", nullptr, SETTIME, 0, 0, OK},
        {"/web//", nullptr, SETTIME, 0, 0, OK},
        {"/Private", nullptr, SETTIME, 0, 2, ACCESS_DENIED},
        // A run of slashes still names the root.
        {"/Private//", nullptr, DELETE, 0, 0, ACCESS_DENIED},
        {"/Private//", nullptr, GETDIR, 0, 1, ACCESS_DENIED},
        {"/Public///", nullptr, GETDIR, 0, 1, OK},
        {"/Web//", nullptr, RENAME, 0, 0, ACCESS_DENIED},
        // Both paths of a rename are checked.
        {"/Private/a", "/Public/b", RENAME, 0, 0, OK},
        {"/Private/a", "/Private", RENAME, 0, 0, ACCESS_DENIED},
        {"/Public", "/Private/a", RENAME, 0, 0, ACCESS_DENIED},
        // A path in no area passes here; translation refuses it.
        {"/PublicX/y", nullptr, GETDIR, 0, 0, OK},
    };
    for (const access_row &row : rows) {
        SCOPED_TRACE(std::string(row.path1 ? row.path1 : "-") + " " +
                     (row.path2 ? row.path2 : "-") + " method " + std::to_string(row.method) +
                     " options " + std::to_string(row.options) + " guest " +
                     std::to_string(row.guest));
        set_paths(row.path1, row.path2);
        request.method = row.method;
        request.method_options = row.options;
        request.is_guest = row.guest;
        EXPECT_EQ(lib.access(&request), row.expected);
    }
}

TEST_F(pathmap_test, no_one_may_change_an_area_root) {
    for (const char *root : {"/Private", "/Private/", "/Public", "/public/", "/Web", "/WEB/"})
        for (uint8_t method : {MKDIR, DELETE, RENAME, OPEN})
            for (uint8_t guest : {0, 1}) {
                SCOPED_TRACE(std::string(root) + " method " + std::to_string(method) + " guest " +
                             std::to_string(guest));
                request.method = method;
                request.method_options = 0;
                request.is_guest = guest;
                set_paths(root);
                EXPECT_EQ(through_chain(), ACCESS_DENIED);
                if (method == RENAME) { // as the target as well
                    set_paths("/Public/x", root);
                    EXPECT_EQ(through_chain(), ACCESS_DENIED);
                }
            }
}

TEST_F(pathmap_test, rename_translates_both_paths_and_stops_at_the_first_refusal) {
    request.method = RENAME;
    set_paths("/Public/a/", "/Private/b");
    EXPECT_EQ(lib.translate(&request), OK);
    EXPECT_STREQ(request.local_path1, (U + "/a").c_str());
    EXPECT_STREQ(request.local_path2, (P + "/b").c_str());
    EXPECT_STREQ(request.remote_path1, "/Public/a");

    set_paths("/Public/../a", "/Private/b");
    EXPECT_EQ(lib.translate(&request), ACCESS_DENIED);
    EXPECT_EQ(request.local_path1, nullptr);
    EXPECT_EQ(request.local_path2, nullptr);

    set_paths("/Public/a", "/Private/../b");
    EXPECT_EQ(lib.translate(&request), ACCESS_DENIED);
    EXPECT_EQ(request.local_path2, nullptr);

    set_paths("/Public/a", "/PrivateX/b");
    EXPECT_EQ(lib.translate(&request), NOT_HANDLED);
    EXPECT_EQ(request.local_path2, nullptr);
    EXPECT_EQ(through_chain(), ACCESS_DENIED);

    set_paths(nullptr, nullptr);
    EXPECT_EQ(lib.translate(&request), OK);
}

TEST_F(pathmap_test, escape_attempts_are_refused_by_the_chain_for_every_user_and_method) {
    const std::string too_long = "/Private/" + std::string(40000, 'a');
    const std::vector<std::string> escapes = {"/Private/..",
                                              "/Private/../",
                                              "/Private/../x",
                                              "/Private/a/../../x",
                                              "/Private/./../x",
                                              "/Private/.",
                                              "/Private/a/..",
                                              "/Public/..",
                                              "/Web/../Private/x",
                                              "/PRIVATE/../x",
                                              "/pUbLiC/a/../../..",
                                              "/Private//../x",
                                              "/Private/a/.//",
                                              "/PublicX/y",
                                              "/Private..",
                                              "/Private../x",
                                              "/Web../x",
                                              "/WEB..",
                                              "/Privatex/../../etc",
                                              "/Public.",
                                              "//Private/x",
                                              "",
                                              "/",
                                              "Private/x",
                                              "../Private/x",
                                              ".",
                                              "..",
                                              "/..",
                                              "/../Private/x",
                                              "/etc/passwd",
                                              too_long};
    struct use {
        uint8_t method;
        bool as_second; // RENAME target or COPYFILE source
    };
    const use uses[] = {{GETDIR, false}, {OPEN, false},  {DELETE, false}, {MKDIR, false},
                        {RENAME, false}, {RENAME, true}, {COPYFILE, true}};
    for (const std::string &escape : escapes)
        for (const use &u : uses)
            for (uint8_t guest : {0, 1}) {
                SCOPED_TRACE("\"" + escape.substr(0, 40) + "\" method " + std::to_string(u.method) +
                             " guest " + std::to_string(guest));
                request.method = u.method;
                request.method_options = 0;
                request.is_guest = guest;
                if (u.method == COPYFILE)
                    set_paths(nullptr, escape.c_str());
                else if (u.as_second)
                    set_paths("/Public/x", escape.c_str());
                else
                    set_paths(escape.c_str(), u.method == RENAME ? "/Public/x" : nullptr);
                EXPECT_EQ(through_chain(), ACCESS_DENIED);
                EXPECT_EQ(u.as_second ? request.local_path2 : request.local_path1, nullptr);
                EXPECT_EQ(request.disconnect, 0);
                tvn_clear_pool(pools->request_pool);
            }
    // The same chain lets an ordinary path through, so the refusals above are the module's.
    request.method = GETDIR;
    request.is_guest = 0;
    set_paths("/Private/Docs/");
    EXPECT_EQ(through_chain(), OK);
    EXPECT_STREQ(request.local_path1, (P + "/Docs").c_str());
}

TEST_F(pathmap_test, a_full_request_pool_is_an_internal_error_that_closes_the_connection) {
    while (tvn_malloc(pools->request_pool, 1) != nullptr) {}
    char *local = nullptr;
    std::string client = "/Private/x";
    EXPECT_EQ(lib.adapt(&request, &local, client.data()), INTERNAL_SERVER_ERR);
    EXPECT_EQ(local, nullptr);
    set_paths("/Public/x");
    EXPECT_EQ(lib.translate(&request), INTERNAL_SERVER_ERR);
    EXPECT_EQ(mod_path_translation(&connection), 0);
    EXPECT_NE(request.disconnect, 0);
}

struct syntax_row {
    const char *path;
    int16_t start;
    int status;
    const char *after;
};

TEST_F(pathmap_test, check_path_syntax_refuses_dot_components_from_the_start_index_on) {
    const syntax_row rows[] = {
        {"/a/b/", 0, 0, "/a/b"},
        {"/", 0, 0, ""},
        {"//", 0, 0, "/"},
        {"/a/..b", 0, 0, "/a/..b"},
        {"/a/../b", 0, ACCESS_DENIED, "/a/../b"},
        {"/a/./", 0, ACCESS_DENIED, "/a/./"},
        {"/Private/../y", 8, ACCESS_DENIED, "/Private/../y"},
        {"/../Private/y", 8, 0, "/../Private/y"}, // before the start index: not examined
        {"/a/b/", 5, 0, "/a/b/"},                 // the "/" lies before the start
        {"/a/b/", 4, 0, "/a/b"},
        {"/a", 3, ACCESS_DENIED, "/a"}, // past the end
        {"/a", -1, ACCESS_DENIED, "/a"},
    };
    for (const syntax_row &row : rows) {
        SCOPED_TRACE(std::string(row.path) + " from " + std::to_string(row.start));
        std::string path = row.path;
        EXPECT_EQ(lib.check_syntax(path.data(), row.start), row.status);
        EXPECT_STREQ(path.c_str(), row.after);
    }
}

TEST_F(pathmap_test, paths_beyond_the_16_bit_index_are_refused_without_reading_astray) {
    // 32767 bytes is the longest path the walk can index.
    std::string longest = "/Private/" + std::string(32767 - 9, 'a');
    char *local = nullptr;
    ASSERT_EQ(lib.adapt(&request, &local, longest.data()), 0);
    EXPECT_EQ(std::strlen(local), P.size() + 32767 - 8);
    EXPECT_EQ(lib.check_syntax(longest.data(), INT16_MAX), 0);

    std::string one_more = longest + "a";
    local = nullptr;
    EXPECT_EQ(lib.adapt(&request, &local, one_more.data()), ACCESS_DENIED);
    EXPECT_EQ(local, nullptr);
    EXPECT_EQ(lib.check_syntax(one_more.data(), 0), ACCESS_DENIED);

    // Far longer paths, in an area or in none.
    std::string wrapping = "/Public/" + std::string(65536 - 8, 'b') + "/../x";
    EXPECT_EQ(lib.adapt(&request, &local, wrapping.data()), ACCESS_DENIED);
    std::string elsewhere = "/Other" + std::string(70000, 'c');
    EXPECT_EQ(lib.adapt(&request, &local, elsewhere.data()), NOT_HANDLED);

    // The access rules take any length.
    request.method = GETDIR;
    set_paths(one_more.c_str());
    EXPECT_EQ(lib.access(&request), OK);
    EXPECT_EQ(through_chain(), ACCESS_DENIED);
}

} // namespace
