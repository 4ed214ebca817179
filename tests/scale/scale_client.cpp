// A scale client's sessions and the check of every answer against the ledger.
#include "scale_client.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "account_wire.h"
#include "seeded_content.h"
#include "tolvane/listing.h"
#include "tolvane/packet.h"
#include "tolvane/protocol.h"

namespace tvnscale {

namespace {

using namespace std::chrono_literals;
using tvn_client::answer;
using tvn_client::bytes;
using tvn_client::connection;

// A loaded server may be slow; no answer in this time is a fault, not an interruption.
constexpr auto answer_timeout = std::chrono::milliseconds(60s);
constexpr std::size_t files_kept = 4;

class client_run {
public:
    client_run(scale_context &context, scale_client &me)
            : context_(context), me_(me),
              random_(0x5ca1e ^ (std::uint64_t(me.index) << 24) ^
                      std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())) {
    }

    std::uint64_t draw(std::uint64_t below) { return random_() % below; }

    void owner_session();
    void guest_session();
    void password_change();
    // After the run: remove what interruptions may have left, until nothing is uncertain.
    void settle(std::chrono::steady_clock::time_point give_up);

private:
    std::string prefix() const { return "client " + std::to_string(me_.index) + ": "; }
    step wrong(const std::string &what) {
        context_.wrong.add(prefix() + what);
        return step::wrong;
    }

    std::string login() const { return me_.user->name + "@" + context_.domain; }
    // A session with the ledger's password; an answer refusing it is wrong.
    step log_in(bool owner, std::optional<connection> *session);
    step ask(connection &link, const bytes &packet, const std::string &what);
    step expect(std::uint8_t method, std::uint8_t status, std::uint32_t header_length,
                const std::string &what);
    // Like expect, with a second acceptable status.
    step expect_either(std::uint8_t method, std::uint8_t first, std::uint8_t second,
                       const std::string &what);

    step clean_up(connection &link);
    step make_directory(connection &link);
    step upload(connection &link);
    step write_piece(connection &link, std::uint32_t handle, std::size_t position,
                     std::uint32_t length, std::uint64_t seed, const std::string &what);
    step download(connection &link, const stored_file &file);
    step list(connection &link);
    step remove_oldest(connection &link);

