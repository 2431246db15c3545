// Clocks and waiting: the time of day as text, seconds since 1970, a
// monotonic clock, and a sleep that a stop request cuts short.
#pragma once

#include <cstdint>

// Writes the local time of day as "HH:MM:SS" into buffer (9 bytes or more).
char* CurrentTimeText(char* buffer);

// Seconds since 1970 from a 64-bit clock, so it goes on after January 2038.
uint64_t SecondsSinceEpoch();

// Sleeps for the given time; returns early when a stop was requested.
void WaitMilliseconds(uint32_t milliseconds);

// Milliseconds from some fixed moment, on a clock that setting the time of
// day does not move.
uint64_t MonotonicMilliseconds();
