#include "config/input_wait.h"

#include <poll.h>

#include <cerrno>

void wait_for_input(int fd, int (*idle)()) {
    if (!idle) return;
    for (;;) {
        const int timeout = idle();
        if (timeout < 0) return;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        // A descriptor poll refuses is for the read to report.
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    }
}
