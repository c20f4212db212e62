// Waiting for a peer's next request without letting time-bound work wait
// with it: a process that reads its requests from one descriptor hands the
// back end the quiet moments (the counters of a burst written once their
// interval has passed), and blocks for good only when nothing will fall due.
#pragma once

// Returns once `fd` has something to read (its end and its errors too),
// calling `idle` first and again each time the wait it asked for has passed.
// `idle` returns how many milliseconds the caller may wait, or a negative
// number when nothing will fall due before the next request. Without `idle`
// it returns at once, and the caller's read blocks as before.
void wait_for_input(int fd, int (*idle)());
