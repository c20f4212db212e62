#include "throttle/mapping_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

// The entries form a list that only grows: the handler walks it without a
// lock, so an entry is never freed, only emptied and taken again. An entry
// is taken by its size and guards once its start is set.
struct guarded_mapping {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> size{0};
    std::atomic<bool> lost{false};
    guarded_mapping* next = nullptr;
};

namespace {

std::atomic<guarded_mapping*> entries{nullptr};
struct sigaction earlier {};

void pass_on(int signal, siginfo_t* info, void* context) {
    if ((earlier.sa_flags & SA_SIGINFO) && earlier.sa_sigaction) {
        earlier.sa_sigaction(signal, info, context);
        return;
    }
    if (earlier.sa_handler != SIG_DFL && earlier.sa_handler != SIG_IGN) {
        earlier.sa_handler(signal);
        return;
    }
    // The default: a fault comes again when the handler returns and ends
    // the process as it would have; a signal sent by kill is sent again.
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    ::sigaction(SIGBUS, &plain, nullptr);
    if (!info || info->si_code <= 0) ::raise(signal);
}

// Only what a signal handler may do: atomic loads and stores, and mmap(2),
// which is one system call.
void on_sigbus(int signal, siginfo_t* info, void* context) {
    const int saved = errno;
    if (info && info->si_code > 0) {
        const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
        for (guarded_mapping* e = entries.load(std::memory_order_acquire); e; e = e->next) {
            const std::uintptr_t start = e->start.load(std::memory_order_acquire);
            const std::size_t size = e->size.load(std::memory_order_acquire);
            if (start == 0 || at < start || at - start >= size) continue;
            void* zeroed = ::mmap(reinterpret_cast<void*>(start), size, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (zeroed == MAP_FAILED) break;
            e->lost.store(true, std::memory_order_release);
            errno = saved;
            return;
        }
    }
    errno = saved;
    pass_on(signal, info, context);
}

void install_once() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = on_sigbus;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &earlier);
    });
}

}  // namespace

mapping_guard::mapping_guard(void* start, std::size_t size) {
    install_once();
    guarded_mapping* found = nullptr;
    for (guarded_mapping* e = entries.load(std::memory_order_acquire); e && !found; e = e->next) {
        std::size_t none = 0;
        if (e->size.compare_exchange_strong(none, size)) found = e;
    }
    if (!found) {
        found = new guarded_mapping;
        found->size.store(size);
        found->next = entries.load();
        while (!entries.compare_exchange_weak(found->next, found)) {
        }
    }
    found->lost.store(false);
    found->start.store(reinterpret_cast<std::uintptr_t>(start), std::memory_order_release);
    entry_ = found;
}

mapping_guard::~mapping_guard() {
    entry_->start.store(0, std::memory_order_release);
    entry_->size.store(0, std::memory_order_release);
}

bool mapping_guard::lost() const { return entry_->lost.load(std::memory_order_acquire); }
