// Loading the module libraries named by LoadModule and calling their init_module.
#include <cstdio>
#include <cstring>

#include "config.h"
#include "os.h"

extern "C" char *os_get_module_libname(tvn_init_mpool *mpool, const char *server_root,
                                       const char *file) {
    const size_t root_length = std::strlen(server_root);
    const size_t file_length = std::strlen(file);
    auto *path = static_cast<char *>(
        mpool->tvn_malloc(mpool->init_pool, uint32_t(root_length + 4 + file_length + 1)));
    if (path == nullptr) return nullptr;
    std::memcpy(path, server_root, root_length);
    std::memcpy(path + root_length, "lib/", 4);
    std::memcpy(path + root_length + 4, file, file_length + 1);
    return path;
}

module_load load_modules(tvn_server_conf *conf, void *handles[MAX_MODULES], const char *server_root,
                         tvn_init_mpool *mpool) {
    for (int i = 0; i < MAX_MODULES; ++i) handles[i] = nullptr;
    int index = 0;
    for (tvn_module *module = conf->modules; module != nullptr; module = module->next, ++index) {
        if (index == MAX_MODULES) {
            std::printf("\nToo many modules: at most %d LoadModule lines are allowed\n\n",
                        MAX_MODULES);
            return module_load::cannot_load;
        }
        char *path = os_get_module_libname(mpool, server_root, module->module_filename);
        if (path == nullptr) return module_load::cannot_load;
        std::printf("Loading module library %s ...", path);
        std::fflush(stdout);
        void *library = os_dll_open(path);
        tvn_init_module_fn init = nullptr;
        if (library == nullptr) {
            std::printf("\nCan't load congiguration lib %s\n\n", path);
        } else {
            init =
                reinterpret_cast<tvn_init_module_fn>(os_dll_load_function(library, "init_module"));
            if (init == nullptr) {
                std::printf("\nCan't load congiguration function %s\n\n", "init_module");
                os_dll_close(library);
                library = nullptr;
            }
        }
        handles[index] = library;
        mpool->tvn_free(mpool->init_pool, path);
        if (library == nullptr) return module_load::cannot_load;
        conf->reopen_files[index] = reinterpret_cast<tvn_reopen_module_fn>(
            os_dll_load_function(library, "reopen_module_files"));
        if (init(module, server_root) != 1) return module_load::init_failed;
        std::printf("ok\n");
        std::fflush(stdout);
    }
    return module_load::loaded;
}
