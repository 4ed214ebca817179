// The pool of sessions: taking and giving back, logging in again, keeping handles alive.
#include "session_pool.h"

#include <algorithm>
#include <csignal>

#include "mount_log.h"
#include "tvnclient/keepalive.h"

namespace tvnmount {

namespace {

// A session silent for longer than this is checked for a close by the server before use: a
// request sent into a connection the server has already closed would be lost with it.
constexpr std::chrono::milliseconds idle_check(500);
// After a failed login, the time during which other logins fail at once.
constexpr std::chrono::seconds login_backoff(1);

int login_errno(const tvnclient::problem &failed) {
    switch (failed.status) {
    case tvnclient::exit_status::login_refused:
    case tvnclient::exit_status::server_changed:
    case tvnclient::exit_status::untrusted: return EACCES;
    default: return EIO;
    }
}

} // namespace

// ---- the lease ---------------------------------------------------------------------------

session_lease::session_lease(session_lease &&other) noexcept
        : pool_(other.pool_), index_(other.index_) {
    other.pool_ = nullptr;
}

session_lease::~session_lease() {
    if (pool_ != nullptr) pool_->give_back(index_);
}

int session_lease::ready() {
    if (pool_ == nullptr) return EIO;
    auto &slot = *pool_->slots_[index_];
    const auto now = session_pool::clock::now();
    if (slot.remote.is_open() && now - slot.last_used > idle_check) {
        if (slot.remote.closed_by_server())
            slot.remote.drop();
        else
            slot.last_used = now; // found open: a request right after need not look again
    }
    if (slot.remote.is_open()) return 0;
    return pool_->log_in(slot);
}

int session_lease::exchange(const tvn_client::packet_builder &request) {
    if (const int failed = ready()) return failed;
    auto &slot = *pool_->slots_[index_];
    const tvnclient::problem failed = slot.remote.exchange(request, "");
    slot.last_used = session_pool::clock::now();
    return failed ? connection_lost : 0;
}

namespace {

// A transfer's report as an exchange's result: connection_lost after a failure of the
// connection (which is then closed), else 0 with the report to judge.
int transfer_result(tvnclient::session &remote, const tvn_client::transfer_report &report) {
    using tvn_client::transfer_outcome;
    switch (report.outcome) {
    case transfer_outcome::closed:
    case transfer_outcome::timed_out:
    case transfer_outcome::broken:
        remote.lost_connection(report.outcome, "");
        return connection_lost;
    default: return 0;
    }
}

} // namespace

int session_lease::read_pipelined(std::uint32_t handle, const tvn_client::read_range &range,
                                  const tvn_client::data_sink &sink,
                                  tvn_client::transfer_report &report) {
    if (const int failed = ready()) return failed;
    auto &slot = *pool_->slots_[index_];
    report = slot.remote.read_file(handle, range, sink);
    slot.last_used = session_pool::clock::now();
    return transfer_result(slot.remote, report);
}

int session_lease::write_pipelined(std::uint32_t handle, std::uint64_t start,
                                   const tvn_client::data_source &source,
                                   tvn_client::transfer_report &report) {
    if (const int failed = ready()) return failed;
    auto &slot = *pool_->slots_[index_];
    report = slot.remote.write_file(handle, start, source);
    slot.last_used = session_pool::clock::now();
    return transfer_result(slot.remote, report);
}

const tvn_client::answer &session_lease::answer() const {
    return pool_->slots_[index_]->remote.answer();
}

bool session_lease::sets_times() const { return pool_->slots_[index_]->remote.sets_times(); }

std::uint64_t session_lease::generation() const { return pool_->slots_[index_]->generation; }

std::chrono::milliseconds session_lease::timeout() const { return pool_->login_.timeout; }

// ---- the pool ----------------------------------------------------------------------------

session_pool::session_pool(tvnclient::login_settings login, std::size_t size)
        : login_(std::move(login)) {
    size = std::clamp<std::size_t>(size, 1, most_sessions);
    for (std::size_t i = 0; i < size; ++i) slots_.push_back(std::make_unique<slot_state>());
}

session_pool::~session_pool() { stop(); }

tvnclient::problem session_pool::open_first() {
    slot_state &first = *slots_.front();
    if (tvnclient::problem failed = first.remote.open(login_)) return failed;
    first_flags_ = first.remote.answer().param_u32(0).value_or(0);
    keepalive_interval_ = first.remote.keepalive_interval();
    first.generation = ++generations_;
    first.open = true;
    first.last_used = clock::now();
    return {};
}

int session_pool::log_in(slot_state &slot) {
    {
        std::lock_guard held(mutex_);
        if (clock::now() < retry_after_) return EIO;
    }
    const tvnclient::problem failed = slot.remote.open(login_);
    std::lock_guard held(mutex_);
    if (failed) {
        retry_after_ = clock::now() + login_backoff;
        if (!outage_reported_)
            log_line("cannot log in again: " + tvnclient::describe(failed) +
                     "; operations fail until the server answers");
        outage_reported_ = true;
        return login_errno(failed);
    }
    if (outage_reported_) log_line("logged in again");
    outage_reported_ = false;
    slot.generation = ++generations_;
    slot.last_used = clock::now();
    return 0;
}

template <typename Choose>
session_lease session_pool::take(Choose choose) {
    std::unique_lock held(mutex_);
    const auto deadline = clock::now() + login_.timeout;
    for (;;) {
        const std::size_t chosen = choose();
        if (chosen < slots_.size()) {
            slots_[chosen]->busy = true;
            return session_lease(this, chosen);
        }
        if (freed_.wait_until(held, deadline) == std::cv_status::timeout) {
            const std::size_t last = choose();
            if (last >= slots_.size()) return {};
            slots_[last]->busy = true;
            return session_lease(this, last);
        }
    }
}

session_lease session_pool::any() {
    return take([this] {
        std::size_t found = slots_.size();
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i]->busy) continue;
            if (slots_[i]->open) return i;
            if (found == slots_.size()) found = i;
        }
        return found;
    });
}

