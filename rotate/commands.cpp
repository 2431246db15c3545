// Interprets the master script's lines into the run settings.
#include "rotate/commands.h"

#include <cstring>
#include <string>
#include <string_view>

#include "log/log_service.h"
#include "platform/paths.h"
#include "script/string_list.h"

namespace {

struct CommandEntry {
  Command command;
  const char* name;
  unsigned fieldsNeeded;
};

// In the order of Command, from AddFile on.
const CommandEntry kCommands[] = {
    {Command::AddFile, "AddFile", 3},
    {Command::SetInterval, "SetInterval", 2},
    {Command::SetDestinationPath, "SetDestinationPath", 2},
    {Command::SetSourcePath, "SetSourcePath", 2},
};

}  // namespace

Command CommandNamed(std::string_view name) {
  for (const CommandEntry& entry : kCommands) {
    if (name == entry.name) return entry.command;
  }
  return Command::None;
}

const char* CommandName(Command command) {
  return command == Command::None ? "" : kCommands[static_cast<int>(command) - 1].name;
}

unsigned FieldsNeeded(Command command) {
  return command == Command::None ? 1 : kCommands[static_cast<int>(command) - 1].fieldsNeeded;
}

// line is a list entry, so a zero byte ends it and it can be split as it is.
void SplitScriptLine(std::string_view line, StringList& fields, LeadByteTest isLeadByte) {
  fields.Split(line.data(), ",", true, false, true, isLeadByte);
}

void ApplyScriptLine(const StringList& fields, RunSettings& settings) {
  switch (CommandNamed(fields.GetValue(0))) {
    case Command::AddFile:
      settings.Table.AddSource(std::string(fields.GetValue(1)), std::string(fields.GetValue(2)));
      break;
    case Command::SetInterval:
      // Out-of-range values are refused later, by CheckInterval.
      settings.Interval = static_cast<int64_t>(fields.GetValueInt(1)) * 1000;
      settings.IntervalText = std::string(fields.GetValue(1));
      break;
    case Command::SetDestinationPath:
      settings.DestinationPath = std::string(fields.GetValue(1));
      break;
    case Command::SetSourcePath:
      settings.SourcePath = std::string(fields.GetValue(1));
      break;
    case Command::None:
      break;
  }
}

// What a line of the given fields lacks, in English ("AddFile needs 2
// values, found 1"); empty when it has what its command needs.
static std::string MissingValues(const StringList& fields) {
  if (fields.GetCount() == 0) return std::string();
  const Command command = CommandNamed(fields.GetValue(0));
  const unsigned needed = FieldsNeeded(command) - 1;
  const unsigned found = fields.GetCount() - 1;
  if (found >= needed) return std::string();
  return std::string(CommandName(command)) + " needs " + std::to_string(needed) +
         (needed == 1 ? " value" : " values") + ", found " + std::to_string(found);
}

void InterpretScript(const StringList& lines, RunSettings& settings,
                     const std::vector<unsigned>* lineNumbers) {
  StringList fields;
  size_t index = 0;
  lines.ForEachValue([&](std::string_view line) {
    SplitScriptLine(line, fields, lines.LeadBytes());
    const std::string missing = MissingValues(fields);
    if (!missing.empty()) {
      std::string where = kMasterScriptName;
      if (lineNumbers != nullptr && index < lineNumbers->size())
        where += ":" + std::to_string((*lineNumbers)[index]);
      SetFatalReason(where + ": " + missing);
    }
    ApplyScriptLine(fields, settings);
    ++index;
  });
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

bool TakeNamesFromScript(const std::string& scriptInUtf8) {
  SetUtf8Names(true);
  const bool unicode = ReadingOfFile(scriptInUtf8.c_str()) != ScriptReading::Ansi;
  SetUtf8Names(unicode);
  return unicode;
}

std::string ProgramDirectoryForScript() {
  std::string directory;
  SetUtf8Names(true);
  GetProgramDirectory(directory);
  if (TakeNamesFromScript(directory + kMasterScriptName)) return directory;
  GetProgramDirectory(directory);
  return directory;
}
