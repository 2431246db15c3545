// Skips for a test tool that is missing (strace, chattr, faketime, unshare,
// the maps of a Shift_JIS locale...). Where the machine is meant to have
// every such tool, as tools/test-all.sh makes sure after installing them,
// KELVO_REQUIRE_TOOLS=1 turns the skip into a failure with the same message,
// so that a test that did not run cannot pass unseen.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

// True when KELVO_REQUIRE_TOOLS=1 asks for every tool.
inline bool ToolsRequired() {
  const char* required = std::getenv("KELVO_REQUIRE_TOOLS");
  return required != nullptr && std::strcmp(required, "1") == 0;
}

// True when the shell finds the command (POSIX only).
inline bool HaveCommand(const std::string& name) {
  return std::system(("command -v '" + name + "' >/dev/null 2>&1").c_str()) == 0;
}

// Ends the test for a missing tool: skipped, or failed where tools are
// required.
#define SKIP_FOR_MISSING_TOOL(message)                                                          \
  do {                                                                                          \
    if (ToolsRequired()) {                                                                      \
      GTEST_FAIL() << message << " (KELVO_REQUIRE_TOOLS=1: tools/install-deps.sh installs it)"; \
    } else {                                                                                    \
      GTEST_SKIP() << message;                                                                  \
    }                                                                                           \
  } while (0)
