// tvn_main: banner, start-up pool, configuration, modules, the process model, shutdown.
#include "startup.h"

#include <cstdio>
#include <cstdlib>

#include "os.h"
#include "pool.h"
#include "process.h"
#include "tls.h"

extern "C" void print_info(int message) {
    switch (message) {
    case 1:
        std::printf(
            "%s\n\n                   TOLVANE SERVER\n\n%s\n\nConfiguring TOLVANE SERVER...",
            "***********************************************************",
            "***********************************************************");
        return;
    case 2: std::printf("\nError configuring the server. I can't go on!\n\n"); return;
    case 3: std::printf("..OK\n"); break;
    case 4: std::printf("\nError loading modules. I can't go on!\n\n"); return;
    case 5: std::printf("\n\nShutting down 'tolvane server'...\n\n"); break;
    case 6: std::printf("... done\n\n"); break;
    default: break;
    }
    std::fflush(stdout);
}

void unload_modules(tvn_module *chain, void *handles[MAX_MODULES]) {
    for (tvn_module *module = chain; module != nullptr; module = module->next)
        if (module->server_exit != nullptr) module->server_exit(module);
    for (int i = 0; i < MAX_MODULES && handles[i] != nullptr; ++i) os_dll_close(handles[i]);
}

namespace {

// A configuration that starts but can serve nobody says so, one line each.
void warn_about_chain(const tvn_module *chain) {
    bool accounts = false, paths = false;
    for (const tvn_module *module = chain; module != nullptr; module = module->next) {
        accounts = accounts || module->auth_check != nullptr;
        paths = paths || module->path_translation != nullptr;
    }
    if (!accounts)
        std::printf("warning: no account module is loaded (LoadModule listacct.so or hostacct.so): "
                    "every login will be refused\n");
    if (!paths)
        std::printf("warning: no path-mapping module is loaded (LoadModule pathmap.so): "
                    "no file can be reached\n");
    std::fflush(stdout);
}

}  // namespace

extern "C" int tvn_check_config(char *server_root) {
    tvn_init_mpool *mpool = create_init_pool();
    tvn_server_conf conf{};
    void *handles[MAX_MODULES] = {};
    int status = 1;
    if (init_server_config(&conf, mpool, server_root) != 0) {
        print_info(2);
    } else if (load_modules(&conf, handles, conf.server_root, mpool) != module_load::loaded) {
        print_info(4);
    } else if (!open_tls_context(&conf)) {
        print_info(2);
    } else {
        warn_about_chain(conf.modules);
        status = 0;
    }
    close_tls_context();
    unload_modules(conf.modules, handles);
    release_init_pool(mpool);
    std::fflush(stdout);
    return status;
}

extern "C" int tvn_main(char *server_root) {
    print_info(1);
    tvn_init_mpool *mpool = create_init_pool();
    tvn_server_conf conf{};
    void *handles[MAX_MODULES] = {};

    if (init_server_config(&conf, mpool, server_root) != 0) {
        print_info(2);
        release_init_pool(mpool);
        std::exit(1);
    }
    print_info(3);
    if (load_modules(&conf, handles, conf.server_root, mpool) != module_load::loaded) {
        print_info(4);
        unload_modules(conf.modules, handles);
        release_init_pool(mpool);
        std::exit(1);
    }
    warn_about_chain(conf.modules);
    // The key is read now, by whoever started the server, before any worker exists.
    if (!open_tls_context(&conf)) {
        print_info(2);
        unload_modules(conf.modules, handles);
        release_init_pool(mpool);
        std::exit(1);
    }
    os_main(&conf, mpool);
    close_tls_context();

    print_info(5);
    unload_modules(conf.modules, handles);
    release_init_pool(mpool);
    print_info(6);
    return 0;
}

extern "C" int tvn_stop_main(void) {
    os_stop_main();
    return 1;
}
