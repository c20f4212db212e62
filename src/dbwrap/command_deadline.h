// One deadline for each command's database work: 15 s, the query timeout.
// Every wait of a command (a locked SQLite file, a slow or silent server,
// the reconnection and its login) is counted against it, and a command
// whose deadline has passed is answered as a failure and never tried again.
#pragma once

#include <chrono>

// While one lives, the calling command's database work shares one deadline;
// the first of nested ones sets it. The directory opens one for each
// command, db_open one for the start-up, and db_query one of its own when
// its caller did not.
class db_command_deadline {
public:
    db_command_deadline();
    ~db_command_deadline();
    db_command_deadline(const db_command_deadline&) = delete;
    db_command_deadline& operator=(const db_command_deadline&) = delete;

private:
    bool owner_;
};

// The wrapper's view of the running deadline.
namespace command_deadline {

constexpr std::chrono::seconds length{15};

bool running();
bool passed();
// What is left, in milliseconds (0 once passed, the whole length when no
// deadline runs).
long left_ms();
// What is left, less `less_ms`, in whole seconds for the drivers' timeouts,
// which count in seconds. Rounded so that a driver's timeout ends at least a
// quarter of a second before the watchdog steps in (half a second after the
// deadline): a statement the server cancels keeps its connection. At least
// 1; when even that would end later, the watchdog waits for it.
unsigned left_seconds(long less_ms = 0);
// Whether a server that stayed silent past the deadline had the
// connection's sockets cut under its driver since this deadline began.
bool cut();

// A query whose caller opened no deadline gets one of its own, from here
// until end_query (or the next begin_query).
void begin_query();
void end_query();

}  // namespace command_deadline
