// What the connection and the exchange share about their one socket.
#pragma once

#include <chrono>

#include "base/unique_fd.h"

using wait_clock = std::chrono::steady_clock;

// Wait with poll until `fd` shows one of `events` (or an error or hang-up)
// or `deadline` passes; an interrupted wait goes on with the time left.
// 1 ready, 0 ran out, -1 failed with errno set.
int wait_until(int fd, short events, wait_clock::time_point deadline);
