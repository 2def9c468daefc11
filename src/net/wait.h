// The bounded wait on a socket that every step of a connection shares.
#pragma once

#include <chrono>

// Every wait for the server (connect, writable, reply) is bounded by this.
inline constexpr int SERVER_WAIT_SECONDS = 5;

using wait_clock = std::chrono::steady_clock;

// Wait with poll until `fd` shows one of `events` (or an error or hang-up)
// or `deadline` passes; an interrupted wait goes on with the time left.
// 1 ready, 0 ran out, -1 failed with errno set.
int wait_until(int fd, short events, wait_clock::time_point deadline);
