// The running process: its arguments, its number and build, the run lock of
// its folder, its limit on open files, numbers nobody can guess, its clocks
// (the time of day as text, seconds since 1970, a monotonic clock), a sleep
// that a stop request cuts short, and the stop requests themselves (Ctrl+C,
// SIGTERM, SIGHUP, console close).
#pragma once

#include <cstdint>
#include <string>

// Argument `index` of the command line in UTF-8, with every character the
// user typed; `given` is the same argument as the C runtime passed it.
std::string ArgumentInUtf8(int index, const char* given);

// Third component of the executable's file version, or 0.
int GetBuildNumber();

// The process id. No other process this one can see has it, but a run in
// another PID namespace may: helper names are only ever made exclusively.
uint32_t ProcessNumber();

// Raises the number of files the process may hold open at once as far as
// the system allows, and returns it; 0 when the system sets no such limit.
uint32_t RaiseOpenFileLimit();

// Marks the program folder as having a run for as long as this process
// lives; the mark goes with the process, however it ends. False when another
// run holds it.
bool HoldRunLock(const std::string& programDirectory);

uint32_t UnpredictableNumber();

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
