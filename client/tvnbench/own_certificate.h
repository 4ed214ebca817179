// The certificate of an own server with TLS: self-signed, for localhost and 127.0.0.1, with a
// P-256 key, made with the TLS library when the root is laid out.
#pragma once

#include <string>

namespace tvnbench {

// Writes the certificate (PEM) and its key (PEM, mode 0600, created anew); throws bench_error
// when either cannot be made or written.
void make_own_certificate(const std::string &certificate_file, const std::string &key_file);

} // namespace tvnbench
