// Interprets the master script's lines into the run settings.
#pragma once

#include "engine/run_settings.h"

class StringList;

// Runs every line's command; prints " -> Done.\n" after the last one. A line
// with too few values raises the fatal assertion.
void InterpretScript(const StringList& lines, RunSettings& settings);

// Prints why the interval cannot drive a run and returns false, or returns
// true for a usable interval.
bool CheckInterval(const RunSettings& settings);

// Longest interval in seconds whose thousandfold still fits the signed 32-bit
// number of milliseconds the cycle works with.
const int32_t kMaxIntervalSeconds = 2147483;
