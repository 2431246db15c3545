// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list.
#pragma once

#include <string>

#include "engine/run_settings.h"

// Runs passes until the first one is over with OneShot set, or a stop is
// requested. Returns the number of replacements that failed.
unsigned RunCycle(const RunSettings& settings);

// Puts a name under its base directory unless it is absolute: the base, or
// the program's directory when the base is empty, joined without separator.
std::string ResolvePath(const std::string& name, const std::string& base,
                        const std::string& programDirectory);
