// Fuzz target: the section readers of the three modules that take configuration (listacct,
// hostacct, journal), each through its init_module as the server calls it: from a fresh
// start-up pool, reading "conf/tolvane.conf" in a scratch directory that is the working
// directory meanwhile. A module that read its section is then let go (server_exit, or the log
// files closed), and the pool must be empty or released.
//
// Input: one byte that chooses the module (0 listacct, 1 hostacct, 2 journal, modulo 3), then
// the configuration file. For journal, every "/" is taken out of the lines that name
// "LoggingFile", so that every log file it opens lies in the scratch directory.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "hostacct.h"
#include "journal.h"
#include "listacct.h"
#include "pool.h"

namespace {

using tvn_fuzz::require;

enum class module_kind { listacct, hostacct, journal };

// Lines naming LoggingFile lose their "/": a bare name opens in the working directory.
std::string keep_log_files_here(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        if (line.find("LoggingFile") != std::string::npos)
            line.erase(std::remove(line.begin(), line.end(), '/'), line.end());
        kept += line;
        if (end == std::string_view::npos) break;
        kept += '\n';
        text.remove_prefix(end + 1);
    }
    return kept;
}

// An account module's reading: on success the record is filled and server_exit gives every
// block back; on failure nothing stays in the pool.
void read_by_account_module(int (*init)(tvn_module *), tvn_module *module, tvn_init_mpool *mpool) {
    if (init(module) != 1) {
        require(module->init_module_data == nullptr, "account module: data kept after a failure");
        require(mpool->init_pool->in_use == 0, "account module: memory kept after a failure");
        return;
    }
    require(module->init_module_data != nullptr && module->auth_check != nullptr &&
                module->server_exit != nullptr,
            "account module: record not filled");
    require(module->server_exit(module) == 1, "account module: server_exit");
    require(mpool->init_pool->in_use == 0, "account module: server_exit left memory in the pool");
}

// The methods a LogXxx key can switch on.
constexpr uint32_t loggable_methods = (1u << CONNECT) | (1u << DISCONNECT) | (1u << GETDIR) |
                                      (1u << OPEN) | (1u << READ) | (1u << WRITE) | (1u << CLOSE) |
                                      (1u << DELETE) | (1u << MKDIR) | (1u << RENAME) |
                                      (1u << COPYFILE) | (1u << CHANGEPWD) | (1u << SETTIME);

void read_by_journal(tvn_module *module, tvn_init_mpool *mpool, const std::string &scratch) {
    if (init_module(module, scratch.c_str()) != 1) {
        require(module->init_module_data == nullptr, "journal: data kept after a failure");
        require(mpool->init_pool->in_use == 0, "journal: memory kept after a failure");
        return;
    }
    auto *list = static_cast<virtual_domain *>(module->init_module_data);
    require(list != nullptr && module->logging != nullptr, "journal: record not filled");
    int sections = 0;
    for (virtual_domain *section = list; section != nullptr; section = section->next) {
        require(++sections <= INIT_POOL_SLOTS, "journal: more sections than the pool holds");
        require((section->method_mask & ~loggable_methods) == 0, "journal: a method no key names");
        if (section->log_fd < 0) continue;
        static const std::string here = std::filesystem::canonical(scratch).string() + "/";
        char target[4096] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(section->log_fd);
        require(readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                    std::string_view(target).starts_with(here),
                "journal: a log file outside the scratch directory");
        close(section->log_fd);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tvn_fuzz::quiet_standard_output();
    const std::string conf_dir = tvn_fuzz::scratch_directory() + "conf";
    require(mkdir(conf_dir.c_str(), 0700) == 0, "cannot make conf/");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tvn_fuzz::input_reader input(data, size);
    const auto kind = module_kind(input.byte() % 3);
    const std::string &scratch = tvn_fuzz::scratch_directory();
    tvn_fuzz::empty_directory(scratch, {"conf"});
    tvn_fuzz::write_file(scratch + "conf/tolvane.conf", kind == module_kind::journal
                                                            ? keep_log_files_here(input.rest())
                                                            : std::string(input.rest()));

    const int descriptors = tvn_fuzz::open_descriptor_count();
    tvn_init_mpool *mpool = create_init_pool();
    tvn_module module{};
    module.major_version = 1;
    module.minor_version = 1;
    module.mpool = mpool;
    {
        tvn_fuzz::working_in scratch_dir(scratch);
        switch (kind) {
        case module_kind::listacct: read_by_account_module(listacct::init, &module, mpool); break;
        case module_kind::hostacct: read_by_account_module(hostacct::init, &module, mpool); break;
        case module_kind::journal: read_by_journal(&module, mpool, scratch); break;
        }
    }
    release_init_pool(mpool);
    require(tvn_fuzz::open_descriptor_count() == descriptors, "a descriptor left open");
    return 0;
}
