// Whether tvnclient trusts the server at the end of a TLS handshake. With --ca the chain must
// verify against that CA and name the host. Otherwise a certificate the system's store
// verifies for the host is trusted; one it cannot verify (a self-signed server) is trusted on
// first use, as the server's fingerprint remembered in the known servers file: a first
// contact asks at the terminal (or takes --accept-new), a changed certificate is refused.
#pragma once

#include "problem.h"
#include "session.h"
#include "tolvane/tls.h"

namespace tvnclient {

// Empty when the session may go on; else the refusal (exit statuses 8 and 9), after any
// message the user needs.
problem judge_server(const login_settings &settings, const tvn_client::tls_result &handshake);

} // namespace tvnclient
