// kelvo-check: reads a master script exactly as kelvo does and reports how
// each line was read, what will go wrong and what a first pass would do,
// without changing a file.
#pragma once

#include <cstdint>
#include <string>

struct CheckOptions {
  std::string scriptPath;        // empty: kelvo.txt in the checker's own folder
  std::string scriptPathInUtf8;  // the same with every character typed
  bool dryRun = false;           // also show the first pass kelvo would make
  bool seedGiven = false;
  uint64_t seed = 0;  // seconds since 1970, as kelvo seeds from its clock
};

// Exit statuses of a check.
enum CheckStatus {
  kCheckClean = 0,     // nothing wrong
  kCheckWarnings = 1,  // kelvo runs, but likely not as meant
  kCheckErrors = 2,    // a replacement cannot work, or no destination
  kCheckNoStart = 3,   // kelvo would not start, or would end at start
};

// Checks the script: the reading and the summary go to standard output, the
// findings to standard error. Returns the check's exit status.
int RunScriptCheck(const CheckOptions& options);
