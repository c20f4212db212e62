// The tools for running the authenticator in production, beside the
// configuration check: "-stats [folder]", the counters of every process
// summed, and "-flush [user]", a user's entry (or every entry) dropped from
// the answer cache of every running process. Neither writes to the log:
// run as root, neither may make a log file the mail server cannot append to.
#include <cstdio>
#include <thread>

#include "config/globals.h"
#include "config/ini.h"
#include "config/log.h"
#include "flush/cache_flush.h"
#include "frontend/front_end.h"
#include "shared_state/shared_settings.h"
#include "shared_state/shared_state.h"
#include "stats/stats_files.h"

namespace {

// Of the back end's keys only the shared state's matter here (-flush).
int shared_keys_only(const char* key, const char* value) {
    shared_settings_load(shared_state_settings(), key, value);
    return 1;
}

// The ini file as a start reads it (the one -config names, if any), for the
// process-wide keys and the default domain; what it would log (a value a
// key refuses, a named file missing) goes to stderr.
void read_settings(const char* program_path, const command_options& options) {
    std::vector<std::string> lines;
    divert_log(&lines);
    load_ini(program_path, shared_keys_only,
             options.config_file ? options.config_file->c_str() : nullptr);
    divert_log(nullptr);
    for (const std::string& line : lines) std::fprintf(stderr, "quillmar: %s\n", line.c_str());
}

}  // namespace

int run_stats_summary(const char* program_path, const command_options& options) {
    read_settings(program_path, options);
    std::string where = options.stats_folder.value_or(stats_path.value_or(""));
    if (where.empty()) {
        std::fprintf(stderr, "quillmar: no folder given, and no stats_path in the ini file\n");
        return 1;
    }
    std::string text, error;
    std::vector<std::string> skipped;
    const bool summed = stats_sum(where, text, error, &skipped);
    for (const std::string& problem : skipped)
        std::fprintf(stderr, "quillmar: counters skipped: %s\n", problem.c_str());
    if (!summed) {
        std::fprintf(stderr, "quillmar: counters not read: %s\n", error.c_str());
        return 1;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int run_cache_flush(const char* program_path, const command_options& options) {
    read_settings(program_path, options);
    // Named as the cache names it: with the default domain, as a check attaches it.
    std::optional<std::string> key;
    if (options.flush_user) key = with_default_domain(*options.flush_user);
    std::string error;
    if (!write_cache_flush(cache_flush_path, key, error)) {
        std::fprintf(stderr, "quillmar: cache not flushed: %s\n", error.c_str());
        return 1;
    }
    // The local part is done whatever Redis says; the other hosts' part is
    // reported apart, with an exit status of its own (2).
    std::vector<std::string> lines;
    divert_log(&lines);
    std::string shared_error;
    const shared_flush shared = write_shared_flush(key, shared_error);
    divert_log(nullptr);
    for (const std::string& line : lines) std::fprintf(stderr, "quillmar: %s\n", line.c_str());
    if (shared == shared_flush::failed)
        std::fprintf(stderr,
                     "quillmar: shared flush failed (shared_redis): %s: the other hosts still "
                     "answer from their caches\n",
                     shared_error.c_str());
    // Each process looks at the file (and Redis) before a command, at most
    // every look interval: once that has passed, none answers from what was
    // flushed.
    std::this_thread::sleep_for(flush_settle_time());
    if (key)
        std::printf("flushed %s from the answer cache of every process (%s)\n", key->c_str(),
                    cache_flush_path.c_str());
    else
        std::printf("flushed every entry from the answer cache of every process (%s)\n",
                    cache_flush_path.c_str());
    if (shared == shared_flush::written) std::printf("and of every host (shared_redis)\n");
    if (std::fflush(stdout) != 0) return 1;
    return shared == shared_flush::failed ? 2 : 0;
}
