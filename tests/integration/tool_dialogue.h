// Running the administration tools in the tests: the built programs, a dialogue of prompts
// and answers typed on a pseudo-terminal, and the files they leave.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "account_db.h"
#include "pty_session.h"
#include "server_root.h"

namespace tvn_tools_test {

inline const std::string adduser_program = TVNADDUSER_BINARY;
inline const std::string sysadduser_program = TVNSYSADDUSER_BINARY;
inline const std::string vpasswd_program = TVNVPASSWD_BINARY;
inline const std::string passwd_program = TVNPASSWD_BINARY;

// How an answer is typed: a line with echo, a line once the echo is off (a password), or the
// end of input (Ctrl-D at the start of a line) alone, at once or once the echo is off.
enum class typing { echoed, secret, end_of_input, end_of_secret_input };

// One step: wait for the prompt, then type the answer. before, when set, runs once the prompt
// has appeared.
struct step {
    std::string prompt;
    std::string answer;
    typing how = typing::echoed;
    std::function<void()> before = {};
};

inline step said(const std::string &prompt, const std::string &answer) {
    return {prompt, answer, typing::echoed};
}
inline step secret(const std::string &prompt, const std::string &answer) {
    return {prompt, answer, typing::secret};
}
inline step input_ends(const std::string &prompt) { return {prompt, "", typing::end_of_input}; }
// The end of input at a password prompt: typed earlier, it would be discarded with the input
// typed while the echo was on.
inline step secret_input_ends(const std::string &prompt) {
    return {prompt, "", typing::end_of_secret_input};
}

struct run_result {
    int status = -1;
    std::string output; // "\n" line ends
};

// Runs argv on a terminal through the steps, then to its end. A prompt that does not come
// fails the test and ends the dialogue there.
inline run_result run_dialogue(const std::vector<std::string> &argv, const std::vector<step> &steps,
                               const tvn_test::pty_options &options = {}) {
    tvn_test::pty_session session(argv, options);
    EXPECT_TRUE(session.started());
    for (const step &next : steps) {
        if (!session.read_until(next.prompt)) {
            ADD_FAILURE() << "no prompt \"" << next.prompt << "\" in:\n" << session.text();
            break;
        }
        if (next.before) next.before();
        bool typed = false;
        switch (next.how) {
        case typing::echoed: typed = session.send_line(next.answer); break;
        case typing::secret: typed = session.type_silently(next.answer); break;
        case typing::end_of_input: typed = session.send_text("\x04"); break;
        case typing::end_of_secret_input:
            typed =
                tvn_test::wait_until([&] { return !session.echo_on(); }, std::chrono::seconds(5)) &&
                session.send_text("\x04");
            break;
        }
        EXPECT_TRUE(typed) << next.prompt;
    }
    run_result result;
    result.status = session.wait_exit();
    result.output = session.text();
    return result;
}

// The prompts of the dialogues.
inline const std::string login_prompt = "Login name for new user : ";
inline const std::string owner_prompt = "Enter the new owner password : ";
inline const std::string guest_prompt = "Enter the new guest password : ";
inline const std::string again_prompt = "Re-enter the new password : ";
inline const std::string home_prompt = "Home directory    :  ";
inline const std::string private_prompt = "Private directory :  ";
inline const std::string public_prompt = "Public directory  :  ";
inline const std::string web_prompt = "Web directory     :  ";
inline const std::string system_home_prompt = "Do you want to use system home directory (y/n)? :  ";

// A password typed twice after its prompt.
inline std::vector<step> password_steps(const std::string &prompt, const std::string &password) {
    return {secret(prompt, password), secret(again_prompt, password)};
}

inline std::vector<step> operator+(std::vector<step> first, const std::vector<step> &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool exists(const std::string &path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

// Owner, group and permission bits of a path; nullopt when it does not exist.
struct file_owner {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const file_owner &) const = default;
};
inline std::optional<file_owner> owner_of(const std::string &path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return std::nullopt;
    return file_owner{status.st_uid, status.st_gid, mode_t(status.st_mode & 07777)};
}

inline std::ostream &operator<<(std::ostream &out, const file_owner &owner) {
    return out << owner.uid << ":" << owner.gid << " " << std::oct << owner.mode << std::dec;
}

// A record's fields, copied out of the database's text.
struct stored_record {
    bool complete = false;
    std::string owner_hash, guest_hash, home_dir, private_dir, public_dir, web_dir;
};

// The record of name in text, read as the account modules read it; fails the test when there
// is none.
inline stored_record record_of(const std::string &text, const std::string &name,
                               record_layout layout = record_layout::list_account) {
    const size_t start = text.rfind(name + "!", 0) == 0 ? 0 : text.find("\n" + name + "!");
    if (start == std::string::npos) {
        ADD_FAILURE() << "no record of " << name << " in:\n" << text;
        return {};
    }
    std::string line = text.substr(start == 0 ? 0 : start + 1);
    line = line.substr(0, line.find('\n'));
    account_record fields{};
    stored_record stored;
    stored.complete = read_record_fields(line.c_str(), name.size(), layout, &fields);
    EXPECT_TRUE(stored.complete) << line;
    stored.owner_hash = fields.owner_hash;
    stored.guest_hash = fields.guest_hash;
    stored.home_dir = fields.home_dir;
    stored.private_dir = fields.private_dir;
    stored.public_dir = fields.public_dir;
    stored.web_dir = fields.web_dir;
    return stored;
}

} // namespace tvn_tools_test
