// The module library's one exported entry point; everything else stays inside the library.
#include "hostacct.h"

extern "C" __attribute__((visibility("default"))) int init_module(tvn_module *module,
                                                                  const char *server_root) {
    // The configuration is read relative to the working directory, which is the root.
    (void)server_root;
    const int status = hostacct::init(module);
    if (status == 1) hostacct::warn_about_domains(module);
    return status;
}
