// What a handler did with its request. The connection loop turns it into what goes on the wire
// and into the journal: it is the one place that sends answers and calls the logging chain.
#pragma once

#include <cstdint>

#include "tolvane/protocol.h"

class outcome {
public:
    enum class kind : uint8_t {
        answer,       // send these bytes, log the request with status
        refusal,      // send the 16-byte error answer with status, log it
        silent,       // nothing is sent or logged (KEEPALIVE)
        closing,      // a module asked to close: nothing is sent or logged
        unanswerable, // the answer could not be built: close, log as INTERNAL_SERVER_ERR
    };

    // A built answer of length bytes (from prepare_answer) whose header carries status.
    static outcome answer(const uint8_t *bytes, uint32_t length, uint8_t status) {
        return outcome(kind::answer, status, bytes, length);
    }
    static outcome refusal(uint8_t status) { return outcome(kind::refusal, status, nullptr, 0); }
    static outcome silent() { return outcome(kind::silent, 0, nullptr, 0); }
    static outcome closing() { return outcome(kind::closing, 0, nullptr, 0); }
    static outcome unanswerable() {
        return outcome(kind::unanswerable, INTERNAL_SERVER_ERR, nullptr, 0);
    }

    kind what() const { return what_; }
    uint8_t status() const { return status_; }
    const uint8_t *bytes() const { return bytes_; }
    uint32_t length() const { return length_; }

private:
    outcome(kind what, uint8_t status, const uint8_t *bytes, uint32_t length)
            : what_(what), status_(status), bytes_(bytes), length_(length) {}

    kind what_;
    uint8_t status_;
    const uint8_t *bytes_;
    uint32_t length_;
};
