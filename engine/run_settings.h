// What the script sets and the cycle reads; owned by the entry point.
#pragma once

#include <cstdint>
#include <string>

#include "engine/replacement_table.h"

struct RunSettings {
  ReplacementTable Table;
  int32_t Interval = 0;         // milliseconds
  int32_t IntervalSeconds = 0;  // as the script gave it, to tell a bad range apart
  std::string IntervalText;     // the value as written, for the range message
  std::string SourcePath;
  std::string DestinationPath;
  bool OneShot = false;
  // The program's own folder, ending in its separator: where relative names
  // without a base folder lie.
  std::string ProgramDirectory;
};
