// A library that is no module: it has no init_module.
extern "C" int not_a_module_entry(void) { return 1; }
