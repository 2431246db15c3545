// A file kelvo made and could not delete, with the answer of the delete: it
// holds nothing still wanted, and is named on standard error with why.
#pragma once

#include <string>

#include "platform/files.h"

struct Leftover {
  std::string path;
  StepResult result;
};
