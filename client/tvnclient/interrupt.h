// Ctrl-C. The first one asks the running command to stop at the next chunk boundary, which
// keeps the session usable; a second one shuts the connection down at once, for a server
// that has stopped answering.
#pragma once

namespace tvnclient {

// Installs the SIGINT handler. System calls it interrupts fail with EINTR rather than being
// restarted, so a prompt or a password entry returns at once.
void install_interrupt_handler();
bool interrupted();
void clear_interrupt();
// The socket a second Ctrl-C shuts down; -1 for none.
void set_interruptible_socket(int fd);

} // namespace tvnclient
