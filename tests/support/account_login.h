// Test support: a login of an account module run in a forked child, since a login that
// succeeds changes the process's user and groups, and the report of what it left behind.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "child_run.h"
#include "pooled_request.h"
#include "tolvane/module.h"

namespace tvn_test {

struct login_attempt {
    const char *user;
    const char *domain; // NULL: a login without a domain
    const char *password;
};

// Fields of the report by name: status, is_guest, private, public, web, flags (the link flags
// in user_module_data), log, uid and gid (real,effective), groups (sorted), umask, and what
// access_check then says of link_path (access, link_permission). Empty when the child did not
// report.
using login_report = std::map<std::string, std::string>;

// Makes root/link, a symbolic link for access_check to rule on after a login, and opens the
// root to everyone: the user a login switches to must still reach the link.
inline bool make_login_link(const temp_root &root) {
    return symlink("/etc/hostname", root.file("link").c_str()) == 0 &&
           chmod(root.path().c_str(), 0755) == 0;
}

// Runs auth for the attempt with module_data as the module's init_module_data, in a child
// that first runs prepare.
inline login_report log_in_child(tvn_hook auth, tvn_hook access_check, void *module_data,
                                 const login_attempt &attempt, const std::string &link_path,
                                 const std::function<void()> &prepare = {}) {
    const auto text = run_in_child([&] {
        if (prepare) prepare();
        pooled_request request;
        request->username = request.text(attempt.user);
        request->domain = attempt.domain != nullptr ? request.text(attempt.domain) : nullptr;
        request->password = request.text(attempt.password);
        request->init_module_data = module_data;
        std::ostringstream out;
        out << "status=" << auth(request.get()) << "\n";
        auto text_of = [](const char *value) { return value != nullptr ? value : "NULL"; };
        out << "is_guest=" << int(request->is_guest) << "\n"
            << "private=" << text_of(request->private_dir) << "\n"
            << "public=" << text_of(request->public_dir) << "\n"
            << "web=" << text_of(request->web_dir) << "\n"
            << "flags=" << (reinterpret_cast<uintptr_t>(request->user_module_data) & 0xff) << "\n"
            << "log=" << text_of(request->log_message) << "\n"
            << "uid=" << getuid() << "," << geteuid() << "\n"
            << "gid=" << getgid() << "," << getegid() << "\n";
        gid_t groups[256];
        const int count = getgroups(256, groups);
        std::sort(groups, groups + std::max(count, 0));
        out << "groups=";
        for (int i = 0; i < count; ++i) out << (i > 0 ? "," : "") << groups[i];
        const mode_t mask = umask(0);
        out << "\numask=" << std::oct << mask << std::dec << "\n";
        request->local_path1 = request.text(link_path);
        out << "access=" << access_check(request.get()) << "\n"
            << "link_permission=" << int(request->link_permission) << "\n";
        return out.str();
    });
    login_report fields;
    if (!text) return fields;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        const size_t equal = line.find('=');
        fields[line.substr(0, equal)] = line.substr(equal + 1);
    }
    return fields;
}

} // namespace tvn_test
