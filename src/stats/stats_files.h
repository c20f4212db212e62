// The counters on disk. Each process writes its own file in the stats
// folder (stats_path), named after its pid and its start time so that a
// pid taken again by another process is never mistaken for it: written
// whole and renamed into place, at start, between commands once the
// interval has passed, and at exit. At exit the process adds its counts to
// the folder's retired counts (retired.txt) and removes its file, so that
// the sum over the folder never falls when a process ends: Prometheus reads
// any fall of a counter as a restart from zero. The sum for quillmar -stats
// is the retired counts plus every process file; the file of a process that
// died without its exit is added to the retired counts by the next sum.
// Every file is made under a random name and renamed into place, and read
// only when it is a regular file of root, the process's user or the
// folder's owner, so that root's -stats neither follows nor writes through
// a link planted in a folder the mail server's user may write.
// Both take the folder's lock (flock on the folder itself), so that no file
// is counted twice. A file the retired counts hold already (a fold cut
// short between its two steps) is named in retired.txt and skipped.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

using stats_clock = std::chrono::steady_clock;

// Starts writing this process's counters into `folder`, the first time now.
void stats_start(const std::string& folder, std::chrono::seconds interval,
                 stats_clock::time_point now);

// When the next write is due; the end of time while none is.
extern stats_clock::time_point stats_next_write;
// Counts may have changed since the file was last written: a command ran
// since, or the last write failed.
extern bool stats_unwritten;
void stats_write_due(stats_clock::time_point now);
// Before a command: writes what earlier commands counted once the interval
// has passed, and costs a comparison otherwise. The command about to run
// counts after it, so its counts wait for the next tick or stats_idle.
inline void stats_tick(stats_clock::time_point now) {
    if (stats_unwritten && now >= stats_next_write) stats_write_due(now);
    stats_unwritten = true;
}
// While no command waits: writes the counts when they changed and the
// interval has passed, so that a burst followed by quiet is on disk within
// an interval. Returns when to call again: the end of time when nothing
// will be due before the next command.
stats_clock::time_point stats_idle(stats_clock::time_point now);

// At exit: the counts join the retired ones and the process's file goes;
// when the folder's lock cannot be had within a second, the file is written
// one last time instead (the next sum folds it).
void stats_finish();

// The sum over `folder` as one exposition, with a gauge of the processes
// alive. False, with the reason in `error`, when the folder cannot be read.
// A reader that may not write the folder sums without folding anything.
// Files that are not to be trusted (a link, another user's file: see
// shared_folder.h) are skipped, each named in `skipped`, or in the log
// without it.
bool stats_sum(const std::string& folder, std::string& text, std::string& error,
               std::vector<std::string>* skipped = nullptr);

// A process's counter file, and the start time in clock ticks since boot
// that names it (/proc/PID/stat); none when /proc does not tell.
std::string stats_file_name(long pid, unsigned long long start);
std::optional<unsigned long long> process_start_ticks(long pid);
