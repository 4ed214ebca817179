// How ls shows a directory: names only, or in the long form a line per entry with its kind,
// size, modification time and name.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tolvane/listing.h"

namespace tvnclient {

// One line of the long form, sizes right-aligned to `size_width`:
//   -      5  2024-05-01 12:00  a.txt
//   d      -  2024-05-01 12:00  docs/
// Times are local time; "-" stands for what the server did not send.
std::string long_listing_line(const tvn_client::listing_entry &entry, std::size_t size_width);
// Writes the entries, one a line; directories end in "/". On a terminal, control characters
// in names are shown as '?'.
void print_listing(const std::vector<tvn_client::listing_entry> &entries, bool long_form,
                   std::FILE *out);

} // namespace tvnclient
