// Loading modules and unloading them at shutdown, with the small test modules.
#include "config.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "pool.h"
#include "server_root.h"
#include "startup.h"

namespace {

class module_loader_test : public ::testing::Test {
protected:
    void SetUp() override { mpool = create_init_pool(); }
    void TearDown() override { release_init_pool(mpool); }

    module_load load(const std::string &load_lines) {
        root.write_config("<Server>\n" + load_lines + "</Server>\n");
        EXPECT_EQ(init_server_config(&conf, mpool, root.path().c_str()), 0);
        ::testing::internal::CaptureStdout();
        const module_load result = load_modules(&conf, handles, root.path().c_str(), mpool);
        printed = ::testing::internal::GetCapturedStdout();
        return result;
    }
    bool loaded(const std::string &name) {
        void *handle = dlopen(root.file("lib/" + name).c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) dlclose(handle); // undo the reference NOLOAD took
        return handle != nullptr;
    }
    std::string events() { return root.read_file("log/module_events"); }

    tvn_test::temp_root root;
    tvn_init_mpool *mpool = nullptr;
    tvn_server_conf conf{};
    void *handles[MAX_MODULES] = {};
    std::string printed;
};

TEST_F(module_loader_test, modules_load_in_order_and_unload_after_their_exit_hooks) {
    root.install_test_module("recorder_module", "a.so");
    root.install_test_module("recorder_module", "b.so");
    ASSERT_EQ(load("LoadModule a.so\nLoadModule b.so\n"), module_load::loaded);
    const std::string lib = root.path() + "lib/";
    EXPECT_EQ(printed, "Loading module library " + lib + "a.so ...ok\nLoading module library " +
                           lib + "b.so ...ok\n");
    EXPECT_EQ(events(), "init_module a.so\ninit_module b.so\n");
    EXPECT_STREQ(conf.modules->module_name, "a.so");
    EXPECT_TRUE(loaded("a.so"));
    EXPECT_EQ(handles[2], nullptr);
    unload_modules(conf.modules, handles);
    EXPECT_EQ(events(), "init_module a.so\ninit_module b.so\nserver_exit a.so\nserver_exit b.so\n");
    EXPECT_FALSE(loaded("a.so"));
    EXPECT_FALSE(loaded("b.so"));
}

TEST_F(module_loader_test, a_missing_second_library_stops_loading_and_only_the_first_is_closed) {
    root.install_test_module("recorder_module", "a.so");
    root.install_test_module("recorder_module", "c.so");
    ASSERT_EQ(load("LoadModule a.so\nLoadModule missing.so\nLoadModule c.so\n"),
              module_load::cannot_load);
    const std::string path = root.path() + "lib/missing.so";
    EXPECT_NE(printed.find("Loading module library " + path + " ..."), std::string::npos);
    EXPECT_NE(printed.find("cannot open shared object file"), std::string::npos); // loader's text
    EXPECT_NE(printed.find("\nCan't load congiguration lib " + path + "\n\n"), std::string::npos);
    EXPECT_NE(handles[0], nullptr);
    EXPECT_EQ(handles[1], nullptr);
    EXPECT_FALSE(loaded("c.so"));
    unload_modules(conf.modules, handles);
    EXPECT_EQ(events(), "init_module a.so\nserver_exit a.so\n");
    EXPECT_FALSE(loaded("a.so"));
}

TEST_F(module_loader_test, a_library_without_init_module_is_closed_at_once) {
    root.install_test_module("no_init_module", "plain.so");
    ASSERT_EQ(load("LoadModule plain.so\n"), module_load::cannot_load);
    EXPECT_NE(printed.find("\nCan't load congiguration function init_module\n\n"),
              std::string::npos);
    EXPECT_EQ(handles[0], nullptr);
    EXPECT_FALSE(loaded("plain.so"));
}

TEST_F(module_loader_test, an_init_module_that_fails_keeps_its_handle_for_the_shutdown) {
    root.install_test_module("recorder_module", "a.so");
    root.install_test_module("failing_init_module", "bad.so");
    ASSERT_EQ(load("LoadModule a.so\nLoadModule bad.so\n"), module_load::init_failed);
    EXPECT_NE(handles[1], nullptr);
    unload_modules(conf.modules, handles);
    EXPECT_EQ(events(),
              "init_module a.so\ninit_module_failed bad.so\nserver_exit a.so\n"
              "server_exit bad.so\n");
    EXPECT_FALSE(loaded("a.so"));
    EXPECT_FALSE(loaded("bad.so"));
}

TEST_F(module_loader_test, no_load_module_line_prints_nothing) {
    ASSERT_EQ(load(""), module_load::loaded);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(handles[0], nullptr);
}

TEST_F(module_loader_test, module_paths_are_built_under_the_roots_lib_directory) {
    char *path = os_get_module_libname(mpool, "/srv/tvn/", "journal.so");
    EXPECT_STREQ(path, "/srv/tvn/lib/journal.so");
}

} // namespace
