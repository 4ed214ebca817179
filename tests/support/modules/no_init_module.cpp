// A library that is no module: it has no init_module. It uses the C library, which exports an
// init_module of its own (the kernel-module system call) that must not be taken for the module's.
#include <unistd.h>

extern "C" int not_a_module_entry(void) { return getpid() > 0; }
