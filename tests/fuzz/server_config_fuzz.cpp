// Fuzz target: the reader of the Server section. The input is the whole of conf/tolvane.conf
// under a scratch root, read by init_server_config into a fresh start-up pool. LoadModule
// lines are safe to keep: the reader only records them, load_modules is what loads.
//
// Input: the configuration file.
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>

#include "config.h"
#include "fuzz_support.h"
#include "pool.h"

namespace {

using tvn_fuzz::require;

// What a configuration that was accepted must hold, whatever the file said.
void require_sound(const tvn_server_conf &conf, const std::string &root) {
    require(conf.server_root != nullptr && root == conf.server_root, "server root");
    require(conf.listen_addrs != nullptr, "no listening address");
    int addresses = 0;
    for (const tvn_listen_addr *entry = conf.listen_addrs; entry != nullptr; entry = entry->next)
        require(++addresses <= INIT_POOL_SLOTS, "address list longer than the pool");
    int modules = 0;
    for (const tvn_module *module = conf.modules; module != nullptr; module = module->next) {
        require(++modules <= INIT_POOL_SLOTS, "module chain longer than the pool");
        require(module->module_filename != nullptr, "module without a file name");
        (void)std::strlen(module->module_filename);
        require(module->major_version == 1 && module->minor_version == 1, "module version");
        require(module->auth_check == nullptr && module->init_module_data == nullptr,
                "a module record filled before loading");
    }
    require(conf.cache_level <= 4, "cache level above 4");
    require(uint32_t(conf.idle_timeout) >= 300, "idle time-out below 300");
    require(conf.max_connections <= 3000, "connection limit above 3000");
    require(conf.balancer_count >= 0 && conf.balancer_count <= MAX_BALANCERS,
            "balancer list past its room");
    for (int i = 0; i < conf.balancer_count; ++i) {
        const tvn_balancer_net &net = conf.balancers[i];
        require((net.family == AF_INET && net.prefix_bits <= 32) ||
                    (net.family == AF_INET6 && net.prefix_bits <= 128),
                "a balancer entry of no family or too long a prefix");
    }
    if (conf.restricted)
        require(conf.run_uid >= 0 && conf.run_gid >= 0, "restricted without an identity");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tvn_fuzz::quiet_standard_output();
    const std::string conf_dir = tvn_fuzz::scratch_directory() + "conf";
    require(mkdir(conf_dir.c_str(), 0700) == 0, "cannot make conf/");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = tvn_fuzz::scratch_directory();
    tvn_fuzz::write_file(root + CONFIG_FILE, {reinterpret_cast<const char *>(data), size});
    tvn_init_mpool *mpool = create_init_pool();
    tvn_server_conf conf{};
    const int descriptors = tvn_fuzz::open_descriptor_count();
    const int result = init_server_config(&conf, mpool, root.c_str());
    require(result == 0 || result == -1, "result neither 0 nor -1");
    require(tvn_fuzz::open_descriptor_count() == descriptors, "a descriptor left open");
    if (result == 0) require_sound(conf, root);
    release_init_pool(mpool);
    return 0;
}
