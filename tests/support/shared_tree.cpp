// Several servers on one shared tree: the tree, its accounts and the servers' configuration.
#include "shared_tree.h"

#include <crypt.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tvn_test {

namespace {

const char *const logged_methods[] = {
    "LogConnection", "LogDisconnect", "LogGetdir", "LogOpenFile", "LogReadFile",
    "LogWriteFile",  "LogCloseFile",  "LogDelete", "LogMakedir",  "LogRename",
    "LogCopyfile",   "LogChangePwd",  "LogSetTime"};

void give(const std::string &path, uid_t uid, gid_t gid) {
    if (chown(path.c_str(), uid, gid) != 0)
        throw std::runtime_error("cannot give " + path + " to the service account");
}

} // namespace

std::string md5_hash(const std::string &password) {
    static const char alphabet[] =
        "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    unsigned char random[8];
    if (getrandom(random, sizeof random, 0) != ssize_t(sizeof random))
        throw std::runtime_error("no random bytes for a salt");
    std::string salt = "$1$";
    for (unsigned char byte : random) salt += alphabet[byte & 63];
    crypt_data data{};
    const char *hash = crypt_r(password.c_str(), salt.c_str(), &data);
    if (hash == nullptr || hash[0] == '*') throw std::runtime_error("crypt refused an MD5 salt");
    return hash;
}

std::string journal_of_every_method() {
    std::string section =
        "<module mod_log>\n"
        "    <VirtualDomain everyone>\n"
        "        LoggingFile @ROOT@log/journal.log\n";
    for (const char *key : logged_methods) section += std::string("        ") + key + "\n";
    return section + "    </VirtualDomain>\n</module>\n";
}

shared_tree::shared_tree(const std::string &parent_dir) {
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) throw std::runtime_error("no user nobody for the service account");
    uid_ = nobody->pw_uid;
    gid_ = nobody->pw_gid;
    const group *service_group = getgrgid(gid_);
    if (service_group == nullptr) throw std::runtime_error("no group for the user nobody");
    group_name_ = service_group->gr_name;
    std::string pattern = parent_dir + "/tvn-shared-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make the tree");
    path_ = pattern + "/";
    fs::permissions(path_, fs::perms(0755));
    fs::create_directory(path_ + "users");
    fs::create_directory(path_ + "home");
    for (const std::string &dir : {path_, path_ + "users", path_ + "home"}) give(dir, uid_, gid_);
}

shared_tree::~shared_tree() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

shared_account shared_tree::make_account(const std::string &name, const std::string &owner_password,
                                         const std::string &guest_password) const {
    shared_account account{name, owner_password, guest_password, home_of(name)};
    fs::create_directory(account.home);
    give(account.home, uid_, gid_);
    for (const char *area : {"/Private", "/Public", "/Web"}) {
        fs::create_directory(account.home + area);
        give(account.home + area, uid_, gid_);
    }
    return account;
}

void shared_tree::write_records(const std::vector<shared_account> &accounts) const {
    std::ofstream out(database(), std::ios::app);
    for (const shared_account &account : accounts)
        out << account.name << "!" << md5_hash(account.owner_password) << "!"
            << md5_hash(account.guest_password) << "!" << account.home << "!!!!\n";
    out.close();
    if (!out) throw std::runtime_error("cannot write the account database");
    fs::permissions(database(), fs::perms(0600));
    give(database(), uid_, gid_);
}

server_options shared_tree::options(const std::string &server_lines) const {
    server_options options;
    options.modules = {"listacct.so", "pathmap.so", "journal.so"};
    options.server_lines = "    FailedLoginDelay 0\n" + server_lines;
    std::string sections =
        "<module mod_virtual_users>\n"
        "    TvnUser nobody\n"
        "    TvnGroup " +
        group_name_ +
        "\n"
        "    <VirtualDomain shared>\n"
        "        PasswdFile " +
        database() +
        "\n"
        "        EnableDomain 1\n"
        "        OwnerChangePassword Enabled\n"
        "        GuestChangePassword Enabled\n"
        "        Alias shared\n"
        "    </VirtualDomain>\n"
        "</module>\n";
    options.module_sections = sections + journal_of_every_method();
    options.start = false;
    return options;
}

void shared_tree::prepare_root(const temp_root &root) const {
    fs::permissions(root.path(), fs::perms(0755));
    give(root.path(), uid_, gid_);
}

} // namespace tvn_test
