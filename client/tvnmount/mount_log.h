// What the mount has to tell while it runs (the server lost and found again, a write that
// could not be delivered): on standard error in the foreground, to the system log once it
// runs in the background, where standard error leads nowhere.
#pragma once

#include <string>

namespace tvnmount {

// Switches the messages to the system log (facility user, tagged "tvnmount").
void log_to_syslog();
// One line, "tvnmount: " + text; control characters from names are shown as '?'.
void log_line(const std::string &text);

} // namespace tvnmount
