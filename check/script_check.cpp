// kelvo-check's report: the script is loaded, split and carried out by the
// same code kelvo runs, and the files it names are only looked at.
#include "check/script_check.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "random/mersenne_twister.h"
#include "rotate/commands.h"
#include "rotate/cycle.h"
#include "rotate/entry_set.h"
#include "rotate/plan.h"
#include "rotate/run_settings.h"
#include "script/string_list.h"

namespace {

// Prints report text. Names come from the script, so control bytes in
// them are shown as \xNN instead of reaching the terminal.
void Show(std::FILE* stream, const std::string& text) {
  std::string shown;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n') || byte == 0x7F) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(byte));
      shown += escape;
    } else {
      shown += c;
    }
  }
  WriteText(stream, shown.c_str());
}

void Out(const std::string& text) { Show(stdout, text); }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Number(uint64_t value) { return std::to_string(value); }

// "1 value", "2 values", "-1 second".
std::string Counted(int64_t count, const std::string& unit) {
  return std::to_string(count) + " " + unit + (count == 1 || count == -1 ? "" : "s");
}

// The fields from the first on, each quoted, separated by commas.
std::string QuotedFields(const std::vector<std::string>& fields, size_t first) {
  std::string text;
  for (size_t i = first; i < fields.size(); ++i)
    text += (i > first ? ", " : "") + Quoted(fields[i]);
  return text;
}

// Edit distance between two short texts, for suggesting a command.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The command a mistyped name most likely meant, or None.
Command NearestCommand(const std::string& name) {
  Command nearest = Command::None;
  size_t best = std::max<size_t>(3, name.size() / 3) + 1;
  for (Command command : {Command::AddFile, Command::SetInterval, Command::SetDestinationPath,
                          Command::SetSourcePath}) {
    size_t distance = Distance(Lowered(name), Lowered(CommandName(command)));
    if (distance < best) {
      best = distance;
      nearest = command;
    }
  }
  return nearest;
}

bool IsWholeNumber(const std::string& text) {
  const size_t at = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  return at < text.size() && text.find_first_not_of("0123456789", at) == std::string::npos;
}

// True when a backslash byte stands for itself: the second byte of a
// double-byte character (0x95 0x5C, say) is no backslash.
bool HoldsBackslash(const std::string& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(name[i]);
    if (byte >= 0x80 && IsSystemLeadByte(byte)) {
      ++i;
    } else if (byte == '\\') {
      return true;
    }
  }
  return false;
}

// A Linux absolute name where a leading slash does not make a name absolute.
bool InLinuxForm(const std::string& name) {
  return !name.empty() && name[0] == '/' && !IsAbsolutePath(name);
}

// A Windows name where a drive letter or a backslash is part of a name.
bool InWindowsForm(const std::string& name) {
  bool drive = !HasDriveLetters() && name.size() >= 2 && name[1] == ':' &&
               ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  return drive || (!IsPathSeparator('\\') && HoldsBackslash(name));
}

// Where a comment-looking tail ("b.txt // b") starts in a value, or npos:
// kelvo takes comments only on lines of their own.
size_t CommentTail(const std::string& value) {
  for (size_t at = value.find("//"); at != std::string::npos; at = value.find("//", at + 1)) {
    if (at > 0 && (value[at - 1] == ' ' || value[at - 1] == '\t'))
      return value.find_last_not_of(" \t", at - 1) + 1;
  }
  return std::string::npos;
}

// True when the script holds a zero character: a zero byte, or in UTF-16 a
// zero code unit.
bool HoldsZeroCharacter(const std::string& bytes, bool utf16) {
  if (!utf16) return bytes.find('\0') != std::string::npos;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    if (bytes[i] == '\0' && bytes[i + 1] == '\0') return true;
  }
  return false;
}

