// Test support: several servers on one shared tree holding the account database and the
// users' areas, as servers behind a balancer share network storage (a local directory stands
// in for it here). Each server keeps its own root (configuration, libraries, output, journal,
// tvn_aux_file); the tree is the service account's, as a deployment gives it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_server.h"

namespace tvn_test {

// An MD5-crypt hash of password with a salt from the system's random source.
std::string md5_hash(const std::string &password);
// The journal's module section: every method, into the server's own log/journal.log.
std::string journal_of_every_method();

struct shared_account {
    std::string name;
    std::string owner_password;
    std::string guest_password;
    std::string home; // in the tree
};

class shared_tree {
public:
    // A fresh directory under parent_dir with users/ and home/, given to the service account
    // (nobody); removed with everything in it. Throws std::runtime_error when it cannot be
    // made (no user nobody, no room).
    explicit shared_tree(const std::string &parent_dir = "/tmp");
    ~shared_tree();
    shared_tree(const shared_tree &) = delete;
    shared_tree &operator=(const shared_tree &) = delete;

    // Ends in "/".
    const std::string &path() const { return path_; }
    std::string database() const { return path_ + "users/accounts.passwd"; }
    std::string home_of(const std::string &name) const { return path_ + "home/" + name; }
    uid_t service_uid() const { return uid_; }
    gid_t service_gid() const { return gid_; }

    // An account with its home and three areas made in the tree (not yet in the database).
    shared_account make_account(const std::string &name, const std::string &owner_password,
                                const std::string &guest_password) const;
    // Appends the accounts' records to the database (created, the service account's, 0600).
    void write_records(const std::vector<shared_account> &accounts) const;

    // What every server of the tree loads: list accounts of the domain "shared" in the tree's
    // database (both passwords may change), the path mapping, and a journal of every method in
    // the server's own log/journal.log. Refused logins answer at once (FailedLoginDelay 0).
    server_options options(const std::string &server_lines = "") const;
    // Gives a server's root to the service account, before it starts: a password change
    // claims tvn_aux_file in the root, its working directory.
    void prepare_root(const temp_root &root) const;

private:
    std::string path_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::string group_name_;
};

} // namespace tvn_test
