// Names of method and status codes for a journal line.
#pragma once

namespace journal {

// Room for a code the tables do not name, written as a decimal number.
struct code_name {
    char text[12];
};

// The table's name for the code, or the code in decimal (kept in spare) when the code lies
// beyond the table or the tables are not filled yet.
const char *method_name(unsigned method, code_name &spare);
const char *status_name(unsigned status, code_name &spare);

} // namespace journal
