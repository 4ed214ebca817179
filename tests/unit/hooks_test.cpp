// The dispatchers' result table, with fake module records.
#include "hooks.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "connection.h"

namespace {

// Each fake hook answers the next value of its module's script and records the call.
struct fake_chain {
    static constexpr int SIZE = 3;
    std::array<tvn_module, SIZE> modules{};
    std::array<int, SIZE> answers{};
    std::vector<int> calls;
    tvn_request request{};
    tvn_connection connection{};

    fake_chain() {
        for (int i = 0; i < SIZE; ++i) {
            modules[i].init_module_data = &answers[i];
            if (i + 1 < SIZE) modules[i].next = &modules[i + 1];
        }
        connection.request = &request;
        connection.modules = &modules[0];
        current = this;
    }
    ~fake_chain() { current = nullptr; }

    // Gives the first n modules the hook, answering the given values.
    void set(tvn_hook tvn_module::*stage, std::vector<int> values) {
        for (size_t i = 0; i < values.size(); ++i) {
            answers[i] = values[i];
            modules[i].*stage = answer;
        }
    }

    static int answer(tvn_request *request) {
        const int *value = static_cast<int *>(request->init_module_data);
        current->calls.push_back(int(value - current->answers.data()));
        return *value;
    }
    static inline fake_chain *current = nullptr;
};

struct table_row {
    std::vector<int> answers;
    uint8_t result;
    std::vector<int> called;
    bool disconnect;
};

void check(tvn_hook tvn_module::*stage, uint8_t (*dispatch)(tvn_connection *),
           const std::vector<table_row> &rows) {
    for (const auto &row : rows) {
        fake_chain chain;
        chain.set(stage, row.answers);
        SCOPED_TRACE(::testing::PrintToString(row.answers));
        EXPECT_EQ(dispatch(&chain.connection), row.result);
        EXPECT_EQ(chain.calls, row.called);
        EXPECT_EQ(chain.request.disconnect != 0, row.disconnect);
    }
}

TEST(dispatchers, auth_check_first_answer_wins) {
    check(&tvn_module::auth_check, mod_auth_check,
          {{{}, WRONG_AUTH, {}, false},
           {{NOT_HANDLED, NOT_HANDLED}, WRONG_AUTH, {0, 1}, false},
           {{NOT_HANDLED, OK, WRONG_AUTH}, OK, {0, 1}, false},
           {{REDIRECT, OK}, REDIRECT, {0}, false},
           {{ACCESS_DENIED, OK}, WRONG_AUTH, {0}, false},
           {{INTERNAL_SERVER_ERR, OK}, 0, {0}, true}});
}

TEST(dispatchers, auth_check2_ends_in_not_handled) {
    check(&tvn_module::auth_check2, mod_auth_check2,
          {{{}, NOT_HANDLED, {}, false},
           {{NOT_HANDLED, OK}, OK, {0, 1}, false},
           {{REDIRECT}, WRONG_AUTH, {0}, false},
           {{INTERNAL_SERVER_ERR}, 0, {0}, true}});
}

TEST(dispatchers, message_lookup_returns_the_first_answer) {
    check(&tvn_module::message_lookup, mod_message_lookup,
          {{{}, NOT_HANDLED, {}, false},
           {{NOT_HANDLED, 7}, 7, {0, 1}, false},
           {{INTERNAL_SERVER_ERR, OK}, 0, {0}, true}});
}

TEST(dispatchers, access_check_is_unanimous_with_one_yes) {
    check(&tvn_module::access_check, mod_access_check,
          {{{}, ACCESS_DENIED, {}, false},
           {{OK, NOT_HANDLED}, OK, {0, 1}, false},
           {{OK, ACCESS_DENIED, OK}, ACCESS_DENIED, {0, 1}, false},
           {{NOT_HANDLED, NOT_HANDLED}, ACCESS_DENIED, {0, 1}, false},
           {{OK, NOT_FOUND}, NOT_FOUND, {0, 1}, false},
           {{OK, INTERNAL_SERVER_ERR, OK}, 0, {0, 1}, true}});
}

TEST(dispatchers, path_translation_first_answer_wins_and_never_returns_not_handled) {
    check(&tvn_module::path_translation, mod_path_translation,
          {{{}, ACCESS_DENIED, {}, false},
           {{NOT_HANDLED, NOT_HANDLED}, ACCESS_DENIED, {0, 1}, false},
           {{NOT_HANDLED, OK, ACCESS_DENIED}, OK, {0, 1}, false},
           {{ACCESS_DENIED, OK}, ACCESS_DENIED, {0}, false},
           {{INTERNAL_SERVER_ERR}, 0, {0}, true}});
}

TEST(dispatchers, logging_reaches_every_hook_until_one_fails) {
    check(&tvn_module::logging, mod_logging,
          {{{}, OK, {}, false},
           {{OK, NOT_HANDLED}, NOT_HANDLED, {0, 1}, false},
           {{ACCESS_DENIED, OK}, OK, {0, 1}, false},
           {{INTERNAL_SERVER_ERR, OK}, 0, {0}, true}});
}

TEST(dispatchers, change_pwd_that_nobody_performs_ends_the_connection) {
    check(&tvn_module::change_pwd, mod_change_pwd,
          {{{}, WRONG_AUTH, {}, true},
           {{NOT_HANDLED, NOT_HANDLED}, WRONG_AUTH, {0, 1}, true},
           {{NOT_HANDLED, OK}, OK, {0, 1}, false},
           {{NOT_FOUND, OK}, NOT_FOUND, {0}, false},
           {{INTERNAL_SERVER_ERR, OK}, 0, {0}, true}});
}

TEST(dispatchers, connection_closing_calls_every_hook_once_whatever_they_answer) {
    fake_chain chain;
    chain.set(&tvn_module::connection_closing, {INTERNAL_SERVER_ERR, OK, NOT_HANDLED});
    mod_connection_closing(&chain.connection);
    EXPECT_EQ(chain.calls, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(chain.request.disconnect, 0);
}

TEST(dispatchers, null_hooks_are_skipped) {
    fake_chain chain;
    chain.set(&tvn_module::auth_check, {NOT_HANDLED, NOT_HANDLED, OK});
    chain.modules[1].auth_check = nullptr;
    EXPECT_EQ(mod_auth_check(&chain.connection), OK);
    EXPECT_EQ(chain.calls, (std::vector<int>{0, 2}));
}

// user_module_data travels with the module: stored during one hook, present in the next.
int remember_connection(tvn_request *request) {
    request->user_module_data = reinterpret_cast<void *>(0x5eed);
    return OK;
}
int see_connection(tvn_request *request) {
    return request->user_module_data == reinterpret_cast<void *>(0x5eed) ? OK : ACCESS_DENIED;
}
int forget_connection(tvn_request *request) {
    request->user_module_data = nullptr;
    return OK;
}

TEST(dispatchers, per_connection_data_survives_between_hooks) {
    fake_chain chain;
    chain.modules[1].auth_check = remember_connection;
    chain.modules[1].access_check = see_connection;
    EXPECT_EQ(mod_auth_check(&chain.connection), OK);
    EXPECT_EQ(chain.modules[1].user_module_data, reinterpret_cast<void *>(0x5eed));
    chain.request.user_module_data = nullptr; // another module's call in between
    EXPECT_EQ(mod_access_check(&chain.connection), OK);
}

TEST(dispatchers, change_pwd_and_connection_closing_do_not_copy_back) {
    fake_chain chain;
    chain.modules[0].user_module_data = reinterpret_cast<void *>(0x5eed);
    chain.modules[0].change_pwd = forget_connection;
    chain.modules[0].connection_closing = forget_connection;
    mod_change_pwd(&chain.connection);
    mod_connection_closing(&chain.connection);
    EXPECT_EQ(chain.modules[0].user_module_data, reinterpret_cast<void *>(0x5eed));
    chain.modules[0].logging = forget_connection;
    mod_logging(&chain.connection);
    EXPECT_EQ(chain.modules[0].user_module_data, nullptr);
}

} // namespace
