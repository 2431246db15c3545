// Start-up, run control and shutdown of kelvo.
#pragma once

enum ExitStatus {
  kDoneAsAsked = 0,    // a one-shot pass with every replacement done, or a stop on request
  kCouldNotStart = 1,  // no script, a bad interval, another run here, no memory
  // A one-shot pass in which a replacement failed, or memory ran out in a pass.
  kReplacementFailed = 2,
  kFatalAssertion = 3,  // the fatal box
};

// The whole run: returns the process's exit status.
int RunProgram(int argc, char** argv);
