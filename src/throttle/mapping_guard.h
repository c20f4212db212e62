// Keeps a process alive when a file it maps is cut short under it. The
// throttle's table is one file that every authenticator maps, and anyone
// who may write it (an administrator with `truncate -s 0`, a full tmpfs)
// can take pages from under the mapping; the next touch of such a page
// raises SIGBUS, which would kill every process that maps the table. A size
// looked at before each touch cannot close that race: the cut can come
// between the look and the touch.
//
// So a mapping registered here is guarded by a SIGBUS handler: a fault
// inside it puts private zeroed memory in the mapping's place, whole, and
// marks the guard lost; the faulting access is then done again on that
// memory and the process goes on. Its owner sees lost() at its next check
// and maps the table anew. A fault anywhere else goes to whatever handled
// SIGBUS before, as if no guard were there.
#pragma once

#include <cstddef>

struct guarded_mapping;  // mapping_guard.cpp

class mapping_guard {
public:
    mapping_guard(void* start, std::size_t size);
    ~mapping_guard();
    mapping_guard(const mapping_guard&) = delete;
    mapping_guard& operator=(const mapping_guard&) = delete;

    // Whether a page of the mapping was found gone: the memory is now the
    // process's own, no longer the file's.
    bool lost() const;

private:
    guarded_mapping* entry_;
};
