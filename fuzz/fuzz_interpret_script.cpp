// Fuzz target for interpreting a master script: the input is loaded as the
// script file and run through InterpretScript and CheckInterval, then the
// settings are checked. A line with too few values raises the fatal
// assertion, which the target's fatal handler turns into a FuzzAssertion; the
// settings made before it are checked all the same.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_input_file.h"
#include "log/log_service.h"
#include "rotate/commands.h"
#include "rotate/run_settings.h"
#include "script/string_list.h"

namespace {

// What the fatal handler throws instead of ending the process.
struct FuzzAssertion {};

[[noreturn]] void ThrowFuzzAssertion(const char*, const char*) { throw FuzzAssertion{}; }

// The interval in milliseconds is the thousandfold of the seconds the script
// gave, whatever they are; CheckInterval accepts exactly 1 to
// kMaxIntervalSeconds.
void CheckIntervalSettings(const RunSettings& settings, bool usable) {
  Check(settings.Interval % 1000 == 0);
  const int64_t seconds = settings.Interval / 1000;
  const bool inRange = seconds >= 0 && seconds <= kMaxIntervalSeconds;
  Check(usable == (inRange && seconds != 0));
}

// Every destination the table visits has sources, is found again under its
// own name, and the visits add up to the table's count.
void CheckTable(const ReplacementTable& table, unsigned lineCount) {
  uint32_t visited = 0;
  size_t sourceCount = 0;
  table.ForEach([&](const std::string& destination, const std::vector<std::string>& sources) {
    Check(!sources.empty());
    Check(table.Find(destination) == &sources);
    ++visited;
    sourceCount += sources.size();
  });
  Check(visited == table.GetCount());
  Check(sourceCount <= lineCount);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // " -> Done.\n" and the interval errors go nowhere: cheap and quiet.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  SetFatalHandler(ThrowFuzzAssertion);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = ScratchPath("kelvo_fuzz_interpret_script_");
  WriteScratchFile(path, data, size);
  StringList lines;
  lines.LoadFile(path.c_str(), true);

  RunSettings settings;
  try {
    InterpretScript(lines, settings);
  } catch (const FuzzAssertion&) {
    // The program would end here; what the earlier lines set must still hold.
  }
  CheckIntervalSettings(settings, CheckInterval(settings));
  CheckTable(settings.Table, lines.GetCount());
  return 0;
}
