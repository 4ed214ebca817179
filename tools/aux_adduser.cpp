// The steps the user-creation tools share: the login name, the passwords, the directories
// (asked, checked and created) and the final append.
#include "aux_adduser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "account_db.h"
#include "hash_option.h"
#include "utils.h"

namespace {

// The line buffer of an answer starts this small and grows as needed.
constexpr long answer_size = 24;

enum class dir_answer { given, empty, failed, ended };

void say(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// A directory descriptor that closes itself.
class dir_handle {
public:
    dir_handle() = default;
    explicit dir_handle(int fd) : fd_(fd) {}
    ~dir_handle() { reset(); }
    dir_handle(const dir_handle &) = delete;
    dir_handle &operator=(const dir_handle &) = delete;
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

void say_path(const char *format, const std::string &path) {
    std::printf(format, path.c_str());
    std::fflush(stdout);
}

void say_cannot_create(const std::string &path) {
    say_path("I can't create `%s`, path doesn't exist.\n", path);
}

void say_link(const std::string &path) {
    say_path("`%s` is a symbolic link, I don't follow it: nothing is created through it.\n", path);
}

bool is_link_at(int dir_fd, const char *name) {
    struct stat status {};
    return fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

constexpr int dir_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens the directory at the absolute path one component at a time, never following a
// symbolic link: whoever may write a directory on the way cannot send the tool elsewhere.
// False after a message.
bool open_directory(const std::string &path, const std::string &wanted, dir_handle *opened) {
    opened->reset(open("/", dir_open_flags));
    if (opened->get() < 0) {
        say_cannot_create(wanted);
        return false;
    }
    std::string walked;
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        walked += "/" + component;
        const int next = openat(opened->get(), component.c_str(), dir_open_flags);
        if (next < 0) {
            if (is_link_at(opened->get(), component.c_str()))
                say_link(walked);
            else
                say_cannot_create(wanted);
            return false;
        }
        opened->reset(next);
    }
    return true;
}

// The part of a path before its last component, and that component; trailing "/" ignored.
std::pair<std::string, std::string> split_last(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

enum class on_link { refuse, leave };

// Creates name in the directory open as parent_fd (path is its full name, for the messages)
// and gives it to the account's owner, through the new directory's own descriptor. Whatever
// exists under the name already stays as it is, owner and mode included; a symbolic link
// there is refused or left alone as links says. With opened, the directory is left open in it
// (a link is never opened). False after a message.
bool create_at(const new_account &account, int parent_fd, const std::string &path,
               const std::string &name, mode_t mode, on_link links, dir_handle *opened) {
    if (name.empty()) { // the path is "/": it exists
        if (opened != nullptr) opened->reset(dup(parent_fd));
        return opened == nullptr || opened->get() >= 0;
    }
    struct stat existing {};
    if (fstatat(parent_fd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(existing.st_mode)) {
            if (links == on_link::leave) return true;
            say_link(path);
            return false;
        }
        if (opened == nullptr) return true;
        opened->reset(openat(parent_fd, name.c_str(), dir_open_flags));
        if (opened->get() < 0) {
            say_cannot_create(path + "/Private");
            return false;
        }
        return true;
    }
    if (mkdirat(parent_fd, name.c_str(), mode) != 0) {
        say_cannot_create(path);
        return false;
    }
    // The new directory's own descriptor: a link put in its place meanwhile is refused rather
    // than followed.
    dir_handle made(openat(parent_fd, name.c_str(), dir_open_flags));
    if (made.get() < 0 || fchown(made.get(), account.user_id, account.group_id) != 0) {
        say_path("I can't give `%s` to its owner.\n", path);
        return false;
    }
    if (opened != nullptr) opened->reset(dup(made.get()));
    return opened == nullptr || opened->get() >= 0;
}

// Creates one directory named by an absolute path whose parent exists, for the account. A
// symbolic link anywhere on the path, the directory's own name included, is refused.
bool make_dir(const new_account &account, const std::string &path, mode_t mode,
              dir_handle *opened = nullptr) {
    const auto [parent, name] = split_last(path);
    dir_handle parent_dir;
    if (!open_directory(parent, path, &parent_dir)) return false;
    return create_at(account, parent_dir.get(), path, name, mode, on_link::refuse, opened);
}

// What a directory step asks for: a home directory, or one of the three areas.
enum class dir_kind { home, private_area, other_area };

// The private area is its owner's alone; the public and web areas stay readable (a web server
// may serve the web area).
mode_t area_mode(dir_kind kind) { return kind == dir_kind::private_area ? 0700 : 0777; }

// One directory step: asks until the answer is empty or an absolute path, puts it into the
// record and creates the directory (with its subdirectories for a home directory).
dir_answer insert_dir(new_account &account, const char *prompt, dir_kind kind) {
    std::string dir;
    for (;;) {
        if (!ask(prompt, &dir)) return dir_answer::ended;
        if (dir.empty()) {
            if (account.line.add("")) return dir_answer::empty;
            print_too_long();
            return dir_answer::failed;
        }
        if (dir.back() == '/') dir.pop_back();
        if (dir.empty() || dir.front() != '/') {
            say("Directory must begin with '/' ... \n");
            continue;
        }
        // "!" ends a field: a directory holding one would break the record.
        if (dir.find('!') != std::string::npos) {
            say("Directory can't contain '!' ... \n");
            continue;
        }
        break;
    }
    if (!account.line.add(dir)) {
        print_too_long();
        return dir_answer::failed;
    }
    const bool made =
        kind == dir_kind::home ? make_home(account, dir) : make_dir(account, dir, area_mode(kind));
    return made ? dir_answer::given : dir_answer::failed;
}

} // namespace

void print_usage() { say("Usage :  tvnadduser <filename>\n"); }

bool take_method(int *argc, char ***argv, salt_form *form) {
    if (take_hash_option(argc, argv, form) != hash_option::bad) return true;
    print_usage();
    return false;
}

std::size_t password_field_length(const new_account &account) {
    const std::size_t length = hash_length_of(account.hash_form);
    if (length == 0) say("This host can't make password hashes of that method.\n");
    return length;
}

void print_cannot_go_on() { say("Error, I can't go on\n"); }

void print_no_space() { say("no space left on disk\n"); }

void print_too_long() {
    std::printf(
        "The record would be longer than %zu characters (line feed included), "
        "I can't write it.\n",
        record_limit);
    std::fflush(stdout);
}

bool database_is_directory(const char *path) {
    struct stat status {};
    if (stat(path, &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    std::printf("'%s' is a directory\n", path);
    print_usage();
    return true;
}

bool ask(const char *prompt, std::string *answer) {
    say(prompt);
    line_buffer line(answer_size);
    if (!line.usable()) return false;
    const bool read = line.next(stdin);
    answer->assign(line.text);
    return read;
}

bool insert_user(new_account &account) {
    std::string name;
    ask("Login name for new user : ", &name); // end of input leaves the name empty
    // A tab is a blank to every reader of the database, as a space is.
    if (name.find_first_of(" \t!:") != std::string::npos) {
        say("Come on, man, you can't have the login field within '.' or '!'\n");
        return false;
    }
    if (name.empty()) {
        say("Come on, man, you can't leave the login field empty...\n");
        return false;
    }
    if (FILE *database = std::fopen(account.database, "r")) {
        long pos = 0;
        char *record = search_user_line(database, name.c_str(), &pos);
        std::fclose(database);
        if (record != nullptr) {
            std::free(record);
            say("User already inserted ... \n");
            return false;
        }
    } else if (errno != ENOENT) {
        std::fflush(stdout);
        std::perror("Error opening database file\n");
        return false;
    }
    if (!account.line.add(name)) {
        print_too_long();
        return false;
    }
    account.user = name;
    return true;
}

bool ins_password(new_account &account, const char *prompt) {
    std::printf("%s : ", prompt);
    std::fflush(stdout);
    entry_failure failure = entry_failure::none;
    char *hash = insert_pwd(account.hash_form, &failure);
    if (hash == nullptr) {
        const char *refusal = entry_failure_text(failure);
        say(refusal != nullptr ? refusal : "They don't match\n");
        return false;
    }
    const bool fits = account.line.add(hash);
    std::free(hash);
    if (!fits) print_too_long();
    return fits;
}

bool make_home(const new_account &account, const std::string &home) {
    dir_handle home_dir;
    if (!make_dir(account, home, 0777, &home_dir)) return false;
    // The areas are made through the home's own descriptor, never through its name again.
    for (const auto &[area, kind] :
         {std::pair{"Private", dir_kind::private_area}, std::pair{"Public", dir_kind::other_area},
          std::pair{"Web", dir_kind::other_area}}) {
        if (!create_at(account, home_dir.get(), home + "/" + area, area, area_mode(kind),
                       on_link::leave, nullptr))
            return false;
    }
    return true;
}

bool separate_directory_steps(new_account &account) {
    for (const char *prompt : directory_prompts) {
        const dir_kind kind =
            prompt == directory_prompts[0] ? dir_kind::private_area : dir_kind::other_area;
        switch (insert_dir(account, prompt, kind)) {
        case dir_answer::given:
        case dir_answer::empty: break;
        case dir_answer::failed: return false;
        case dir_answer::ended: print_cannot_go_on(); return false;
        }
    }
    return true;
}

bool directory_steps(new_account &account, const char *home_prompt) {
    switch (insert_dir(account, home_prompt, dir_kind::home)) {
    case dir_answer::given:
        // The three directories are those under the home directory.
        for (int field = 0; field < 3; ++field) account.line.add("");
        return true;
    case dir_answer::empty: return separate_directory_steps(account);
    case dir_answer::failed:
    case dir_answer::ended: break;
    }
    print_cannot_go_on();
    return false;
}

bool append_account(const new_account &account) {
    const db_result result =
        append_new_record(account.database, account.line.text().c_str(), account.user.c_str());
    switch (result) {
    case db_result::done: return true;
    case db_result::name_taken: say("User already inserted ... \n"); break;
    case db_result::open_database: say("Error opening database file\n"); break;
    case db_result::lock: say("I can't lock the database file, nothing written.\n"); break;
    case db_result::no_memory: print_no_space(); break;
    default: say("Error writing the database file, nothing written.\n"); break;
    }
    return false;
}
