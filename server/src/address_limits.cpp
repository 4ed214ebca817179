// The per-address book of the master: in-service counts, connection rates and login penalties.
#include "address_limits.h"

#include <string_view>

size_t address_key_hash::operator()(const address_key &key) const {
    const std::string_view bytes(reinterpret_cast<const char *>(key.bytes.data()),
                                 key.bytes.size());
    return std::hash<std::string_view>{}(bytes) ^ key.family;
}

const char *admission_reason(admission verdict) {
    switch (verdict) {
    case admission::too_many_in_service: return " Too many connections from this address";
    case admission::too_many_per_minute: return " Too many new connections from this address";
    case admission::penalised: return " Too many refused logins from this address";
    default: return nullptr;
    }
}

bool address_limits::forget_old(record &entry, int64_t now) {
    while (!entry.admitted.empty() && now - entry.admitted.front() >= RATE_WINDOW_MS)
        entry.admitted.pop_front();
    while (!entry.failed_logins.empty() &&
           now - entry.failed_logins.front() >= FAILED_LOGIN_WINDOW_MS)
        entry.failed_logins.pop_front();
    if (entry.penalty_until != 0 && entry.penalty_until <= now) entry.penalty_until = 0;
    return entry.in_service == 0 && entry.admitted.empty() && entry.failed_logins.empty() &&
           entry.penalty_until == 0;
}

void address_limits::forget_idle(int64_t now) {
    for (auto it = book_.begin(); it != book_.end();) {
        if (forget_old(it->second, now))
            it = book_.erase(it);
        else
            ++it;
    }
}

address_limits::record *address_limits::find_or_add(const address_key &address, int64_t now) {
    auto found = book_.find(address);
    if (found != book_.end()) return &found->second;
    if (book_.size() >= MAX_ADDRESSES) {
        forget_idle(now);
        if (book_.size() >= MAX_ADDRESSES) return nullptr;
    }
    return &book_[address];
}

admission address_limits::admit(const address_key &address, int64_t now, bool *counted) {
    *counted = false;
    if (!settings_.any()) return admission::admitted;
    record *entry = find_or_add(address, now);
    // A book full of addresses still in service cannot grow: the connection goes uncounted
    // rather than refusing everybody new.
    if (entry == nullptr) return admission::admitted;
    forget_old(*entry, now);
    if (entry->penalty_until > now) return admission::penalised;
    if (settings_.max_in_service != 0 && entry->in_service >= settings_.max_in_service)
        return admission::too_many_in_service;
    if (settings_.max_per_minute != 0 && entry->admitted.size() >= settings_.max_per_minute)
        return admission::too_many_per_minute;
    ++entry->in_service;
    *counted = true;
    if (settings_.max_per_minute != 0) entry->admitted.push_back(now);
    return admission::admitted;
}

void address_limits::finished(const address_key &address, int64_t now) {
    auto found = book_.find(address);
    if (found == book_.end()) return;
    record &entry = found->second;
    if (entry.in_service > 0) --entry.in_service;
    if (forget_old(entry, now)) book_.erase(found);
}

void address_limits::login_failed(const address_key &address, int64_t now) {
    if (settings_.max_failed_logins == 0) return;
    record *entry = find_or_add(address, now);
    if (entry == nullptr) return;
    forget_old(*entry, now);
    entry->failed_logins.push_back(now);
    if (entry->failed_logins.size() > settings_.max_failed_logins) {
        entry->penalty_until = now + PENALTY_MS;
        entry->failed_logins.clear();
    }
}

uint32_t address_limits::in_service(const address_key &address) const {
    auto found = book_.find(address);
    return found != book_.end() ? found->second.in_service : 0;
}
