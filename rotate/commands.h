// Interprets the master script's lines into the run settings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "rotate/run_settings.h"

class StringList;

// The commands a script line can give; any other first field leaves the
// line without effect.
enum class Command { None, AddFile, SetInterval, SetDestinationPath, SetSourcePath };

// The command a line's first field names: names are case-sensitive.
Command CommandNamed(std::string_view name);
const char* CommandName(Command command);

// Fields a command's line needs, the command's own included; a line with
// fewer raises the fatal assertion when it is carried out.
unsigned FieldsNeeded(Command command);

// Cuts a script line into its fields: commas separate them, blanks around
// each are trimmed, and a quote opens a part in which commas do not cut
// (the quotes stay in the field).
void SplitScriptLine(std::string_view line, StringList& fields,
                     LeadByteTest isLeadByte = IsSystemLeadByte);

// Carries out one line, cut into fields, on the settings.
void ApplyScriptLine(const StringList& fields, RunSettings& settings);

// Runs every line's command; prints " -> Done.\n" after the last one. A line
// with too few values raises the fatal assertion, told in English as
// "kelvo.txt:<n>: ..." with its number from lineNumbers (one per line) when
// given. Lines are split by their own lead-byte rules.
void InterpretScript(const StringList& lines, RunSettings& settings,
                     const std::vector<unsigned>* lineNumbers = nullptr);

// Prints why the interval cannot drive a run and returns false, or returns
// true for a usable interval.
bool CheckInterval(const RunSettings& settings);

// Sets the form of names the run takes on for good from the script at
// scriptInUtf8: UTF-8 when the script is read as Unicode (true), the
// system's text otherwise.
bool TakeNamesFromScript(const std::string& scriptInUtf8);

// The program's folder in the form of names the run takes on for good: UTF-8
// (through which the folder may hold any character) when the script beside
// it is read as Unicode, the system's text otherwise.
std::string ProgramDirectoryForScript();

// Longest interval in seconds whose thousandfold still fits the signed 32-bit
// number of milliseconds the cycle works with.
const int32_t kMaxIntervalSeconds = 2147483;
