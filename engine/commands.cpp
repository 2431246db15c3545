// Interprets the master script's lines into the run settings.
#include "engine/commands.h"

#include <cstring>
#include <string>
#include <string_view>

#include "engine/console.h"
#include "script/string_list.h"

namespace {

void SetInterval(const StringList& fields, RunSettings& settings) {
  // Out-of-range values are refused later, by CheckInterval.
  settings.Interval = static_cast<int64_t>(fields.GetValueInt(1)) * 1000;
  settings.IntervalText = std::string(fields.GetValue(1));
}

// line is a list entry, so a zero byte ends it and it can be split as it is.
void InterpretLine(std::string_view line, RunSettings& settings) {
  StringList fields;
  fields.Split(line.data(), ",", true, false, true);
  const std::string_view command = fields.GetValue(0);
  if (command == "AddFile") {
    const std::string destination(fields.GetValue(1));
    const std::string source(fields.GetValue(2));
    settings.Table.AddSource(destination, source);
  } else if (command == "SetInterval") {
    SetInterval(fields, settings);
  } else if (command == "SetDestinationPath") {
    settings.DestinationPath = std::string(fields.GetValue(1));
  } else if (command == "SetSourcePath") {
    settings.SourcePath = std::string(fields.GetValue(1));
  }
}

}  // namespace

void InterpretScript(const StringList& lines, RunSettings& settings) {
  for (unsigned i = 0; i < lines.GetCount(); ++i) InterpretLine(lines.GetValue(i), settings);
  Print(" -> Done.\n");
}

bool CheckInterval(const RunSettings& settings) {
  if (settings.Interval == 0) {
    Print("Error, Interval equal 0.\n");
    return false;
  }
  if (settings.Interval < 0 || settings.Interval > int64_t{kMaxIntervalSeconds} * 1000) {
    PrintFormatted("Error, Interval %ssec is out of range (1 to %dsec).\n",
                   settings.IntervalText.c_str(), kMaxIntervalSeconds);
    return false;
  }
  return true;
}
