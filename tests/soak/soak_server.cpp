// Laying out and starting the soak run's server: the accounts, their homes owned by the
// service account, one account database, and a journal that logs every method.
#include "soak_server.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "shared_tree.h"

namespace fs = std::filesystem;

namespace tvnsoak {

namespace {

std::string module_sections(const std::string &group) {
    std::string text =
        "<module mod_virtual_users>\n"
        "    TvnUser nobody\n"
        "    TvnGroup " +
        group +
        "\n"
        "    <VirtualDomain soak>\n"
        "        PasswdFile @ROOT@users/soak.passwd\n"
        "        EnableDomain 1\n"
        "        OwnerChangePassword Enabled\n"
        "        GuestChangePassword Enabled\n"
        "        Alias soak\n"
        "    </VirtualDomain>\n"
        "</module>\n";
    return text + tvn_test::journal_of_every_method();
}

void give(const std::string &path, const passwd &account) {
    if (chown(path.c_str(), account.pw_uid, account.pw_gid) != 0)
        throw std::runtime_error("cannot give " + path + " to the service account");
}

// A home with its three areas, all the service account's.
std::string make_home(const std::string &root, const std::string &name, const passwd &account) {
    const std::string home = root + "home/" + name;
    fs::create_directories(home);
    give(home, account);
    for (const char *area : {"/Private", "/Public", "/Web"}) {
        fs::create_directory(home + area);
        give(home + area, account);
    }
    return home;
}

} // namespace

soak_server::soak_server(soak_context &context, int clients) {
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) throw std::runtime_error("no user nobody for the sessions");
    const passwd service = *nobody;
    const group *service_group = getgrgid(service.pw_gid);
    if (service_group == nullptr) throw std::runtime_error("no group for the user nobody");

    tvn_test::server_options options;
    options.modules = {"listacct.so", "pathmap.so", "journal.so"};
    options.server_lines = "    MaxConcurrentUsers " + std::to_string(clients + 50) + "\n";
    options.module_sections = module_sections(service_group->gr_name);
    options.start = false;
    server_ = std::make_unique<tvn_test::test_server>(options);
    root_ = server_->root().path();
    context.port = server_->port();
    context.domain = "soak";

    fs::create_directory(root_ + "users");
    std::ofstream accounts(database());
    for (int i = 0; i < regular_users; ++i) {
        regular_user user;
        user.name = "soak" + std::to_string(i);
        user.owner_password = "own-" + std::to_string(i);
        user.guest_password = "gst-" + std::to_string(i);
        user.home = make_home(root_, user.name, service);
        user.record = user.name + "!" + tvn_test::md5_hash(user.owner_password) + "!" +
                      tvn_test::md5_hash(user.guest_password) + "!" + user.home + "!!!!";
        accounts << user.record << "\n";
        context.users.push_back(user);
    }
    for (int i = 0; i < changing_users; ++i) {
        auto user = std::make_unique<changing_user>();
        user->name = "pass" + std::to_string(i);
        user->owner_password = "first-own-" + std::to_string(i);
        user->guest_password = "first-gst-" + std::to_string(i);
        accounts << user->name << "!" << tvn_test::md5_hash(user->owner_password) << "!"
                 << tvn_test::md5_hash(user->guest_password) << "!"
                 << make_home(root_, user->name, service) << "!!!!\n";
        context.changing.push_back(std::move(user));
    }
    accounts.close();
    if (!accounts) throw std::runtime_error("cannot write the account database");
    // The sessions run as the service account, which must reach the homes; a password
    // change writes beside the database.
    fs::permissions(root_, fs::perms(0755));
    for (const std::string &path : {root_, root_ + "home", root_ + "users", database()})
        give(path, service);
    if (!server_->start())
        throw std::runtime_error("the server did not start:\n" + server_->output());
}

} // namespace tvnsoak
