// What the script sets and the cycle reads; owned by the entry point.
#pragma once

#include <cstdint>
#include <string>

#include "rotate/replacement_table.h"

// Name of the master script in the program's directory.
inline constexpr char kMasterScriptName[] = "kelvo.txt";

struct RunSettings {
  ReplacementTable Table;
  // Milliseconds: the script's seconds times 1000, wide enough for any
  // value the script can give, so that a bad range shows as it is.
  int64_t Interval = 0;
  std::string IntervalText;  // the value as written, for the range message
  std::string SourcePath;
  std::string DestinationPath;
  bool OneShot = false;
  // The program's own folder, ending in its separator: where relative names
  // without a base folder lie.
  std::string ProgramDirectory;
};
