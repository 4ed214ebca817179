// make install's tree: installed into a temporary DESTDIR, it holds every program, the server
// root as the launcher expects it, the manual pages and the service files, and the installed
// tvnctl starts a server there that serves a session and stops again.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client_session.h"
#include "tool_dialogue.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_tools_test;

std::string text_of(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A temporary DESTDIR, removed with everything in it.
class staging_tree {
public:
    staging_tree() {
        char pattern[] = "/tmp/tvn-install-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        chmod(path_.c_str(), 0755); // the workers, once they are nobody, go through it
    }
    ~staging_tree() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

command_result make_install(const std::string &destdir) {
    return run_command(
        {"/usr/bin/env", "DESTDIR=" + destdir, TVN_CMAKE_COMMAND, "--install", TVN_BUILD_DIR});
}

class install_test : public ::testing::Test {
protected:
    void SetUp() override {
        const command_result installed = make_install(stage.path());
        ASSERT_EQ(installed.exit_status, 0) << installed.output;
    }

    staging_tree stage;
    // Where the build installs, and the same inside the staging tree.
    const std::string server_root = TVN_CONFIGURED_SERVER_ROOT;
    const std::string installed_tvnctl = std::string(TVN_INSTALL_SBINDIR) + "/tvnctl";
    const std::string bindir = stage.path() + TVN_INSTALL_BINDIR;
    const std::string sbindir = stage.path() + TVN_INSTALL_SBINDIR;
    const std::string mandir = stage.path() + TVN_INSTALL_MANDIR;
    const std::string unit_dir = stage.path() + TVN_INSTALL_UNIT_DIR;
    const std::string logrotate_dir = stage.path() + TVN_INSTALL_LOGROTATE_DIR;
    const std::string root = stage.path() + server_root + "/";
};

bool is_executable_file(const std::string &path) {
    return fs::is_regular_file(path) && access(path.c_str(), X_OK) == 0;
}

TEST_F(install_test, the_programs_go_to_bin_and_sbin_and_tvnbench_stays_in_the_build) {
    EXPECT_TRUE(is_executable_file(bindir + "/tvnclient"));
    for (const char *program :
         {"tvn", "tvnctl", "tvnadduser", "tvnsysadduser", "tvnvpasswd", "tvnpasswd"})
        EXPECT_TRUE(is_executable_file(sbindir + "/" + program)) << program;
    EXPECT_FALSE(fs::exists(bindir + "/tvnbench"));
    EXPECT_FALSE(fs::exists(sbindir + "/tvnbench"));
    const command_result version = run_command({sbindir + "/tvn", "--version"});
    EXPECT_EQ(version.output, std::string("tvn ") + TVN_VERSION + "\n");
}

TEST_F(install_test, the_client_library_installs_static_and_shared_with_headers_and_pkg_config) {
    const std::string libdir = stage.path() + TVN_INSTALL_LIBDIR;
    const std::string includedir = stage.path() + TVN_INSTALL_INCLUDEDIR;
    EXPECT_TRUE(fs::is_regular_file(libdir + "/libtolvane-client.a"));
    // The shared library under its full version, the name it is loaded by, and the one a
    // link finds.
    const std::string versioned = libdir + "/libtolvane-client.so." + TVN_VERSION;
    EXPECT_TRUE(fs::is_regular_file(versioned));
    EXPECT_EQ(fs::read_symlink(libdir + "/libtolvane-client.so.1"), fs::path(versioned).filename());
    EXPECT_EQ(fs::read_symlink(libdir + "/libtolvane-client.so"), "libtolvane-client.so.1");
    for (const char *header :
         {"connection.h", "packet.h", "answer.h", "listing.h", "tls.h", "protocol.h"})
        EXPECT_TRUE(fs::is_regular_file(includedir + "/tolvane/" + header)) << header;
    // The server's own interfaces stay out.
    EXPECT_FALSE(fs::exists(includedir + "/tolvane/module.h"));

    const std::string pc = text_of(libdir + "/pkgconfig/libtolvane-client.pc");
    for (const std::string &line :
         {"libdir=" + std::string(TVN_INSTALL_LIBDIR),
          "includedir=" + std::string(TVN_INSTALL_INCLUDEDIR),
          std::string("Name: libtolvane-client"), "Version: " + std::string(TVN_VERSION),
          std::string("Cflags: -I${includedir}"), std::string("Libs: -L${libdir} -ltolvane-client"),
          std::string("Libs.private: -lssl -lcrypto")})
        EXPECT_NE(pc.find("\n" + line + "\n"), std::string::npos) << line << "\n" << pc;
}

TEST_F(install_test, the_server_root_holds_the_libraries_a_configuration_and_its_directories) {
    for (const char *library :
         {"tolvane.so", "listacct.so", "hostacct.so", "pathmap.so", "journal.so"})
        EXPECT_TRUE(fs::is_regular_file(root + "lib/" + library)) << library;
    EXPECT_EQ(text_of(root + "conf/tolvane.conf.sample"),
              text_of(std::string(TVN_SOURCE_DIR) + "/conf/tolvane.conf.sample"));
    EXPECT_EQ(text_of(root + "conf/tolvane.conf"),
              text_of(std::string(TVN_SOURCE_DIR) + "/conf/tolvane.conf.default"));
    EXPECT_TRUE(fs::is_directory(root + "log"));
    EXPECT_TRUE(fs::is_empty(root + "log"));
    struct stat users {};
    ASSERT_EQ(stat((root + "users").c_str(), &users), 0);
    EXPECT_TRUE(S_ISDIR(users.st_mode));
    EXPECT_EQ(users.st_mode & 07777, 0700u); // account databases are root's alone
}

TEST_F(install_test, a_second_install_keeps_the_administrators_configuration) {
    const std::string edited = "# the administrator's own\n<Server>\n</Server>\n";
    std::ofstream(root + "conf/tolvane.conf", std::ios::trunc) << edited;
    const command_result again = make_install(stage.path());
    ASSERT_EQ(again.exit_status, 0) << again.output;
    EXPECT_EQ(text_of(root + "conf/tolvane.conf"), edited);
    EXPECT_EQ(text_of(root + "conf/tolvane.conf.sample"),
              text_of(std::string(TVN_SOURCE_DIR) + "/conf/tolvane.conf.sample"));
}

TEST_F(install_test, the_installed_configuration_and_the_sample_pass_the_check) {
    const command_result installed = run_command({sbindir + "/tvnctl", "check", root});
    EXPECT_EQ(installed.exit_status, 0) << installed.output;
    fs::copy_file(root + "conf/tolvane.conf.sample", root + "conf/tolvane.conf",
                  fs::copy_options::overwrite_existing);
    const command_result sample = run_command({sbindir + "/tvnctl", "check", root});
    EXPECT_EQ(sample.exit_status, 0) << sample.output;
}

TEST_F(install_test, every_manual_page_goes_to_its_section) {
    int pages = 0;
    for (const auto &entry : fs::directory_iterator(std::string(TVN_SOURCE_DIR) + "/man")) {
        const std::string name = entry.path().filename().string();
        const std::string section = name.substr(name.rfind('.') + 1);
        EXPECT_EQ(text_of(mandir + "/man" + section + "/" + name), text_of(entry.path().string()))
            << name;
        ++pages;
    }
    EXPECT_GE(pages, 7);
    for (const char *page : {"man8/tvn.8", "man5/tolvane.conf.5", "man1/tvnclient.1"})
        EXPECT_TRUE(fs::is_regular_file(mandir + "/" + page)) << page;
}

TEST_F(install_test, the_unit_runs_the_installed_tvnctl_on_the_installed_root) {
    std::istringstream unit(text_of(unit_dir + "/tolvane.service"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(unit, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    auto has = [&](const std::string &wanted) {
        return std::find(lines.begin(), lines.end(), wanted) != lines.end();
    };
    for (const std::string &wanted :
         {"ExecStart=" + installed_tvnctl + " run " + server_root,
          "ExecStartPre=" + installed_tvnctl + " check " + server_root,
          std::string("ExecReload=/bin/kill -HUP $MAINPID"), std::string("KillSignal=SIGTERM"),
          std::string("KillMode=mixed"), std::string("Restart=on-failure"),
          std::string("ProtectSystem=true"), "ReadWritePaths=" + server_root,
          std::string("PrivateTmp=yes"), std::string("ProtectKernelTunables=yes"),
          std::string("ProtectKernelModules=yes"), std::string("ProtectKernelLogs=yes"),
          std::string("ProtectControlGroups=yes"), std::string("RestrictNamespaces=yes"),
          std::string("LockPersonality=yes"), std::string("NoNewPrivileges=yes"),
          std::string("WantedBy=multi-user.target")})
        EXPECT_TRUE(has(wanted)) << wanted;
    // Nothing that would take root away from the master or /etc from hostacct.
    for (const char *refused : {"User=", "DynamicUser=", "ProtectSystem=full",
                                "ProtectSystem=strict", "ProtectHome="})
        for (const std::string &line : lines) EXPECT_NE(line.rfind(refused, 0), 0u) << line;

    const std::string logrotate = text_of(logrotate_dir + "/tolvane");
    EXPECT_NE(logrotate.find(server_root + "/log/*.log {"), std::string::npos) << logrotate;
    EXPECT_NE(logrotate.find("kill -HUP"), std::string::npos);
}

// The installed server, stopped (by the pid in its PID file) when a test ends early.
class installed_server_guard {
public:
    explicit installed_server_guard(std::string pid_file) : pid_file_(std::move(pid_file)) {}
    ~installed_server_guard() {
        std::ifstream in(pid_file_);
        pid_t pid = 0;
        if (!(in >> pid) || pid <= 0 || kill(pid, 0) != 0) return;
        kill(pid, SIGINT);
        wait_for_exit(pid, 20s); // adopted by this process, which reaps it
    }

private:
    std::string pid_file_;
};

TEST_F(install_test, the_installed_tvnctl_starts_a_server_that_serves_a_session_and_stops_it) {
    if (getuid() != 0) GTEST_SKIP() << "the worker switches to the service account: needs root";
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const group *nobody_group = getgrgid(nobody->pw_gid);
    ASSERT_NE(nobody_group, nullptr);
    const uint16_t port = free_port();
    fs::create_directory(root + "homes");
    chmod((root + "homes").c_str(), 0755);
    std::ofstream(root + "conf/tolvane.conf", std::ios::trunc)
        << "<Server>\n"
           "    AddIpAddress 127.0.0.1\n"
           "    ServerPort "
        << port
        << "\n"
           "    LoadModule listacct.so\n"
           "    LoadModule pathmap.so\n"
           "    LoadModule journal.so\n"
           "</Server>\n"
           "<module mod_virtual_users>\n"
           "    TvnUser nobody\n"
           "    TvnGroup "
        << nobody_group->gr_name
        << "\n"
           "    <VirtualDomain test>\n"
           "        PasswdFile "
        << root
        << "users/test.passwd\n"
           "        EnableDomain 1\n"
           "        Alias test\n"
           "    </VirtualDomain>\n"
           "</module>\n"
           "<module mod_log>\n"
           "    <VirtualDomain everyone>\n"
           "        LoggingFile log/journal.log\n"
           "        LogConnection yes\n"
           "        LogGetdir yes\n"
           "    </VirtualDomain>\n"
           "</module>\n";

    // The account, made by the installed tool.
    const run_result added =
        run_dialogue({sbindir + "/tvnadduser", root + "users/test.passwd", root},
                     std::vector<step>{said(login_prompt, "alice")} +
                         password_steps(owner_prompt, "alice-owner") +
                         password_steps(guest_prompt, "alice-guest") +
                         std::vector<step>{said(home_prompt, root + "homes/alice")});
    ASSERT_EQ(added.status, 0) << added.output;

    become_subreaper(); // the detached master is reaped here
    installed_server_guard guard(root + "log/tolvane.pid");
    const command_result started = run_command({sbindir + "/tvnctl", "start", root});
    ASSERT_EQ(started.exit_status, 0) << started.output << text_of(root + "log/tolvane.output");
    EXPECT_EQ(run_command({sbindir + "/tvnctl", "status", root}).exit_status, 0);

    {
        auto session = tvn_client::connection::connect_to("127.0.0.1", port, 5s);
        ASSERT_TRUE(session.has_value()) << text_of(root + "log/tolvane.output");
        EXPECT_EQ(exchange(*session, tvn_client::connect_request("alice@test", "alice-owner"))
                      .status(),
                  OK);
        EXPECT_EQ(exchange(*session, tvn_client::getdir_request("/Private")).status(), OK);
        EXPECT_EQ(exchange(*session, tvn_client::mkdir_request("/Private/letters")).status(), OK);
        EXPECT_TRUE(fs::is_directory(root + "homes/alice/Private/letters"));
    }
    EXPECT_TRUE(wait_until(
        [&] {
            return text_of(root + "log/journal.log").find("alice@test") != std::string::npos;
        },
        10s));

    std::ifstream pid_file(root + "log/tolvane.pid");
    pid_t master = 0;
    ASSERT_TRUE(pid_file >> master);
    const command_result stopped = run_command({sbindir + "/tvnctl", "stop", root});
    EXPECT_EQ(stopped.exit_status, 0) << stopped.output;
    EXPECT_EQ(wait_for_exit(master, 20s), 0);
    EXPECT_NE(run_command({sbindir + "/tvnctl", "status", root}).exit_status, 0);
}

} // namespace
