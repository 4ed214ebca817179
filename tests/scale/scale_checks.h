// The checks after a scale run, against the ledger: the shared database, the uploaded files
// and the servers' journals. Each failure goes to context.checks.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scale_bed.h"
#include "scale_ledger.h"

namespace tvnscale {

std::string read_text(const std::string &path);

// Every user once with the passwords last changed, every record the tool added once, and
// nothing else; no new file of a rewrite left beside the database.
void check_database(scale_context &context, scale_bed &bed,
                    const std::vector<std::string> &added_names, int bench_records);

// Each client's directory holds exactly its files, each with the uploaded checksum.
void check_files(scale_context &context);

// One journal line that names a client's address: a CONNECT or DISCONNECT of a login, or a
// connection refused before one.
struct journal_entry {
    std::string method; // "CONNECT", "DISCONNECT", or "refused"
    std::string user;   // empty for a refused line
    std::string address;
    std::string message;
};
std::vector<journal_entry> journal_entries(const std::string &text);

// Every line of every journal names the client's own address, never the balancer's: the
// user's lines come from its clients' addresses, the bench's from the bench addresses, and
// the balancer's address only stands on its health checks (refused lines without a message).
// forged_from is the address whose forged header must stand refused in server 0's journal.
// Returns the number of logins per server.
std::vector<std::size_t> check_journals(scale_context &context, scale_bed &bed,
                                        const std::string &forged_from);

} // namespace tvnscale
