// Loading the server library.
#include "server_library.h"

#include <dlfcn.h>

#include "root_layout.h"

namespace tvnctl {

void *server_entry_point(const std::string &root, const char *name, std::string *error) {
    const std::string path = server_library_of(root);
    void *library = dlopen(path.c_str(), RTLD_NOW);
    if (library == nullptr) {
        const char *why = dlerror();
        *error = "Can't load " + path + (why != nullptr ? std::string(": ") + why : "");
        return nullptr;
    }
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        *error = "Can't load " + path + ": it has no " + name;
        dlclose(library);
    }
    return symbol;
}

} // namespace tvnctl
