// The running process: its arguments, its number and build, the run lock of its folder, its
// limit on open files, and numbers nobody can guess.
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

// A number that nobody can guess in advance.
uint32_t UnpredictableNumber();
