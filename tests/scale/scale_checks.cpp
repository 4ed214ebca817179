// The checks at the end of a scale run.
#include "scale_checks.h"

#include <crypt.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "seeded_content.h"

namespace fs = std::filesystem;

namespace tvnscale {

namespace {

bool hash_matches(const std::string &password, const std::string &hash) {
    crypt_data data{};
    const char *made = crypt_r(password.c_str(), hash.c_str(), &data);
    return made != nullptr && hash == made;
}

std::vector<std::string> fields_of(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, separator);) fields.push_back(field);
    return fields;
}

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

} // namespace

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void check_database(scale_context &context, scale_bed &bed,
                    const std::vector<std::string> &added_names, int bench_records) {
    std::map<std::string, std::vector<std::vector<std::string>>> records;
    std::istringstream lines(read_text(bed.tree().database()));
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        auto fields = fields_of(line, '!');
        records[fields.empty() ? "" : fields[0]].push_back(std::move(fields));
    }
    const std::size_t wanted = context.users.size() + added_names.size() + std::size_t(bench_records);
    if (count != wanted)
        context.checks.add("database: " + std::to_string(count) + " lines, wanted " +
                           std::to_string(wanted));
    for (const auto &user : context.users) {
        const auto found = records.find(user->name);
        if (found == records.end() || found->second.size() != 1) {
            context.checks.add("database: " + user->name + " is there " +
                               std::to_string(found == records.end() ? 0 : found->second.size()) +
                               " times");
            continue;
        }
        const auto &fields = found->second.front();
        if (fields.size() < 4 || !hash_matches(user->owner_password, fields[1]) ||
            !hash_matches(user->guest_password, fields[2]) || fields[3] != user->home)
            context.checks.add("database: " + user->name +
                               " does not hold the passwords last changed");
    }
    for (const std::string &name : added_names) {
        const auto found = records.find(name);
        if (found == records.end() || found->second.size() != 1)
            context.checks.add("database: the added " + name + " is there " +
                               std::to_string(found == records.end() ? 0 : found->second.size()) +
                               " times");
    }
    for (const auto &entry : fs::directory_iterator(bed.tree().path() + "users"))
        if (entry.path().filename() != "accounts.passwd")
            context.checks.add("database: " + entry.path().string() + " was left beside it");
}

void check_files(scale_context &context) {
    for (const scale_client &client : context.clients) {
        const std::string who = "client " + std::to_string(client.index) + ": ";
        std::set<std::string> wanted, found;
        for (const stored_file &file : client.files) wanted.insert(file.name);
        std::error_code missing;
        for (const auto &entry : fs::directory_iterator(client.local_dir, missing))
            found.insert(entry.path().filename().string());
        if (found != wanted)
            context.checks.add(who + client.local_dir + " holds " + std::to_string(found.size()) +
                               " names, wanted " + std::to_string(wanted.size()));
        for (const stored_file &file : client.files) {
            std::size_t size = 0;
            const auto sum = checksum_on_disk(client.local_dir + "/" + file.name, &size);
            if (!sum || size != file.size || *sum != file.checksum)
                context.checks.add(who + file.name + " is not the file uploaded");
        }
    }
}

std::vector<journal_entry> journal_entries(const std::string &text) {
    std::vector<journal_entry> entries;
    static const std::string refused = "\t Invalid connection from ip  ";
    static const std::string from_ip = "  from ip ";
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        journal_entry entry;
        if (const auto at = line.find(refused); at != std::string::npos) {
            const std::string rest = line.substr(at + refused.size());
            const auto gap = rest.find("  ");
            entry.method = "refused";
            entry.address = rest.substr(0, gap);
            entry.message = gap == std::string::npos ? "" : rest.substr(gap + 2);
            entries.push_back(entry);
            continue;
        }
        const auto fields = fields_of(line, '\t');
        const auto at = line.find(from_ip);
        if (fields.size() < 3 || at == std::string::npos || fields[2].size() < 14) continue;
        const std::string method = fields[2].substr(4, 10);
        entry.method = method.substr(0, method.find(' '));
        entry.user = fields[1].substr(0, fields[1].find('@'));
        const std::string rest = line.substr(at + from_ip.size());
        const auto blank = rest.find(' ');
        entry.address = rest.substr(0, blank);
        entry.message = blank == std::string::npos ? "" : rest.substr(blank + 1);
        entries.push_back(entry);
    }
    return entries;
}

std::vector<std::size_t> check_journals(scale_context &context, scale_bed &bed,
                                        const std::string &forged_from) {
    // Which addresses may speak for which user.
    std::map<std::string, std::set<std::string>> addresses_of;
    for (const scale_client &client : context.clients)
        addresses_of[client.user->name].insert(client.source);
    std::vector<std::size_t> logins(server_count, 0);
    bool forged_seen = false;
    for (int s = 0; s < server_count; ++s) {
        const std::string who = "journal of server " + std::to_string(s) + ": ";
        for (const journal_entry &entry :
             journal_entries(read_text(bed.server(s).root().file("log/journal.log")))) {
            if (entry.method == "refused") {
                const bool health_check = entry.address == "127.0.0.1" && entry.message.empty();
                const bool forged =
                    entry.address == forged_from &&
                    entry.message == " Connection from an address not in ProxyProtocol";
                forged_seen = forged_seen || (forged && s == 0);
                const bool a_client = entry.address.rfind("127.0.0.", 0) == 0 &&
                                      entry.address != "127.0.0.1" &&
                                      entry.message.find("PROXY") == std::string::npos;
                if (!health_check && !forged && !a_client)
                    context.checks.add(who + "a refused connection from " + entry.address +
                                       " with \"" + entry.message + "\"");
                continue;
            }
            if (entry.method == "CONNECT") ++logins[std::size_t(s)];
            const bool bench = entry.user.rfind("bench", 0) == 0 &&
                               entry.address.rfind("127.0.1.", 0) == 0;
            const auto allowed = addresses_of.find(entry.user);
            const bool own_client =
                allowed != addresses_of.end() && allowed->second.count(entry.address) != 0;
            if (!bench && !own_client)
                context.checks.add(who + entry.method + " of " + entry.user + " names " +
                                   entry.address + ", none of its clients' addresses");
        }
    }
    if (!forged_seen)
        context.checks.add("journal of server 0: no refused line for the forged header from " +
                           forged_from);
    return logins;
}

} // namespace tvnscale
