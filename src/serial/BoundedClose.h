#pragma once
// close() on a tty can block for as long as the driver waits to drain its output (30 s by
// default on a UART whose flow control is stuck). The channel must not hold the window that
// long, so the close runs on a helper thread and the caller waits only up to a bound.
#include <chrono>

// Closes fd. Returns 0 when it closed within `bound`, the errno when close failed, or -1
// when it is still closing in the background (the helper is joined later: at the next
// call or at exit).
int CloseWithin(int fd, std::chrono::milliseconds bound);
