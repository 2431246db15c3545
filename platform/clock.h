// Clocks and waiting: the time of day as text, seconds since 1970, a
// monotonic clock, a sleep that a stop request cuts short, and the stop
// requests themselves (Ctrl+C, SIGTERM, SIGHUP, console close).
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

// The stop handler, installed at start, for as long as the object lives; the
// handlers that were there before come back when it goes. On Linux it also
// keeps the file-size limit signal from ending the process in the middle of
// a copy, and a closed console (SIGPIPE) from ending it at all: writes to it
// then fail quietly.
class StopHandler {
 public:
  StopHandler();
  ~StopHandler();
  StopHandler(const StopHandler&) = delete;
  StopHandler& operator=(const StopHandler&) = delete;
  // False when the system refused a part of it.
  bool IsInstalled() const { return installed; }

 private:
  bool installed = false;
};

bool StopRequested();
// Lets tests and the program itself raise the same request a signal would.
void RequestStop();
