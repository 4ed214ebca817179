// The hook dispatchers: the only place that knows how the modules' answers combine.
#include "hooks.h"

#include <optional>

#include "connection.h"

namespace {

using verdict = std::optional<uint8_t>; // a value ends the walk with it; nullopt: next module

// Calls the non-null hooks of one stage in chain order with the module's data loaded into the
// request. NOT_HANDLED always goes on; INTERNAL_SERVER_ERR marks the connection for closing and
// ends the walk with 0; every other result is judged by decide. Returns the verdict that ended
// the walk, or nullopt when the chain ran out.
template <typename Decide>
verdict walk_chain(tvn_connection *connection, tvn_hook tvn_module::*stage, bool copy_back,
                   Decide decide) {
    tvn_request *request = connection->request;
    for (tvn_module *module = connection->modules; module != nullptr; module = module->next) {
        tvn_hook hook = module->*stage;
        if (hook == nullptr) continue;
        request->init_module_data = module->init_module_data;
        request->user_module_data = module->user_module_data;
        auto result = uint8_t(hook(request));
        if (copy_back) module->user_module_data = request->user_module_data;
        if (result == INTERNAL_SERVER_ERR) {
            request->disconnect = 1;
            return uint8_t{0};
        }
        if (result == NOT_HANDLED) continue;
        if (verdict ended = decide(result)) return ended;
    }
    return std::nullopt;
}

// First answer wins: the first hook that does not pass the request on decides.
verdict first_answer(tvn_connection *connection, tvn_hook tvn_module::*stage, bool copy_back) {
    return walk_chain(connection, stage, copy_back, [](uint8_t r) -> verdict { return r; });
}

} // namespace

extern "C" uint8_t mod_auth_check(tvn_connection *connection) {
    verdict v = walk_chain(connection, &tvn_module::auth_check, true, [](uint8_t r) -> verdict {
        if (r == OK || r == REDIRECT) return r;
        return uint8_t{WRONG_AUTH};
    });
    return v.value_or(WRONG_AUTH);
}

extern "C" uint8_t mod_auth_check2(tvn_connection *connection) {
    verdict v = walk_chain(connection, &tvn_module::auth_check2, true,
                           [](uint8_t r) -> verdict { return r == OK ? OK : WRONG_AUTH; });
    return v.value_or(NOT_HANDLED);
}

extern "C" uint8_t mod_message_lookup(tvn_connection *connection) {
    return first_answer(connection, &tvn_module::message_lookup, true).value_or(NOT_HANDLED);
}

extern "C" uint8_t mod_access_check(tvn_connection *connection) {
    // Unanimous with at least one yes: any refusal ends the walk, OK only counts.
    bool allowed = false;
    verdict v = walk_chain(connection, &tvn_module::access_check, true, [&](uint8_t r) -> verdict {
        if (r == OK) {
            allowed = true;
            return std::nullopt;
        }
        return r;
    });
    return v.value_or(allowed ? OK : ACCESS_DENIED);
}

extern "C" uint8_t mod_path_translation(tvn_connection *connection) {
    return first_answer(connection, &tvn_module::path_translation, true).value_or(ACCESS_DENIED);
}

extern "C" uint8_t mod_logging(tvn_connection *connection) {
    // Every logging hook is reached; only INTERNAL_SERVER_ERR stops the walk.
    uint8_t last = OK;
    tvn_request *request = connection->request;
    for (tvn_module *module = connection->modules; module != nullptr; module = module->next) {
        if (module->logging == nullptr) continue;
        request->init_module_data = module->init_module_data;
        request->user_module_data = module->user_module_data;
        last = uint8_t(module->logging(request));
        module->user_module_data = request->user_module_data;
        if (last == INTERNAL_SERVER_ERR) {
            request->disconnect = 1;
            return 0;
        }
    }
    return last;
}

extern "C" uint8_t mod_change_pwd(tvn_connection *connection) {
    if (verdict v = first_answer(connection, &tvn_module::change_pwd, false)) return *v;
    connection->request->disconnect = 1;
    return WRONG_AUTH;
}

extern "C" void mod_connection_closing(tvn_connection *connection) {
    tvn_request *request = connection->request;
    for (tvn_module *module = connection->modules; module != nullptr; module = module->next) {
        if (module->connection_closing == nullptr) continue;
        request->init_module_data = module->init_module_data;
        request->user_module_data = module->user_module_data;
        module->connection_closing(request);
    }
}
