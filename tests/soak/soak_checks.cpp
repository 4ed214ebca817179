// The checks at the end of a soak run, against what the clients recorded.
#include "soak_checks.h"

#include <crypt.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "seeded_content.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace tvnsoak {

namespace {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(dir, error))
        names.insert(entry.path().filename().string());
    return names;
}

std::string joined(const std::set<std::string> &names) {
    std::string text;
    for (const auto &name : names) text += " " + name;
    return text.empty() ? " nothing" : text;
}

// The checksum of a file on disk, read in large pieces; empty when it cannot be read.
std::optional<std::uint64_t> checksum_on_disk(const std::string &path, std::size_t *size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    tvn_test::content_checksum sum;
    std::vector<std::uint8_t> piece(1 << 20);
    while (in) {
        in.read(reinterpret_cast<char *>(piece.data()), std::streamsize(piece.size()));
        sum.update({piece.data(), std::size_t(in.gcount())});
    }
    *size = std::size_t(sum.length());
    return sum.value();
}

void check_area(soak_context &context, const client_state &client, const client_area &area) {
    const std::string who = "client " + std::to_string(client.index) + ": " + area.local_dir;
    std::set<std::string> wanted;
    for (const auto &file : area.files) wanted.insert(file.name);
    const std::set<std::string> found = names_in(area.local_dir);
    if (found != wanted)
        context.check_errors.add(who + " holds" + joined(found) + ", wanted" + joined(wanted));
    for (const auto &file : area.files) {
        std::size_t size = 0;
        const auto sum = checksum_on_disk(area.local_dir + "/" + file.name, &size);
        if (!sum)
            context.check_errors.add(who + "/" + file.name + " cannot be read");
        else if (size != file.size || *sum != file.checksum)
            context.check_errors.add(who + "/" + file.name + ": " + std::to_string(size) +
                                     " bytes, " + (*sum == file.checksum ? "" : "not ") +
                                     "the uploaded checksum; uploaded " +
                                     std::to_string(file.size) + " bytes");
    }
}

// Anything a writer leaves behind when it fails half-way: parts of uploads and copies, new
// account databases that were never renamed.
bool leftover_name(const std::string &name) {
    const std::string part = ".tvnpart";
    return (name.size() >= part.size() &&
            name.compare(name.size() - part.size(), part.size(), part) == 0) ||
           name.rfind(".tvn_new.", 0) == 0 || name == "tvn_aux_file";
}

} // namespace

void check_files(soak_context &context, const soak_server &server,
                 const std::vector<client_state> &clients) {
    // Each area of each home holds the directories of the clients that made them, no more.
    std::map<std::string, std::set<std::string>> wanted_dirs;
    for (const auto &user : context.users)
        for (const char *area : {"/Private", "/Public", "/Web"}) wanted_dirs[user.home + area];
    for (const auto &user : context.changing)
        for (const char *area : {"/Private", "/Public", "/Web"})
            wanted_dirs[server.root() + "home/" + user->name + area];
    for (const auto &client : clients) {
        if (!client.directories_made) continue;
        for (const auto &area : client.areas) {
            const fs::path local(area.local_dir);
            wanted_dirs[local.parent_path().string()].insert(local.filename().string());
        }
    }
    for (const auto &[dir, names] : wanted_dirs)
        if (const auto found = names_in(dir); found != names)
            context.check_errors.add(dir + " holds" + joined(found) + ", wanted" + joined(names));
    for (const auto &client : clients)
        if (client.directories_made)
            for (const auto &area : client.areas) check_area(context, client, area);

    std::error_code error;
    for (const auto &entry : fs::recursive_directory_iterator(server.root(), error))
        if (leftover_name(entry.path().filename().string()))
            context.check_errors.add("left behind: " + entry.path().string());
}

void check_database(soak_context &context, const soak_server &server) {
    std::map<std::string, std::vector<std::string>> records;
    std::istringstream lines(read_text(server.database()));
    for (std::string line; std::getline(lines, line);)
        records[line.substr(0, line.find('!'))].push_back(line);
    std::set<std::string> known;
    for (const auto &user : context.users) {
        known.insert(user.name);
        const auto &found = records[user.name];
        if (found.size() != 1 || found.front() != user.record)
            context.check_errors.add("database: " + std::to_string(found.size()) + " records of " +
                                     user.name + (found.size() == 1 ? ", changed" : ""));
    }
    for (const auto &user : context.changing) {
        known.insert(user->name);
        const auto &found = records[user->name];
        if (found.size() != 1) {
            context.check_errors.add("database: " + std::to_string(found.size()) + " records of " +
                                     user->name);
            continue;
        }
        std::istringstream fields(found.front().substr(user->name.size() + 1));
        std::string owner_hash, guest_hash;
        std::getline(fields, owner_hash, '!');
        std::getline(fields, guest_hash, '!');
        const auto matches = [](const std::string &password, const std::string &hash) {
            const char *computed = crypt(password.c_str(), hash.c_str());
            return !hash.empty() && computed != nullptr && hash == computed;
        };
        if (!matches(user->owner_password, owner_hash) ||
            !matches(user->guest_password, guest_hash))
            context.check_errors.add("database: the hashes of " + user->name +
                                     " are not those of the passwords its last changes set");
    }
    for (const auto &[name, found] : records)
        if (known.count(name) == 0)
            context.check_errors.add("database: " + std::to_string(found.size()) +
                                     " unknown records " + name);
}

