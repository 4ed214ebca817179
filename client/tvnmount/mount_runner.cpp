// Logging in, mounting, serving.
#include "mount_runner.h"

#include <fuse.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "cache_policy.h"
#include "kernel_read_ahead.h"
#include "mount_context.h"
#include "mount_log.h"
#include "path_calls.h"
#include "session_pool.h"

namespace tvnmount {

namespace {

// libfuse's arguments: ours first, then the user's -o, which libfuse reads in order.
class fuse_arguments {
public:
    explicit fuse_arguments(const mount_options &options, bool read_only) {
        add("tvnmount");
        // The kernel checks the modes the mount shows: with allow_other, other users may
        // read and nothing more.
        std::string ours =
            "default_permissions,subtype=tolvane,fsname=tolvane:" + escaped(options.login.host) +
            ":" + std::to_string(options.login.port);
        if (read_only) ours += ",ro";
        add("-o");
        add(ours);
        for (const std::string &given : options.fuse_options) {
            add("-o");
            add(given);
        }
    }
    ~fuse_arguments() { fuse_opt_free_args(&args_); }
    fuse_args *get() { return &args_; }

private:
    void add(const std::string &word) { fuse_opt_add_arg(&args_, word.c_str()); }
    // Commas and backslashes separate and escape mount options.
    static std::string escaped(const std::string &text) {
        std::string out;
        for (char c : text) {
            if (c == ',' || c == '\\') out += '\\';
            out += c;
        }
        return out;
    }

    fuse_args args_ = FUSE_ARGS_INIT(0, nullptr);
};

// A wider kernel read-ahead window for the mount at `where` (its absolute path), where the
// user may set it: a user other than root keeps the kernel's quietly unless the option asked
// for another.
void widen_kernel_read_ahead(const std::string &where, const mount_options &options) {
    if (options.kernel_read_ahead_kib == 0) return;
    const int failed = set_kernel_read_ahead(where, options.kernel_read_ahead_kib);
    if (failed != 0 && options.kernel_read_ahead_given)
        log_line("--kernel-read-ahead: the kernel's window stays as it was: " +
                 std::string(std::strerror(failed)));
}

int fail(tvnclient::problem failed) {
    std::fprintf(stderr, "tvnmount: %s\n", tvnclient::describe(failed).c_str());
    return tvnclient::exit_code(failed);
}

// Serves the kernel until the mount point is unmounted (or a signal ends the loop).
int serve(fuse *mounted, session_pool &pool, bool foreground) {
    fuse_session *session = fuse_get_session(mounted);
    if (fuse_set_signal_handlers(session) != 0) return 1;
    int result = 1;
    if (fuse_daemonize(foreground ? 1 : 0) == 0) {
        if (!foreground) log_to_syslog();
        // Threads start only now: a fork keeps none.
        pool.start_keepalive();
        fuse_loop_config *config = fuse_loop_cfg_create();
        result = fuse_loop_mt(mounted, config) == 0 ? 0 : 1;
        fuse_loop_cfg_destroy(config);
    }
    fuse_remove_signal_handlers(session);
    return result;
}

} // namespace

int run_mount(const mount_options &options) {
    session_pool pool(options.login, options.sessions);
    if (tvnclient::problem failed = pool.open_first()) return fail(failed);
    area_rights writable{};
    if (probe_area_rights(pool, writable) != 0)
        return fail(tvnclient::make_problem(tvnclient::exit_status::connection, options.login.host,
                                            "the server stopped answering after the login"));
    const bool read_only = !writable[0] && !writable[1] && !writable[2];
    const cache_times times =
        choose_cache_times(suggested_cache_level(pool.first_flags()), options.cache);
    mount_context context(pool, times,
                          attribute_maker(getuid(), getgid(), writable, std::time(nullptr)),
                          options.write_back, options.read_ahead);

    fuse_arguments arguments(options, read_only);
    fuse *mounted =
        fuse_new(arguments.get(), &mount_operations(), sizeof(fuse_operations), &context);
    // libfuse has said why (an unknown -o option, for one).
    if (mounted == nullptr) return 1;
    if (fuse_mount(mounted, options.mount_point.c_str()) != 0) {
        fuse_destroy(mounted);
        return 1;
    }
    if (read_only) log_line("the login may change nothing (a guest's): mounted read-only");
    // The mount point is absolute and resolved already, as the mount table spells it.
    context.after_init = [&options] { widen_kernel_read_ahead(options.mount_point, options); };
    const int result = serve(mounted, pool, options.foreground);
    fuse_unmount(mounted);
    fuse_destroy(mounted);
    return result;
}

} // namespace tvnmount