std::string Percent(size_t part, size_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

// One script line as read: its number in the file and its fields.
struct ReadLine {
  unsigned number = 0;
  std::string text;
  bool comment = false;
  Command command = Command::None;
  std::vector<std::string> fields;
};

std::vector<std::string> FieldsOf(const StringList& list) {
  std::vector<std::string> fields;
  for (unsigned i = 0; i < list.GetCount(); ++i) fields.emplace_back(list.GetValue(i));
  return fields;
}

class ScriptCheck {
 public:
  explicit ScriptCheck(const CheckOptions& checkOptions) : options(checkOptions) {}

  int Run() {
    LocateScript();
    Out("kelvo-check: reading " + scriptPath + " as kelvo in " + settings.ProgramDirectory +
        " reads its " + kMasterScriptName + ".\n");
    // A FIFO or device would hold the check up, or never end.
    StepResult readable = CheckReadable(scriptPath);
    if (readable.status == StepStatus::Missing || !FileExists(scriptPath.c_str())) {
      StartError(0, "the script is not found (" + ReasonText(readable) +
                        "): kelvo ends with \"Error, Master Script File is not Found.\" (exit "
                        "status 1).");
      return Finish();
    }
    if (!readable.Ok()) {
      StartError(0, "the script cannot be read: " + ReasonText(readable) + ".");
      return Finish();
    }
    CheckEncoding();
    ReadLines();
    ReportLines();
    // kelvo ends at a line with too few values: what comes after never runs.
    if (fatalLine == 0) {
      CheckInterval();
      if (settings.Table.GetCount() == 0)
        Error(0, "no AddFile line: kelvo has no destination to replace.");
    }
    CheckLog();
    CheckProgramLink();
    CheckDestinations();
    CheckSources();
    ShowFindings();
    Summarise();
    if (options.dryRun) DryRun(startErrors == 0);
    return Finish();
  }

 private:
  // --- Reporting ---------------------------------------------------------
  // Findings are kept until the checks are done, then shown in line order.
  void Diagnose(unsigned line, const char* kind, const std::string& text) {
    findings.push_back({line, std::string(kind) + ": " + text + "\n"});
  }
  // On standard error, as SCRIPT:LINE: kind: text, where editors find them;
  // those of the whole script, without a line, first.
  void ShowFindings() {
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
    std::fflush(stdout);
    for (const Finding& finding : findings)
      Show(stderr,
           shownName + (finding.line == 0 ? "" : ":" + Number(finding.line)) + ": " + finding.text);
    findings.clear();
  }
  void Warn(unsigned line, const std::string& text) {
    ++warnings;
    Diagnose(line, "warning", text);
  }
  void Error(unsigned line, const std::string& text) {
    ++errors;
    Diagnose(line, "error", text);
  }
  // An error that keeps kelvo from starting, or ends it at start.
  void StartError(unsigned line, const std::string& text) {
    ++startErrors;
    Error(line, text);
  }
  void Note(unsigned line, const std::string& text) { Diagnose(line, "note", text); }

  int Finish() {
    ShowFindings();
    Out(Counted(errors, "error") + ", " + Counted(warnings, "warning") + ".\n");
    if (startErrors > 0) return kCheckNoStart;
    if (errors > 0) return kCheckErrors;
    return warnings > 0 ? kCheckWarnings : kCheckClean;
  }

  // --- The script file ----------------------------------------------------
  void LocateScript() {
    std::string directory;
    if (options.scriptPath.empty()) {
      directory = ProgramDirectoryForScript();
      scriptPath = directory + kMasterScriptName;
    } else {
      // A script read as Unicode makes every name UTF-8, its own too, with
      // every character typed; an ANSI one keeps the name as the system gave it.
      scriptPath = TakeNamesFromScript(options.scriptPathInUtf8) ? options.scriptPathInUtf8
                                                                 : options.scriptPath;
      shownName = scriptPath;
      directory = FolderOf(scriptPath);
      if (!IsAbsolutePath(directory)) {
        std::string current = CurrentFolder();
        if (!current.empty() && !IsPathSeparator(current.back())) current += SystemSeparator();
        directory = current + directory;
      }
    }
    settings.ProgramDirectory = directory;
  }

  void CheckEncoding() {
    std::string bytes;
    if (std::FILE* in = OpenStream(scriptPath.c_str(), "rb")) {
      char chunk[65536];
      for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        bytes.append(chunk, got);
      std::fclose(in);
    }
    const ScriptReading reading = ReadingOf(bytes);
    const bool utf16 = reading == ScriptReading::Utf16Mark;
    const std::string system = SystemTextIsAnsiCodePage()
                                   ? "the ANSI code page (" + SystemCharacterSet() + ")"
                                   : SystemCharacterSet();
    const bool marked = utf16 || reading == ScriptReading::Utf8Mark;
    if (HoldsZeroCharacter(bytes, utf16)) {
      Warn(0, std::string("the script holds zero bytes: kelvo cuts each line at its first zero "
                          "byte.") +
                  (marked ? "" : " A script in UTF-16 needs its byte-order mark."));
    }
    // Which reading was taken, where it matters: a script with a mark or a
    // byte beyond ASCII.
    if (reading != ScriptReading::Ansi) {
      Note(0, std::string("the script is read as ") + ReadingName(reading) +
                  ": its names are UTF-8" + (Utf8Names() ? "" : " in " + system) + ".");
      if (marked) return;
    }
    if (bytes.find('\r') != std::string::npos && bytes.find('\n') == std::string::npos) {
      Warn(0,
           "the script's lines end in CR only: kelvo reads the whole file as one line (in "
           "pieces of 1022 bytes). Save it with LF or CR LF line ends.");
    }
    if (reading != ScriptReading::Ansi || std::all_of(bytes.begin(), bytes.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x80;
        }))
      return;
    Note(0, "the script is read as ANSI, its bytes as they are in " + system +
                " (it is not all UTF-8).");
    if (!IsValidSystemText(bytes)) {
      Warn(0, "the script holds bytes that are no text in " + system +
                  ": a name with them will likely not be found. Save it in " + system + ".");
    }
  }

  // Loads the lines as kelvo does (kelvo leaves comments out as it loads;
  // here they are kept to be shown) and carries them out on the settings.
  void ReadLines() {
    StringList list;
    std::vector<unsigned> numbers;
    list.LoadFile(scriptPath.c_str(), false, &numbers);
    // A script converted from UTF-16 is split by the rules of UTF-8.
    leadBytes = list.LeadBytes();
    StringList fields;
    unsigned index = 0;
    list.ForEachValue([&](std::string_view text) {
      ReadLine line;
      line.number = numbers[index++];
      line.text = std::string(text);
      line.comment = IsCommentLine(line.text);
      if (!line.comment) {
        SplitScriptLine(text, fields, leadBytes);
        line.fields = FieldsOf(fields);
        line.command = CommandNamed(line.fields.empty() ? "" : line.fields[0]);
        if (line.fields.size() < FieldsNeeded(line.command)) {
          if (fatalLine == 0) fatalLine = line.number;
        } else if (fatalLine == 0) {
          ApplyScriptLine(fields, settings);
          if (line.command == Command::AddFile)
            destinationLines.emplace(line.fields[1], line.number);
        }
      }
      lines.push_back(line);
    });
  }

  // --- Line by line -------------------------------------------------------
  void ReportLines() {
    for (size_t k = 0; k < lines.size(); ++k) {
      const ReadLine& line = lines[k];
      // The pieces of a long line have its number: warned at the first.
      if ((k == 0 || lines[k - 1].number != line.number) && k + 1 < lines.size() &&
          lines[k + 1].number == line.number) {
        Warn(line.number,
             "the line is longer than 1022 bytes: kelvo reads it in pieces of "
             "1022 bytes, each as a line of its own.");
      }
      if (line.comment) {
        Out("line " + Number(line.number) + ": comment, ignored.\n");
        continue;
      }
      ReportCommandLine(line);
    }
  }

  void ReportCommandLine(const ReadLine& line) {
    const std::string name = line.fields.empty() ? "" : line.fields[0];
    std::string said = "line " + Number(line.number) + ": ";
    if (line.command == Command::None) {
      Out(said + Quoted(name) + " is no command, line ignored.\n");
      ReportUnknownCommand(line.number, name);
      return;
    }
    const unsigned needed = FieldsNeeded(line.command);
    if (line.fields.size() < needed) {
      Out(said + name + " with too few values.\n");
      if (line.command == Command::SetInterval) intervalLine = line.number;
      const std::string values = Counted(needed - 1, "value");
      StartError(
          line.number,
          name + " needs " + values +
              (line.number == fatalLine
                   ? ": kelvo ends at this line with a fatal error (exit status 3) before "
                     "touching any file; the lines after it are never read."
                   : ": the same fatal error, once line " + Number(fatalLine) + " is mended."));
      CheckQuotes(line);
      return;
    }
    switch (line.command) {
      case Command::AddFile:
        Out(said + "AddFile, destination " + Quoted(line.fields[1]) + " (" +
            Destination(line.fields[1]) + "), source " + Quoted(line.fields[2]) + " (" +
            Source(line.fields[2]) + ").\n");
        CheckName(line.number, line.fields[1]);
        CheckName(line.number, line.fields[2]);
        break;
      case Command::SetInterval:
        ReportInterval(line);
        break;
      case Command::SetDestinationPath:
      case Command::SetSourcePath:
        ReportBaseFolder(line);
        break;
      case Command::None:
        break;
    }
    if (line.fields.size() > needed) {
      Warn(line.number, std::string(CommandName(line.command)) + " takes " +
                            Counted(needed - 1, "value") +
                            "; the rest is ignored: " + QuotedFields(line.fields, needed) +
                            ". A comma cannot be part of a name.");
    }
    CheckQuotes(line);
  }

  void ReportUnknownCommand(unsigned number, const std::string& name) {
    // "SetInterval 600": a blank where a comma belongs.
    const std::string word = name.substr(0, name.find_first_of(" \t"));
    if (word != name && CommandNamed(word) != Command::None) {
      Warn(number, "unknown command " + Quoted(name) + ": separate " + word +
                       " from its values with commas, as in " + word + ",...");
      return;
    }
    Command nearest = NearestCommand(name);
    if (nearest != Command::None && Lowered(name) == Lowered(CommandName(nearest))) {
      Warn(number, "command names are case-sensitive: write " + Quoted(CommandName(nearest)) +
                       " for " + Quoted(name) + ".");
    } else if (nearest != Command::None) {
      Warn(number, "unknown command " + Quoted(name) + ": did you mean " +
                       Quoted(CommandName(nearest)) + "?");
    } else {
      Warn(number, "unknown command " + Quoted(name) +
                       ": kelvo knows AddFile, SetInterval, SetSourcePath and SetDestinationPath, "
                       "and takes lines starting with // as comments.");
    }
  }

  // Quotes open a part in which commas do not cut and stay in the names; a
  // backslash before a quote is dropped and makes the quote plain text.
  // Both are told apart by splitting the line as kelvo does and with the
  // quotes left out, or not taken as quotes at all.
  void CheckQuotes(const ReadLine& line) {
    if (line.text.find_first_of("'\"") == std::string::npos) return;
    StringList split;
    split.Split(line.text.c_str(), ",", true, true, true);
    const bool opens = FieldsOf(split) != line.fields;
    split.Split(line.text.c_str(), ",", false, false, true);
    const std::vector<std::string> plain = FieldsOf(split);
    const std::string read = QuotedFields(line.fields, 0);
    // A dropped backslash matters only where the name with it kept is a
    // file or folder on disk that kelvo then does not use.
    std::string kept;
    for (size_t i = 1; !opens && plain.size() == line.fields.size() && i < plain.size(); ++i) {
      if (plain[i] == line.fields[i] || i >= FieldsNeeded(line.command)) continue;
      const std::string path = line.command != Command::AddFile ? plain[i]
                               : i == 1                         ? Destination(plain[i])
                                                                : Source(plain[i]);
      EntryInfo info;
      if (ReadEntry(path, info).Ok() && info.kind != FileKind::Missing) kept = path;
    }
    if (opens) {
      Warn(line.number,
           "an apostrophe or double quote opens a quoted part, in which commas do not separate "
           "values, up to the next one or the line's end; the quotes stay part of the name. "
           "kelvo reads the values " +
               read + ". Write \\' or \\\" for a quote that is part of a name.");
    } else if (!kept.empty()) {
      Warn(line.number,
           "a backslash before a quote makes the quote plain text and is itself dropped: kelvo "
           "reads the values " +
               read + ", and does not use " + kept + ". Write \\\\' to keep the backslash.");
    }
  }

  void ReportInterval(const ReadLine& line) {
    const std::string& text = line.fields[1];
    // Read back as SetInterval reads it.
    StringList fields;
    SplitScriptLine(line.text, fields, leadBytes);
    const int seconds = fields.GetValueInt(1);
    Out("line " + Number(line.number) + ": SetInterval, " + Counted(seconds, "second") + ".\n");
    if (!IsWholeNumber(text)) {
      Warn(line.number, Quoted(text) + " is read as " + Counted(seconds, "second") +
                            ": the interval is whole seconds, without unit or fraction.");
    }
    if (intervalLine != 0) {
      Warn(line.number, "the interval is set again (first on line " + Number(intervalLine) +
                            "): the last one counts.");
    }
    intervalLine = line.number;
  }

  void ReportBaseFolder(const ReadLine& line) {
    const bool sources = line.command == Command::SetSourcePath;
    const std::string& folder = line.fields[1];
    Out("line " + Number(line.number) + ": " + CommandName(line.command) + ", " + Quoted(folder) +
        " in front of relative " + (sources ? "source" : "destination") + " names.\n");
    unsigned& previous = sources ? sourceFolderLine : destinationFolderLine;
    if (previous != 0) {
      Warn(line.number, std::string("the base folder is set again (first on line ") +
                            Number(previous) +
                            "): the last one counts for every name of the script, also those "
                            "listed before it.");
    }
    previous = line.number;
    if (folder.empty()) {
      Note(line.number, "an empty base folder: relative names are taken from kelvo's own folder, " +
                            settings.ProgramDirectory + ".");
      return;
    }
    CheckName(line.number, folder);
    // One that starts with a separator starts at the root (of the drive).
    if (!IsAbsolutePath(folder) && !IsPathSeparator(folder[0])) {
      Warn(line.number,
           "a relative base folder: it is taken from the folder kelvo is started "
           "from (for this check: " +
               CurrentFolder() + "), not from kelvo's own folder.");
    }
    if (!IsPathSeparator(folder.back())) {
      Warn(line.number, "the base folder does not end with " + std::string(1, SystemSeparator()) +
                            ": names are joined to it as written (" + folder + " and a.ogg give " +
                            folder + "a.ogg).");
    }
  }

  // A warning about a name, which it starts with.
  void WarnName(unsigned line, const std::string& name, const std::string& text) {
    Warn(line, Quoted(name) + text);
  }

  void CheckName(unsigned number, const std::string& name) {
    CheckWindowsNameForm(number, name);
    const size_t tail = CommentTail(name);
    if (tail != std::string::npos) {
      WarnName(number, name,
               ": kelvo has no comments at the end of a line; " + Quoted(name.substr(tail)) +
                   " is part of the name. Put a comment on a line of its own.");
    }
    if (name[0] == '~' || name.find("$HOME") != std::string::npos ||
        name.find("${") != std::string::npos || std::count(name.begin(), name.end(), '%') >= 2) {
      WarnName(number, name,
               ": kelvo does not expand ~, $ or % variables; write the folder out in full.");
    }
    if (InLinuxForm(name)) {
      WarnName(number, name,
               " is a Linux name: on Windows it is not absolute, and the base folder is put in "
               "front of it.");
    } else if (InWindowsForm(name)) {
      WarnName(number, name,
               " is a Windows name: on Linux a backslash or a drive letter is part of a file "
               "name, not a folder.");
    }
  }

  // Names Windows reads otherwise than they are written; each rule holds
  // only where the system has it.
  void CheckWindowsNameForm(unsigned number, const std::string& name) {
    if (name.empty()) return;
    const size_t colon = name.find(':', IsAbsolutePath(name) ? 2 : 0);
    if (NamesHaveStreams() && colon != std::string::npos) {
      WarnName(number, name,
               " holds a colon: Windows reads what follows it as a stream of a file, or the name "
               "as relative to a drive's current folder.");
    }
    const char last = name.back();
    if (DropsTrailingDotsAndBlanks() && (last == '.' || last == ' ') && name != "." &&
        name != ".." && !(name.size() >= 2 && IsPathSeparator(name[name.size() - 2]))) {
      WarnName(number, name, " ends with a dot or blank, which Windows drops from a name.");
    }
    if (IsPathSeparator(name[0]) && !IsAbsolutePath(name)) {
      WarnName(number, name,
               " starts with a separator: kelvo uses only names starting with a drive (C:\\) as "
               "they stand and puts the base folder in front of it.");
    }
  }

  // --- The whole script ---------------------------------------------------
  void CheckInterval() {
    if (settings.Interval == 0) {
      StartError(intervalLine,
                 std::string(intervalLine == 0 ? "no SetInterval line" : "an interval of 0") +
                     ": kelvo ends with \"Error, Interval equal 0.\" (exit status 1).");
      return;
    }
    if (settings.Interval < 0 || settings.Interval > int64_t{kMaxIntervalSeconds} * 1000) {
      StartError(intervalLine, "the interval is out of range (1 to " + Number(kMaxIntervalSeconds) +
                                   " seconds): kelvo ends at start (exit status 1).");
      return;
    }
    const uint32_t count = settings.Table.GetCount();
    if (count > 0 && settings.Interval / count < 1000) {
      Warn(intervalLine, "each replacement of a later pass waits " +
                             Number(static_cast<uint64_t>(settings.Interval / count)) +
                             " ms, less than a second (kelvo shows \"0sec\"): " + Number(count) +
                             " destinations in " +
                             Number(static_cast<uint64_t>(settings.Interval / 1000)) + " seconds.");
    }
  }

  std::string Destination(const std::string& name) const {
    return ResolvePath(name, settings.DestinationPath, settings.ProgramDirectory);
  }
  std::string Source(const std::string& name) const {
    return ResolvePath(name, settings.SourcePath, settings.ProgramDirectory);
  }

  // The plan of every destination, with a look at its files, in visiting
  // order: made once the script is read.
  const RunPlan& Plan() {
    if (!runPlan) {
      runPlan.emplace(settings, files);
      for (size_t index = 0; index < runPlan->Destinations().size(); ++index) {
        plans.push_back(runPlan->Plan(index));
        runPlan->Look(plans.back());
      }
    }
    return *runPlan;
  }

  void CheckDestinations() {
    if (settings.Table.GetCount() == 0) return;
    const RunPlan& plan = Plan();
    Seen companions;
    Seen destinations;
    size_t index = 0;
    settings.Table.ForEach(
        [&](const std::string& name, const std::vector<std::string>& candidates) {
          auto listed = destinationLines.find(name);
          const unsigned number = listed == destinationLines.end() ? 0 : listed->second;
          const DestinationPlan& destination = plans[index];
          CheckDestinationFile(number, destination);
          CheckDestinationAsSource(number, index, candidates);
          CheckSameFiles(number, destination, plan.SourceSet(), companions, destinations);
          ++index;
        });
  }

  // Entries already met: their key (the entry, or the folded name where
  // the folder is missing) and the destination that named them.
  using Seen = std::map<std::string, std::string>;

  std::string KeyOf(const EntrySet& set, const std::string& path) const {
    std::string key = set.EntryKey(path);
    return key.empty() ? "name:" + FoldEntryName(path) : key;
  }

  void CheckDestinationFile(unsigned number, const DestinationPlan& plan) {
    const std::string& destination = plan.destination;
    if (!plan.Replaceable() && plan.obstacle != Obstacle::FolderNotWritable) {
      Error(number, ObstacleError(plan));
    } else if (IsReservedDeviceName(destination)) {
      Error(number, destination + " names a device, not a file: only files are replaced.");
    } else if (plan.destinationEntry.kind == FileKind::Missing) {
      Note(number, destination + " does not exist yet: the first pass creates it.");
    }
    const StepResult& writable = plan.folderAccess;
    if (!writable.Ok() && unwritableFolders.insert(plan.folder).second) {
      Error(number, "kelvo cannot create files in " + (plan.folder.empty() ? "." : plan.folder) +
                        ": " + ReasonText(writable) + ".");
    }
  }

  // Why a replacement of the destination fails, as an error of the check.
  std::string ObstacleError(const DestinationPlan& plan) const {
    const std::string& destination = plan.destination;
    const std::string reason = ReasonText(plan.obstacleResult);
    // Where the destination does not exist yet, the first replacement
    // creates it without the companion.
    const std::string whenThere = plan.destinationEntry.kind == FileKind::Missing
                                      ? ": the first pass creates " + destination +
                                            ", and every later replacement of it fails."
                                      : ": every replacement of it fails.";
    switch (plan.obstacle) {
      case Obstacle::None:
      case Obstacle::FolderNotWritable:  // said once a folder, not once a destination
        break;
      case Obstacle::DestinationUnreadable:
        return "cannot look at " + destination + ": " + reason + ".";
      case Obstacle::DestinationIsFolder:
        return destination + " is a folder: only files are replaced.";
      case Obstacle::DestinationNotAFile:
        return destination + " is not a regular file: only files are replaced.";
      case Obstacle::HelperNameRefused:
        return "the helper files of a replacement of " + destination +
               " would get names the system does not take (" + reason +
               "): every replacement of it fails.";
      case Obstacle::CompanionIsFolder:
        return "the companion " + plan.companion + " of " + destination +
               " is a folder, and kelvo never puts the old content over a folder" + whenThere;
      case Obstacle::CompanionNameRefused:
        return "the companion " + plan.companion + " of " + destination +
               " is a name the system does not take (" + reason + ")" + whenThere;
    }
    return std::string();
  }

  // Why a replacement of the destination fails, as the summary and the dry
  // run show it.
  static std::string ObstacleNote(const DestinationPlan& plan) {
    switch (plan.obstacle) {
      case Obstacle::None:
        break;
      case Obstacle::DestinationUnreadable:
        return "it cannot be looked at (" + ReasonText(plan.obstacleResult) + ")";
      case Obstacle::DestinationIsFolder:
        return "it is a folder";
      case Obstacle::DestinationNotAFile:
        return "it is not a regular file";
      case Obstacle::FolderNotWritable:
        return "no file can be made in its folder (" + ReasonText(plan.obstacleResult) + ")";
      case Obstacle::HelperNameRefused:
        return "the system takes no helper name in its folder (" + ReasonText(plan.obstacleResult) +
               ")";
      case Obstacle::CompanionIsFolder:
        return "its companion " + plan.companion + " is a folder";
      case Obstacle::CompanionNameRefused:
        return "the system does not take its companion's name (" + ReasonText(plan.obstacleResult) +
               ")";
    }
    return std::string();
  }

  // kelvo never overwrites a file the script names as a source: where a
  // destination is one, a replacement succeeds only when it draws itself.
  void CheckDestinationAsSource(unsigned number, size_t index,
                                const std::vector<std::string>& candidates) {
    const DestinationPlan& plan = plans[index];
    if (!plan.isSource) return;
    const std::string& destination = plan.destination;
    const size_t own = static_cast<size_t>(std::count_if(
        candidates.begin(), candidates.end(),
        [&](const std::string& c) { return runPlan->DrawsItself(index, Source(c)); }));
    const std::string rule = ": kelvo never overwrites a file the script names as a source";
    if (own == 0) {
      Error(number,
            destination + " is listed as a source" + rule + ", so every replacement of it fails.");
    } else if (own < candidates.size()) {
      Warn(number, destination + " is listed as its own candidate" + rule +
                       ": it never changes, and a pass that draws another candidate fails.");
    } else {
      Warn(number, destination + " is its only candidate" + rule + ": it never changes.");
    }
  }

  void WarnCompanionIsDestination(unsigned number, const std::string& destination,
                                  const std::string& companion) {
    Warn(number, companion + " is the companion of " + destination + ": each replacement of " +
                     destination + " puts its old content in " + companion +
                     ", in place of what kelvo put there.");
  }

  void CheckSameFiles(unsigned number, const DestinationPlan& plan, const EntrySet& set,
                      Seen& companions, Seen& destinations) {
    const std::string& destination = plan.destination;
    auto same = destinations.emplace(KeyOf(set, destination), destination);
    if (!same.second) {
      Warn(number, destination + " and " + same.first->second +
                       " are one file: kelvo replaces it twice a pass, and its companion keeps "
                       "the first replacement instead of the content before the pass.");
      return;
    }
    auto owner = companions.find(same.first->first);
    if (owner != companions.end()) WarnCompanionIsDestination(number, owner->second, destination);
    const std::string& companion = plan.companion;
    if (plan.companionPlan == CompanionPlan::IsDestination) {
      Warn(number, destination +
                       " is its own companion (its extension is .tmp): its old "
                       "content is not kept.");
      return;
    }
    auto listed = destinations.find(KeyOf(set, companion));
    if (listed != destinations.end())
      WarnCompanionIsDestination(number, destination, listed->second);
    auto shared = companions.emplace(KeyOf(set, companion), destination);
    if (!shared.second) {
      Warn(number, destination + " and " + shared.first->second + " share the companion " +
                       companion +
                       ": each replacement of one discards the other's previous "
                       "content.");
    }
    if (plan.companionPlan == CompanionPlan::IsSource) {
      Warn(number, "the companion " + companion + " of " + destination +
                       " is a listed source: the old content of " + destination + " is not kept.");
    }
  }

  void CheckSources() {
    std::set<std::string> checked;
    for (const ReadLine& line : lines) {
      if (line.command != Command::AddFile || line.fields.size() < 3) continue;
      const std::string source = Source(line.fields[2]);
      if (!checked.insert(source).second) continue;
      StepResult readable = CheckReadable(source);
      if (readable.status == StepStatus::Missing) {
        Error(line.number, "the source " + source + " is missing: " + ReasonText(readable) + ".");
      } else if (!readable.Ok()) {
        Error(line.number,
              "the source " + source + " cannot be read: " + ReasonText(readable) + ".");
      } else if (IsReservedDeviceName(source)) {
        Error(line.number, "the source " + source + " names a device, not a file.");
      }
    }
  }

  // kelvo writes its log beside itself and ends with a fatal error when it
  // cannot.
  void CheckLog() {
    const std::string log = settings.ProgramDirectory + "purlolog.html";
    EntryInfo info;
    ReadEntry(log, info);
    StepResult writable = info.kind == FileKind::Missing
                              ? CheckWritableFolder(settings.ProgramDirectory)
                              : CheckWritableFile(log);
    if (info.kind == FileKind::Folder) writable = StepResult{StepStatus::WrongKind, 0, false};
    if (!writable.Ok()) {
      StartError(0, "kelvo cannot write its log " + log + " (" + ReasonText(writable) +
                        "): it ends with \"Critical Error: Log File is Locked\" (exit status 3).");
    }
  }

  // kelvo reads the script beside its real location: a kelvo here that is a
  // link to one in another folder never reads this script.
  void CheckProgramLink() {
    const std::string kelvo = settings.ProgramDirectory + "kelvo" + ExecutableSuffix();
    EntryInfo info;
    if (!ReadEntry(kelvo, info).Ok() || info.kind != FileKind::Link) return;
    const std::string folder = ProgramFolderThrough(kelvo);
    if (!folder.empty() && GetFileIdentity(folder) == GetFileIdentity(settings.ProgramDirectory))
      return;
    if (folder.empty()) {
      StartError(0,
                 kelvo + " is a symbolic link that leads nowhere: kelvo cannot be started there.");
      return;
    }
    const std::string script = folder + kMasterScriptName;
    StartError(0, kelvo + " is a symbolic link to a kelvo in " + folder + ", and kelvo reads the " +
                      kMasterScriptName + " beside its real location: " +
                      (FileExists(script.c_str())
                           ? script + ", another script than this one."
                           : "there is none in " + folder +
                                 ", so it ends with \"Error, Master Script File is not Found.\" "
                                 "(exit status 1).") +
                      " Copy kelvo into " + settings.ProgramDirectory + " instead of linking it.");
  }

  // --- Summary and dry run ------------------------------------------------
  void Summarise() {
    Out("Summary:\n");
    const uint32_t count = settings.Table.GetCount();
    if (settings.Interval > 0 && count > 0 && fatalLine == 0) {
      const uint64_t seconds = static_cast<uint64_t>(settings.Interval / 1000);
      Out("  interval: " + Counted(static_cast<int64_t>(seconds), "second") +
          "; after the first pass kelvo waits " +
          Number(static_cast<uint64_t>(settings.Interval / count)) +
          " ms before each replacement.\n");
    }
    Out("  log: " + settings.ProgramDirectory + "purlolog.html\n");
    if (fatalLine != 0) {
      Out("  kelvo stops at line " + Number(fatalLine) +
          " with a fatal error and replaces nothing.\n");
      return;
    }
    Out("  " + Counted(count, "destination") + ", in the order kelvo visits them:\n");
    if (count > 0) Plan();
    size_t index = 0;
    settings.Table.ForEach([&](const std::string&, const std::vector<std::string>& candidates) {
      ReportPlan(plans[index++]);
      // Each candidate once, where it is first listed.
      for (auto candidate = candidates.begin(); candidate != candidates.end(); ++candidate) {
        if (std::find(candidates.begin(), candidate, *candidate) != candidate) continue;
        const size_t times =
            static_cast<size_t>(std::count(candidate, candidates.end(), *candidate));
        Out("    " + Percent(times, candidates.size()) + "  " + Source(*candidate) +
            (times > 1 ? " (listed " + Number(times) + " times)" : std::string()) + "\n");
      }
    });
  }

  // A destination's plan as the summary lists it: where its previous and
  // its first content go, and whether kelvo replaces it at all.
  void ReportPlan(const DestinationPlan& plan) {
    const std::string companion =
        plan.companionPlan == CompanionPlan::Kept ? "previous content kept as " + plan.companion
        : plan.companionPlan == CompanionPlan::IsSource
            ? "previous content not kept: its companion " + plan.companion + " is a listed source"
            : "previous content not kept: it is its own companion";
    Out("  " + plan.destination + " (" + companion + ")\n");
    switch (plan.originalPlan) {
      case OriginalPlan::Kept:
        Out(plan.replacedBefore ? "    first content not kept: replaced before (" + plan.original +
                                      " or " + plan.companion + " exists)\n"
                                : "    first content kept once as " + plan.original + "\n");
        break;
      case OriginalPlan::ListedAsSource:
      case OriginalPlan::ListedAsDestination:
        Out("    first content not kept: " + plan.original + " is a listed " +
            (plan.originalPlan == OriginalPlan::ListedAsSource ? "source\n" : "destination\n"));
        break;
      case OriginalPlan::NameRefused:
        Out("    first content not kept: the system does not take the name " + plan.original +
            " (" + ReasonText(plan.originalRefusal) + ")\n");
        break;
    }
    if (plan.isSource) Out("    never replaced: it is a listed source\n");
    if (!plan.Replaceable()) Out("    cannot be replaced: " + ObstacleNote(plan) + "\n");
  }

  void DryRun(bool kelvoMakesAPass) {
    if (!kelvoMakesAPass) {
      Out("Dry run: kelvo makes no pass; it ends at start (see the errors above).\n");
      return;
    }
    const uint64_t seed = options.seedGiven ? options.seed : SecondsSinceEpoch();
    Out("Dry run: the first pass of a kelvo started at second " + Number(seed) + " (seed " +
        Number(seed) + "):\n");
    g_random.SeedFromSeconds(seed);
    Plan();
    size_t index = 0;
    settings.Table.ForEach([&](const std::string&, const std::vector<std::string>& candidates) {
      const std::string source = Source(DrawSourceName(candidates));
      const DestinationPlan& plan = plans[index];
      std::string outcome;
      if (plan.isSource) {
        outcome = runPlan->DrawsItself(index, source)
                      ? " (kept as it is: it is that source)"
                      : " (fails: a file the script names as a source)";
      } else if (!plan.Replaceable()) {
        outcome = " (fails: " + ObstacleNote(plan) + ")";
      }
      Out("would replace " + source + " to " + plan.destination + outcome + "\n");
      ++index;
    });
  }

  const CheckOptions& options;
  std::string scriptPath;
  std::string shownName = kMasterScriptName;  // the script as the findings name it
  RunSettings settings;
  std::vector<ReadLine> lines;
  RealFileSystem files;  // read-only looks only: the checker changes no file
  std::optional<RunPlan> runPlan;
  std::vector<DestinationPlan> plans;                // with a look at the files, in visiting order
  std::map<std::string, unsigned> destinationLines;  // name -> first line listing it
  std::set<std::string> unwritableFolders;           // reported once each
  unsigned fatalLine = 0;
  LeadByteTest leadBytes = IsSystemLeadByte;  // how the script's lines are split
  unsigned startErrors = 0;
  unsigned intervalLine = 0;
  unsigned sourceFolderLine = 0;
  unsigned destinationFolderLine = 0;
  unsigned warnings = 0;
  unsigned errors = 0;
  struct Finding {
    unsigned line;  // 0: the whole script
    std::string text;
  };
  std::vector<Finding> findings;
};

}  // namespace

int RunScriptCheck(const CheckOptions& options) {
  ScriptCheck check(options);
  return check.Run();
}