void check_journal(soak_context &context, const soak_server &server) {
    static const std::map<std::string, std::uint8_t> methods = {
        {"CONNECT", CONNECT}, {"GETDIR", GETDIR},     {"OPEN", OPEN},          {"READ", READ},
        {"WRITE", WRITE},     {"CLOSE", CLOSE},       {"DELETE", DELETE},      {"MKDIR", MKDIR},
        {"RENAME", RENAME},   {"COPYFILE", COPYFILE}, {"CHANGEPWD", CHANGEPWD}};
    std::map<std::uint8_t, std::uint64_t> lines_by_method;
    std::uint64_t bad_packet_lines = 0, silent_refusals = 0;
    std::istringstream journal(read_text(server.journal()));
    for (std::string line; std::getline(journal, line);) {
        const auto session_end = line.find('\t');
        if (session_end == std::string::npos) {
            context.check_errors.add("journal: a line without a session: " + line);
            continue;
        }
        if (line.compare(session_end, 21, "\t Invalid connection ") == 0) {
            if (line.find(" Bad Header packet") != std::string::npos ||
                line.find(" Bad Body packet") != std::string::npos)
                ++bad_packet_lines;
            else if (line.back() == ' ' && line.find("Too many") == std::string::npos)
                ++silent_refusals;
            else
                context.check_errors.add("journal: a refused connection: " + line);
            continue;
        }
        const auto login_end = line.find('\t', session_end + 1);
        if (login_end == std::string::npos || line.size() < login_end + 15) {
            context.check_errors.add("journal: a line without its method: " + line);
            continue;
        }
        std::string method = line.substr(login_end + 5, 10);
        method.erase(method.find_last_not_of(' ') + 1);
        if (method == "DISCONNECT") continue;
        const auto known = methods.find(method);
        if (known == methods.end())
            context.check_errors.add("journal: an unknown method: " + line);
        else
            ++lines_by_method[known->second];
    }
    // A login given up on may still have got in at the very last moment, never more.
    const soak_counts &counts = context.counts;
    for (const auto &[name, code] : methods) {
        const std::uint64_t answers = counts.answered[code];
        const std::uint64_t lines = lines_by_method[code];
        const std::uint64_t late = code == CONNECT ? counts.abandoned_logins.load() : 0;
        if (lines < answers || lines > answers + late)
            context.check_errors.add("journal: " + std::to_string(lines) + " " + name +
                                     " lines for " + std::to_string(answers) + " answers");
    }
    const std::uint64_t bad_sent = counts.bad_packets_before_login;
    if (bad_packet_lines < bad_sent || bad_packet_lines > bad_sent + counts.abandoned_bad_packets)
        context.check_errors.add("journal: " + std::to_string(bad_packet_lines) +
                                 " refused bad packets for " + std::to_string(bad_sent) + " sent");
    // A connection the client gave up on or reset ends without a request.
    if (silent_refusals > counts.connect_retries)
        context.check_errors.add("journal: " + std::to_string(silent_refusals) +
                                 " connections ended without a request, for " +
                                 std::to_string(counts.connect_retries.load()) + " retried");
}

bool workers_settle(pid_t master, std::chrono::seconds timeout) {
    return tvn_test::wait_until(
        [&] {
            return tvn_test::children_of(master).size() == 5 &&
                   tvn_test::zombie_children_of(master).empty();
        },
        timeout);
}

std::optional<memory_use> steady_memory_use(pid_t pid) {
    std::vector<long> pss, anonymous;
    for (int i = 0; i < 5; ++i) {
        if (i != 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
        for (std::string line; std::getline(rollup, line);) {
            if (line.rfind("Pss:", 0) == 0) pss.push_back(std::atol(line.c_str() + 4));
            if (line.rfind("Anonymous:", 0) == 0) anonymous.push_back(std::atol(line.c_str() + 10));
        }
    }
    if (pss.empty() || pss.size() != anonymous.size()) return std::nullopt;
    std::sort(pss.begin(), pss.end());
    std::sort(anonymous.begin(), anonymous.end());
    return memory_use{pss[pss.size() / 2], anonymous[anonymous.size() / 2]};
}

} // namespace tvnsoak