session_lease session_pool::slot(std::size_t index) {
    return take([this, index] { return slots_[index]->busy ? slots_.size() : index; });
}

session_lease session_pool::home_or_other(std::size_t home) {
    return take([this, home] {
        if (!slots_[home]->busy) return home;
        std::size_t found = slots_.size();
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i]->busy) continue;
            if (slots_[i]->open) return i;
            if (found == slots_.size()) found = i;
        }
        return found;
    });
}

session_lease session_pool::new_home() {
    session_lease lease = take([this] {
        std::size_t found = slots_.size();
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const slot_state &candidate = *slots_[i];
            if (candidate.busy) continue;
            if (found == slots_.size() || candidate.files < slots_[found]->files ||
                (candidate.files == slots_[found]->files && candidate.open && !slots_[found]->open))
                found = i;
        }
        return found;
    });
    if (lease.held()) {
        std::lock_guard held(mutex_);
        ++slots_[lease.index()]->files;
    }
    return lease;
}

void session_pool::leave_home(std::size_t index) {
    std::lock_guard held(mutex_);
    if (slots_[index]->files > 0) --slots_[index]->files;
}

void session_pool::give_back(std::size_t index) {
    {
        std::lock_guard held(mutex_);
        slots_[index]->busy = false;
        slots_[index]->open = slots_[index]->remote.is_open();
    }
    freed_.notify_all();
}

void session_pool::start_keepalive() {
    if (keepalive_interval_.count() == 0 || keepalive_.joinable()) return;
    // Signals are for the threads that serve the kernel.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    keepalive_ = std::jthread([this](std::stop_token stop) { keep_alive(stop); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void session_pool::keep_alive(std::stop_token stop) {
    const auto period = tvnclient::keepalive_period(keepalive_interval_);
    const auto tick = std::min<std::chrono::milliseconds>(period / 4, std::chrono::seconds(1));
    std::mutex wait_mutex;
    std::condition_variable_any woken;
    while (!stop.stop_requested()) {
        {
            std::unique_lock wait_lock(wait_mutex);
            woken.wait_for(wait_lock, stop, tick, [] { return false; });
        }
        for (std::size_t i = 0; i < slots_.size() && !stop.stop_requested(); ++i) {
            slot_state &slot = *slots_[i];
            {
                std::lock_guard held(mutex_);
                if (slot.busy || !slot.open || slot.files == 0 ||
                    clock::now() - slot.last_used < period)
                    continue;
                slot.busy = true;
            }
            session_lease lease(this, i);
            if (slot.remote.send_keepalive()) slot.last_used = clock::now();
        }
    }
}

void session_pool::stop() {
    if (keepalive_.joinable()) {
        keepalive_.request_stop();
        keepalive_.join();
    }
    for (auto &slot : slots_) {
        session_lease lease = this->slot(std::size_t(&slot - slots_.data()));
        if (lease.held()) slot->remote.end();
    }
}

} // namespace tvnmount
