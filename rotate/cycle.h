// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "rotate/run_settings.h"

// Runs passes until the first one is over with OneShot set, or a stop is
// requested. Returns the number of replacements that failed.
unsigned RunCycle(const RunSettings& settings);

// Puts a name under its base directory unless it is absolute: the base, or
// the program's directory when the base is empty, joined without separator.
std::string ResolvePath(const std::string& name, const std::string& base,
                        const std::string& programDirectory);

// Why a file step failed, as kelvo says it: its own words for a file of the
// wrong kind and a stop, the system's text otherwise.
std::string ReasonText(const StepResult& result);

// Draws one of a destination's candidates with the program's generator, as
// each replacement does; empty when there are none.
std::string DrawSourceName(const std::vector<std::string>& candidates);
// The index of a draw among count candidates (count at least 1).
size_t DrawIndex(size_t count);

// The companion that keeps a destination's previous content: its name with
// the extension ".tmp".
std::string CompanionPath(const std::string& destination);