    scale_context &context_;
    scale_client &me_;
    std::mt19937_64 random_;
    answer answer_;
    bytes packet_;
    std::vector<std::uint8_t> expected_;
};

step client_run::log_in(bool owner, std::optional<connection> *session) {
    std::shared_lock<std::shared_mutex> hold(me_.user->passwords);
    const std::string password = owner ? me_.user->owner_password : me_.user->guest_password;
    const tvn_test::wire_outcome outcome =
        tvn_test::try_login(context_.port, me_.source, login(), password, session);
    if (outcome == tvn_test::wire_outcome::no_answer) {
        ++context_.counts.interruptions;
        return step::interrupted;
    }
    if (outcome == tvn_test::wire_outcome::refused)
        return wrong(std::string("CONNECT ") + login() + " as " + (owner ? "owner" : "guest") +
                     " with the password the database holds was refused");
    ++context_.counts.sessions;
    return step::done;
}

step client_run::ask(connection &link, const bytes &packet, const std::string &what) {
    const auto result = link.request(packet, answer_, answer_timeout);
    if (result == tvn_client::read_result::answer_read) return step::done;
    if (result == tvn_client::read_result::timed_out) return wrong(what + ": no answer in time");
    ++context_.counts.interruptions;
    return step::interrupted;
}

step client_run::expect(std::uint8_t method, std::uint8_t status, std::uint32_t header_length,
                        const std::string &what) {
    if (answer_.method() == method && answer_.status() == status &&
        answer_.header_length() == header_length)
        return step::done;
    return wrong(what + ": answered method " + std::to_string(answer_.method()) + " status " +
                 std::to_string(answer_.status()) + ", wanted status " + std::to_string(status));
}

step client_run::expect_either(std::uint8_t method, std::uint8_t first, std::uint8_t second,
                               const std::string &what) {
    if (answer_.method() == method && (answer_.status() == first || answer_.status() == second))
        return step::done;
    return wrong(what + ": answered method " + std::to_string(answer_.method()) + " status " +
                 std::to_string(answer_.status()));
}

// The names an interrupted upload may have left are gone once a DELETE found them or not.
step client_run::clean_up(connection &link) {
    while (!me_.uncertain.empty()) {
        const std::string path = me_.remote_dir + "/" + me_.uncertain.back();
        const std::string what = "DELETE " + path + " (left by an interruption)";
        if (step s = ask(link, tvn_client::delete_request(path).build(), what); s != step::done)
            return s;
        if (step s = expect_either(DELETE, OK, NOT_FOUND, what); s != step::done) return s;
        me_.uncertain.pop_back();
    }
    return step::done;
}

step client_run::make_directory(connection &link) {
    if (me_.directory_made) return step::done;
    const std::string what = "MKDIR " + me_.remote_dir;
    if (step s = ask(link, tvn_client::mkdir_request(me_.remote_dir).build(), what);
        s != step::done)
        return s;
    // An earlier MKDIR may have been made without its answer.
    if (step s = expect_either(MKDIR, OK, FILE_EXISTS, what); s != step::done) return s;
    me_.directory_made = true;
    return step::done;
}

step client_run::write_piece(connection &link, std::uint32_t handle, std::size_t position,
                             std::uint32_t length, std::uint64_t seed, const std::string &what) {
    tvn_client::packet_builder(WRITE)
        .put_u32(0)
        .put_u32(handle)
        .put_i32(std::int32_t(position))
        .put_u32(length)
        .body_length(length)
        .build_into(packet_);
    const std::size_t header = packet_.size();
    packet_.resize(header + length);
    tvn_test::fill_content(seed, position, {packet_.data() + header, length});
    if (step s = ask(link, packet_, what); s != step::done) return s;
    if (step s = expect(WRITE, OK, TVN_ANSWER_COUNT, what); s != step::done) return s;
    if (answer_.param_u32(4) != length) return wrong(what + ": not every byte was written");
    context_.counts.bytes_up += length;
    return step::done;
}

// Through a part file renamed when whole, as the command-line client uploads.
step client_run::upload(connection &link) {
    stored_file file;
    file.name = "f" + std::to_string(me_.next_name++);
    file.seed = random_();
    const auto kind = draw(100);
    file.size = kind < 5 ? 0 : kind < 80 ? std::size_t(draw(64 * 1024)) : std::size_t(draw(1 << 20));
    const std::string final_path = me_.remote_dir + "/" + file.name;
    const std::string part = final_path + ".tvnpart";
    me_.uncertain.push_back(file.name);
    me_.uncertain.push_back(file.name + ".tvnpart");
    const std::uint32_t mode = tvn_client::open_mode::write_only | tvn_client::open_mode::create |
                               tvn_client::open_mode::truncate_file;
    if (step s = ask(link, tvn_client::open_request(part, mode).build(), "OPEN " + part);
        s != step::done)
        return s;
    if (step s = expect(OPEN, OK, TVN_ANSWER_OPEN, "OPEN " + part); s != step::done) return s;
    const std::uint32_t handle = answer_.param_u32(4).value_or(0);
    for (std::size_t position = 0; position < file.size;) {
        const auto length =
            std::uint32_t(std::min<std::size_t>(TVN_MAX_TRANSFER, file.size - position));
        if (step s = write_piece(link, handle, position, length, file.seed, "WRITE " + part);
            s != step::done)
            return s;
        position += length;
    }
    if (step s = ask(link, tvn_client::close_request(handle).build(), "CLOSE " + part);
        s != step::done)
        return s;
    if (step s = expect(CLOSE, OK, TVN_ANSWER_PLAIN, "CLOSE " + part); s != step::done) return s;
    const std::string renaming = "RENAME " + part;
    if (step s = ask(link, tvn_client::rename_request(part, final_path).build(), renaming);
        s != step::done)
        return s;
    if (step s = expect(RENAME, OK, TVN_ANSWER_PLAIN, renaming); s != step::done) return s;
    me_.uncertain.resize(me_.uncertain.size() - 2);
    file.checksum = tvn_test::checksum_of_content(file.seed, file.size);
    me_.files.push_back(file);
    ++context_.counts.uploads;
    return step::done;
}

step client_run::download(connection &link, const stored_file &file) {
    const std::string path = me_.remote_dir + "/" + file.name;
    const std::string opening = "OPEN " + path;
    if (step s = ask(link, tvn_client::open_request(path, tvn_client::open_mode::read_only).build(),
                     opening);
        s != step::done)
        return s;
    if (step s = expect(OPEN, OK, TVN_ANSWER_OPEN, opening); s != step::done) return s;
    if (answer_.param_u32(8) != std::uint32_t(file.size))
        return wrong(opening + ": not the size uploaded");
    const std::uint32_t handle = answer_.param_u32(4).value_or(0);
    tvn_test::content_checksum sum;
    const std::string reading = "READ " + path;
    for (std::size_t position = 0; position < file.size;) {
        const std::size_t wanted = std::min<std::size_t>(TVN_MAX_TRANSFER, file.size - position);
        if (step s = ask(link,
                         tvn_client::read_request(handle, std::int32_t(position),
                                                  std::int32_t(wanted))
                             .build(),
                         reading);
            s != step::done)
            return s;
        if (step s = expect(READ, OK, TVN_ANSWER_PLAIN, reading); s != step::done) return s;
        const auto body = answer_.body();
        expected_.resize(wanted);
        tvn_test::fill_content(file.seed, position, expected_);
        if (body.size() != wanted || std::memcmp(body.data(), expected_.data(), wanted) != 0)
            return wrong(reading + ": not the bytes uploaded at " + std::to_string(position));
        sum.update(body);
        context_.counts.bytes_down += wanted;
        position += wanted;
    }
    if (sum.value() != file.checksum) return wrong(reading + ": not the upload's checksum");
    if (step s = ask(link, tvn_client::close_request(handle).build(), "CLOSE " + path);
        s != step::done)
        return s;
    if (step s = expect(CLOSE, OK, TVN_ANSWER_PLAIN, "CLOSE " + path); s != step::done) return s;
    ++context_.counts.downloads;
    return step::done;
}

// The listing holds every file the client has, with its size, and nothing else but what an
// interruption may have left.
step client_run::list(connection &link) {
    const std::string what = "GETDIR " + me_.remote_dir;
    if (step s = ask(link, tvn_client::getdir_request(me_.remote_dir).build(), what);
        s != step::done)
        return s;
    if (step s = expect(GETDIR, OK, TVN_ANSWER_PLAIN, what); s != step::done) return s;
    const auto entries = tvn_client::parse_listing(answer_.body(), true);
    if (!entries) return wrong(what + ": the listing does not parse");
    std::set<std::string> listed;
    for (const auto &entry : *entries) {
        listed.insert(entry.name);
        const auto known = std::find_if(me_.files.begin(), me_.files.end(),
                                        [&](const stored_file &f) { return f.name == entry.name; });
        const bool maybe = std::find(me_.uncertain.begin(), me_.uncertain.end(), entry.name) !=
                           me_.uncertain.end();
        if (known == me_.files.end() && !maybe) return wrong(what + ": lists " + entry.name);
        if (known != me_.files.end() && entry.size != known->size)
            return wrong(what + ": " + entry.name + " has another size");
    }
    for (const stored_file &file : me_.files)
        if (listed.count(file.name) == 0) return wrong(what + ": " + file.name + " is missing");
    ++context_.counts.listings;
    return step::done;
}

step client_run::remove_oldest(connection &link) {
    const std::string path = me_.remote_dir + "/" + me_.files.front().name;
    if (step s = ask(link, tvn_client::delete_request(path).build(), "DELETE " + path);
        s != step::done) {
        // Deleted or not, it is no longer a file the client can count on.
        if (s == step::interrupted) {
            me_.uncertain.push_back(me_.files.front().name);
            me_.files.erase(me_.files.begin());
        }
        return s;
    }
    if (step s = expect(DELETE, OK, TVN_ANSWER_PLAIN, "DELETE " + path); s != step::done) return s;
    me_.files.erase(me_.files.begin());
    ++context_.counts.deletes;
    return step::done;
}

void client_run::owner_session() {
    std::optional<connection> link;
    if (log_in(true, &link) != step::done) return;
    if (clean_up(*link) != step::done || make_directory(*link) != step::done) return;
    const auto operations = 1 + draw(4);
    for (std::uint64_t i = 0; i < operations; ++i) {
        const auto choice = draw(100);
        step s;
        if (me_.files.size() >= files_kept)
            s = remove_oldest(*link);
        else if (choice < 40 || me_.files.empty())
            s = upload(*link);
        else if (choice < 70)
            s = download(*link, me_.files[draw(me_.files.size())]);
        else
            s = list(*link);
        if (s != step::done) return;
    }
}

// A guest reads the user's public area: the areas stand as they were made.
void client_run::guest_session() {
    std::optional<connection> link;
    if (log_in(false, &link) != step::done) return;
    ++context_.counts.guest_sessions;
    const std::string what = "GETDIR /Public as a guest";
    if (ask(*link, tvn_client::getdir_request("/Public").build(), what) != step::done) return;
    if (expect(GETDIR, OK, TVN_ANSWER_PLAIN, what) != step::done) return;
    const std::string denied = "GETDIR " + me_.remote_dir + " as a guest";
    if (ask(*link, tvn_client::getdir_request(me_.remote_dir).build(), denied) != step::done)
        return;
    expect(GETDIR, ACCESS_DENIED, TVN_ANSWER_ERROR, denied);
}

// One change of the owner's or the guest's password. The user is the client's alone until the
// ledger holds what the database holds: an answer says it, and when none came, the password
// that opens a session does.
void client_run::password_change() {
    if (!context_.change_slots.try_acquire()) return;
    scale_user &user = *me_.user;
    std::unique_lock<std::shared_mutex> hold(user.passwords);
    const bool owner = draw(2) == 0;
    char fresh[32];
    std::snprintf(fresh, sizeof fresh, "%s%d-%u", owner ? "o" : "g", me_.index, user.changes++);
    std::string &kept = owner ? user.owner_password : user.guest_password;
    const std::string what = std::string("CHANGEPWD ") + (owner ? "owner " : "guest ") + login();
    const tvn_test::wire_outcome told = tvn_test::try_change(
        context_.port, me_.source, login(), user.owner_password, fresh, owner);
    const auto opens = [&](const std::string &password) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto outcome = tvn_test::try_login(context_.port, me_.source,
                                                     login(), password);
            if (outcome != tvn_test::wire_outcome::no_answer)
                return outcome == tvn_test::wire_outcome::accepted;
            ++context_.counts.interruptions;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    };
    // The connection a change ends is not its client's to keep open.
    if (told == tvn_test::wire_outcome::accepted) {
        kept = fresh;
        ++context_.counts.password_changes;
        if (!opens(kept)) wrong(what + ": made, but the new password opens no session");
    } else if (told == tvn_test::wire_outcome::refused) {
        ++context_.counts.refused_changes;
        if (!opens(kept)) wrong(what + ": refused, but the old password opens no session");
    } else {
        ++context_.counts.unanswered_changes;
        ++context_.counts.interruptions;
        if (opens(fresh))
            kept = fresh;
        else if (!opens(kept))
            wrong(what + ": unanswered, and neither password opens a session");
    }
    context_.change_slots.release();
}

void client_run::settle(std::chrono::steady_clock::time_point give_up) {
    while (!me_.uncertain.empty() && std::chrono::steady_clock::now() < give_up) {
        std::optional<connection> link;
        if (log_in(true, &link) != step::done || clean_up(*link) == step::wrong) {
            if (context_.wrong.count() > 0) return;
            std::this_thread::sleep_for(200ms);
        }
    }
    if (!me_.uncertain.empty()) wrong("what interruptions left could not be removed");
}

} // namespace

void run_client(scale_context &context, scale_client &client,
                std::chrono::steady_clock::time_point deadline) {
    client_run run(context, client);
    // The clients do not all knock at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(run.draw(1000)));
    while (std::chrono::steady_clock::now() < deadline) {
        const std::uint64_t interrupted = context.counts.interruptions;
        const auto choice = run.draw(100);
        if (choice < 10)
            run.guest_session();
        else if (choice < 22)
            run.password_change();
        else
            run.owner_session();
        // A client whose connection ended waits a moment before it tries again, as a person
        // or a program would; the balancer meanwhile learns which server is gone.
        if (context.counts.interruptions != interrupted)
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + run.draw(200)));
    }
    run.settle(deadline + 60s);
}

} // namespace tvnscale
