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

#include "account_db.h"
#include "utils.h"

namespace {

// The line buffer of an answer starts this small and grows as needed.
constexpr long answer_size = 24;

enum class dir_answer { given, empty, failed, ended };

void say(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Creates one directory and gives it to the account's owner; whatever exists under the name
// already stays as it is.
bool make_dir(const new_account &account, const std::string &path) {
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0) return true;
    if (mkdir(path.c_str(), 0777) != 0) {
        std::printf("I can't create `%s`, path doesn't exist.\n", path.c_str());
        std::fflush(stdout);
        return false;
    }
    // Through a descriptor of the directory just made: a symbolic link put in its place
    // meanwhile is refused rather than followed.
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool given = fd >= 0 && fchown(fd, account.user_id, account.group_id) == 0;
    if (fd >= 0) close(fd);
    if (!given) {
        std::printf("I can't give `%s` to its owner.\n", path.c_str());
        std::fflush(stdout);
    }
    return given;
}

// One directory step: asks until the answer is empty or an absolute path, puts it into the
// record and creates the directory (with its subdirectories for a home directory).
dir_answer insert_dir(new_account &account, const char *prompt, bool home) {
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
    const bool made = home ? make_home(account, dir) : make_dir(account, dir);
    return made ? dir_answer::given : dir_answer::failed;
}

}  // namespace

void print_usage() { say("Usage :  tvnadduser <filename>\n"); }

void print_cannot_go_on() { say("Error, I can't go on\n"); }

void print_no_space() { say("no space left on disk\n"); }

void print_too_long() {
    std::printf("The record would be longer than %zu characters (line feed included), "
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
    long size = answer_size;
    auto *buffer = static_cast<char *>(std::calloc(std::size_t(size), 1));
    if (buffer == nullptr) return false;
    const long got = readline(stdin, '\n', size, &buffer, 1);
    answer->assign(buffer);
    std::free(buffer);
    return got != -1;
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
    char *hash = insert_pwd(salt_form::traditional);
    if (hash == nullptr) {
        say("They don't match\n");
        return false;
    }
    const bool fits = account.line.add(hash);
    std::free(hash);
    if (!fits) print_too_long();
    return fits;
}

bool make_home(const new_account &account, const std::string &home) {
    if (!make_dir(account, home)) return false;
    for (const char *area : {"/Private", "/Public", "/Web"})
        if (!make_dir(account, home + area)) return false;
    return true;
}

bool separate_directory_steps(new_account &account) {
    for (const char *prompt : directory_prompts) {
        switch (insert_dir(account, prompt, false)) {
        case dir_answer::given:
        case dir_answer::empty:
            break;
        case dir_answer::failed:
            return false;
        case dir_answer::ended:
            print_cannot_go_on();
            return false;
        }
    }
    return true;
}

bool directory_steps(new_account &account, const char *home_prompt) {
    switch (insert_dir(account, home_prompt, true)) {
    case dir_answer::given:
        // The three directories are those under the home directory.
        for (int field = 0; field < 3; ++field) account.line.add("");
        return true;
    case dir_answer::empty:
        return separate_directory_steps(account);
    case dir_answer::failed:
    case dir_answer::ended:
        break;
    }
    print_cannot_go_on();
    return false;
}

bool append_account(const new_account &account) {
    const db_result result =
        append_new_record(account.database, account.line.text().c_str(), account.user.c_str());
    switch (result) {
    case db_result::done:
        return true;
    case db_result::name_taken:
        say("User already inserted ... \n");
        break;
    case db_result::open_database:
        say("Error opening database file\n");
        break;
    case db_result::lock:
        say("I can't lock the database file, nothing written.\n");
        break;
    case db_result::no_memory:
        print_no_space();
        break;
    default:
        say("Error writing the database file, nothing written.\n");
        break;
    }
    return false;
}
