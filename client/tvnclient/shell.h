// tvnclient shell: many commands over one session.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "problem.h"

namespace tvnclient {

// Reads and runs commands until exit, the end of input or a lost connection. Returns the
// exit status: 0 when every command succeeded, else that of the last one that failed.
int run_shell(command_context &context);

// Splits a line into words: blanks separate them, '...' and "..." quote, a backslash
// escapes the next character, and "#" at the start of a word begins a comment.
problem split_words(std::string_view line, std::vector<std::string> &words);

} // namespace tvnclient
