// A soak client's sessions: an owner's work in its directories, a guest's reading, a round of
// password changes for one of the users kept for that, and bad packets, drawn at random until
// the time is up.
#include "soak_client.h"

#include <cstdio>
#include <thread>

#include "soak_session.h"
#include "tolvane/listing.h"

namespace tvnsoak {

namespace {

using tvn_client::bytes;
using tvn_client::packet_builder;

void owner_session(client_run &run) {
    client_state &state = run.state;
    auto link = run.log_in(state.user->name, state.user->owner_password);
    if (!link) return;
    if (!state.directories_made && !run.make_directories(*link)) return;
    const auto operations = 1 + run.draw(6);
    for (std::uint64_t i = 0; i < operations; ++i) {
        client_area &area = state.areas[run.draw(2)];
        const auto choice = run.draw(100);
        bool fine = true;
        if (choice < 35 || area.files.empty()) {
            fine = run.upload(*link, area);
        } else if (choice < 62) {
            fine = run.download(*link, area.files[run.draw(area.files.size())], area);
        } else if (choice < 80) {
            fine = run.list(*link, area);
        } else if (choice < 90) {
            fine = run.copy(*link, area);
        } else {
            fine = run.remove(*link, area, run.draw(area.files.size()));
        }
        if (!fine) return;
    }
}

void guest_session(client_run &run) {
    client_state &state = run.state;
    if (!state.directories_made) return;
    auto link = run.log_in(state.user->name, state.user->guest_password);
    if (!link) return;
    ++run.context.counts.guest_sessions;
    const client_area &shared = state.areas[1];
    if (!run.list(*link, shared)) return;
    if (!shared.files.empty() &&
        !run.download(*link, shared.files[run.draw(shared.files.size())], shared))
        return;
    run.guest_refusals(*link, shared);
}

// A password the user never had: the changes count only goes up, and the first passwords
// look different.
std::string fresh_password(const client_run &run, const changing_user &user) {
    char text[17];
    std::snprintf(text, sizeof text, "n%d-%u", run.state.index % 10000, user.changes);
    return text;
}

bool change_password(client_run &run, changing_user &user, bool owner) {
    const std::string login = user.name + "@" + run.context.domain;
    const std::string fresh = fresh_password(run, user);
    const std::string what = std::string("CHANGEPWD ") + (owner ? "owner" : "guest") + " " + login;
    tvn_client::answer answer;
    auto link = run.first_exchange(
        tvn_client::changepwd_request(login, user.owner_password, fresh, owner).build(), answer,
        what);
    if (!link) return false;
    if (answer.method() != CONNECT || answer.status() != OK ||
        answer.header_length() != TVN_ANSWER_SESSION) {
        run.error(what + ": answered method " + std::to_string(answer.method()) + " status " +
                  std::to_string(answer.status()) + ", wanted the changed-password answer");
        return false;
    }
    if (!link->wait_closed(answer_timeout)) run.error(what + ": the connection stayed open");
    std::string &changed = owner ? user.owner_password : user.guest_password;
    const std::string old = changed;
    changed = fresh;
    ++user.changes;
    ++run.context.counts.password_changes;
    if (!run.log_in(user.name, fresh)) return false;
    // Now and then the old password too, which must be refused (that costs the refusal's
    // delay).
    if (run.draw(4) == 0 && run.refused_login(user.name, old))
        ++run.context.counts.old_passwords_refused;
    return true;
}

void password_round(client_run &run) {
    auto &changing = run.context.changing;
    changing_user &user = *changing[run.draw(changing.size())];
    std::unique_lock<std::mutex> hold(user.busy, std::try_to_lock);
    if (!hold.owns_lock()) return;
    auto owner = run.log_in(user.name, user.owner_password);
    if (!owner) return;
    const std::string root = "GETDIR / of " + user.name;
    if (!run.ask(*owner, tvn_client::getdir_request("/").build(), GETDIR, root) ||
        !run.expect(GETDIR, OK, TVN_ANSWER_PLAIN, root))
        return;
    const auto body = run.answer().body();
    if (std::string_view(reinterpret_cast<const char *>(body.data()), body.size()) !=
        tvn_client::root_listing)
        run.error(root + ": not the fixed listing of the three areas");
    owner->close();
    if (!run.log_in(user.name, user.guest_password)) return;
    if (!run.context.change_slots.try_acquire()) return;
    change_password(run, user, run.draw(2) == 0);
    run.context.change_slots.release();
}

// A packet the server must close the connection on without a byte of answer.
struct bad_packet {
    const char *name;
    bool in_session;
    bytes (*make)(client_run &);
};

bytes garbage(client_run &run) {
    bytes noise(16 + run.draw(48));
    for (auto &byte : noise) byte = std::uint8_t(run.draw(256));
    noise[0] = 'X'; // never the magic
    return noise;
}

const bad_packet bad_packets[] = {
    {"a wrong magic", false,
     [](client_run &) { return tvn_client::getdir_request("/").magic("SISQ").build(); }},
    {"version 1.1", false,
     [](client_run &) { return tvn_client::getdir_request("/").minor_version(1).build(); }},
    {"a header of 20000 bytes announced", false,
     [](client_run &) { return tvn_client::getdir_request("/").header_length(20000).build(); }},
    {"garbage", false, garbage},
    {"a login beginning with @", false,
     [](client_run &) { return tvn_client::connect_request("@soak", "x").build(); }},
    {"a WRITE announcing 600000 bytes", true,
     [](client_run &) {
         return packet_builder(WRITE)
             .put_u32(0)
             .put_u32(1)
             .put_u32(0)
             .put_u32(600000)
             .body_length(600000)
             .build();
     }},
    {"a GETDIR with a 4-byte parameter block", true,
     [](client_run &) { return tvn_client::getdir_request("/").header_length(20).build(); }},
    {"garbage in a session", true, garbage},
};

void send_bad_packet(client_run &run) {
    const bad_packet &bad = bad_packets[run.draw(std::size(bad_packets))];
    const bytes packet = bad.make(run);
    std::optional<tvn_client::connection> link;
    if (bad.in_session) {
        link = run.log_in(run.state.user->name, run.state.user->owner_password);
        // A send may fail once the server has closed on the part it read.
        if (link) link->send_all(packet, answer_timeout);
    } else {
        for (int attempt = 1; !link; ++attempt) {
            link =
                tvn_client::connection::connect_to("127.0.0.1", run.context.port, connect_timeout);
            if (link && deliver(*link, packet, true) == delivery::abandoned) {
                ++run.context.counts.abandoned_bad_packets;
                link.reset();
            }
            if (link || attempt == connect_attempts) break;
            ++run.context.counts.connect_retries;
        }
        if (!link) run.error(std::string("cannot connect to send ") + bad.name);
    }
    if (!link) return;
    if (!link->wait_closed(answer_timeout)) {
        run.error(std::string(bad.name) +
                  ": the server did not close the connection without an answer");
        return;
    }
    ++run.context.counts.bad_packets;
    if (!bad.in_session) ++run.context.counts.bad_packets_before_login;
}

} // namespace

client_state plan_client(const soak_context &context, int index) {
    client_state state;
    state.index = index;
    state.user = &context.users[std::size_t(index) % context.users.size()];
    char dir[16];
    std::snprintf(dir, sizeof dir, "c%04d", index);
    const char *const areas[] = {"Private", "Public"};
    for (int i = 0; i < 2; ++i) {
        state.areas[i].remote_dir = std::string("/") + areas[i] + "/" + dir;
        state.areas[i].local_dir = state.user->home + "/" + areas[i] + "/" + dir;
    }
    state.sends_bad_packets = index % 25 == 7;
    return state;
}

void run_client(soak_context &context, client_state &state,
                std::chrono::steady_clock::time_point deadline) {
    client_run run(context, state);
    // The clients do not all knock at once: the first connections spread over a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(run.draw(1000)));
    while (std::chrono::steady_clock::now() < deadline) {
        const auto choice = run.draw(100);
        if (state.sends_bad_packets && choice < 15) {
            send_bad_packet(run);
        } else if (choice < 22 && state.directories_made) {
            guest_session(run);
        } else if (choice < 27 && state.index % 5 == 0) {
            password_round(run);
        } else {
            owner_session(run);
        }
    }
}

} // namespace tvnsoak
