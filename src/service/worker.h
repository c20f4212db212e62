// A worker: one process running the back end, today's engine with its own
// connection and cache, single-threaded. It reads jobs from the supervisor
// one after the other, answers each in turn, rings for the supervisor to
// read them, and ends when the supervisor closes its end.
#pragma once

#include "module/auth_module.h"
#include "service/worker_frames.h"

// The answer to one job. The back end is started on the first call, and a
// start that failed (the database down) is tried again at most once a
// second meanwhile, the jobs answered as unavailable.
worker_answer serve_job(auth_module_table& table, const worker_job& job);

// Serves jobs from descriptor `fd`, answering on it, until it ends; then
// the back end's cleanup, and the process exits. A byte on `bell_fd` tells
// the supervisor that answers wait on `fd`.
[[noreturn]] void run_worker(auth_module_table& table, int fd, int bell_fd);
