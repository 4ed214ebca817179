// Removing a tree on the server. Each directory is first asked to go as it is: the server
// removes a file or an empty directory at once and answers DIR_NOT_EMPTY for a directory that
// holds something, which is only then listed and emptied. A link to a directory is therefore
// never followed: the server refuses to remove it as a directory, so the removal stops there
// instead of emptying the directory it points to. The walk keeps its own stack, so a deep
// tree costs memory for its listings, not the program's stack.
#include "tree_remove.h"

#include <vector>

#include "interrupt.h"
#include "remote_ops.h"
#include "remote_path.h"
#include "tolvane/protocol.h"

namespace tvnclient {

namespace {

enum class removal { gone, holds_entries, failed };

removal remove_as_it_is(session &remote, const std::string &path, problem &failure) {
    failure = delete_remote(remote, path);
    if (!failure) return removal::gone;
    if (failure.status == exit_status::failed && remote.is_open() &&
        remote.status() == DIR_NOT_EMPTY)
        return removal::holds_entries;
    failure = explain_denial(remote, failure);
    return removal::failed;
}

// A directory being emptied: its entries and how far the walk has come.
struct directory_walk {
    std::string path;
    std::vector<tvn_client::listing_entry> entries;
    std::size_t next = 0;
};

} // namespace

problem remove_tree(session &remote, const std::string &path) {
    problem failure;
    if (remove_as_it_is(remote, path, failure) != removal::holds_entries) return failure;
    std::vector<directory_walk> walks;
    auto enter = [&](const std::string &directory) -> problem {
        directory_walk walk{directory, {}, 0};
        if (problem failed = list_directory(remote, directory, walk.entries)) return failed;
        walks.push_back(std::move(walk));
        return {};
    };
    if (problem failed = enter(path)) return failed;
    while (!walks.empty()) {
        if (interrupted()) return make_problem(exit_status::interrupted, path, "interrupted");
        directory_walk &walk = walks.back();
        if (walk.next == walk.entries.size()) {
            // Emptied, so it can go now; something added meanwhile is "directory not empty".
            if (problem failed = delete_remote(remote, walk.path))
                return explain_denial(remote, failed);
            walks.pop_back();
            continue;
        }
        const tvn_client::listing_entry &entry = walk.entries[walk.next++];
        // No server lists these; one that did must not lead the walk out of the tree.
        if (entry.name == "." || entry.name == "..") continue;
        const std::string child = remote_join(walk.path, entry.name);
        if (!entry.is_dir) {
            if (problem failed = delete_remote(remote, child))
                return explain_denial(remote, failed);
            continue;
        }
        switch (remove_as_it_is(remote, child, failure)) {
        case removal::gone: break;
        case removal::failed: return failure;
        case removal::holds_entries:
            if (problem failed = enter(child)) return failed;
            break;
        }
    }
    return {};
}

} // namespace tvnclient
