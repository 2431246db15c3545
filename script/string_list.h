// StringList: the ordered list of texts that holds a script's lines (LoadFile)
// or the fields of one line (Split), with the blank trimming both share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

// Returns text without blanks at either end. Blanks are exactly space, tab,
// carriage return and line feed; every other byte is text.
std::string TrimBlanks(const std::string& text);

// True for a trimmed script line that is a comment: it starts with "//".
bool IsCommentLine(std::string_view line);

// How a script's bytes are read. Ansi: as the system's own text, byte for
// byte. The others are Unicode: a UTF-8 or UTF-16 byte-order mark, or no
// mark and bytes that are all valid UTF-8 with at least one character
// beyond ASCII.
enum class ScriptReading { Ansi, Utf8NoMark, Utf8Mark, Utf16Mark };
ScriptReading ReadingOf(const std::string& bytes);
// The reading of the file at path; Ansi when it cannot be read.
ScriptReading ReadingOfFile(const char* path);
// How kelvo-check names a reading: "UTF-8 (no mark)", say.
const char* ReadingName(ScriptReading reading);

class StringList {
 public:
  // Detail text of the assertion raised for a bad index; nothing assigns it.
  std::string label;

  void Clear();

  // Replaces the contents with the lines of a text file, each trimmed; empty
  // lines, and with skipComments lines starting with "//", are left out.
  // Lines longer than 1022 bytes arrive in pieces of 1022 bytes, each handled
  // as a line of its own. A file that cannot be opened leaves the list empty.
  // With lineNumbers, it also gets the number of the file line (from 1) that
  // each entry comes from.
  void LoadFile(const char* path, bool skipComments, std::vector<unsigned>* lineNumbers = nullptr);

  // The lead-byte test of the text LoadFile last read: the system's, or none
  // for a script read as Unicode that became UTF-8.
  LeadByteTest LeadBytes() const { return leadBytes; }
  // How LoadFile last read its file.
  ScriptReading Reading() const { return reading; }

  // Replaces the contents with the fields of text cut at separator (one or two
  // bytes). With useQuotes, ' and " open and close quoted parts in which the
  // separator does not cut, and a backslash before either makes it plain text;
  // removeQuotes leaves the quote characters out of the fields. Fields ended by
  // a separator are always trimmed, the last one only with trim. The two bytes
  // of a double-byte character are never taken apart. Returns the number of
  // fields; an absent text gives 0 and an empty list.
  int Split(const char* text, const char* separator, bool useQuotes, bool removeQuotes, bool trim,
            LeadByteTest isLeadByte = IsSystemLeadByte);

  unsigned GetCount() const;

  // A read-only view of the entry at index, valid until the list is next
  // filled, cleared or destroyed. A zero byte follows the viewed text, so its
  // data() can be handed on as a C string. A bad index raises the fatal
  // assertion.
  std::string_view GetValue(unsigned index) const;

  // Calls visit(value) with every entry in order, as GetValue would give it.
  template <typename Visit>
  void ForEachValue(Visit visit) const;

  // The entry at index read as a decimal integer the way atoi reads it, but
  // saturated to INT_MIN/INT_MAX. A bad index raises the fatal assertion.
  int GetValueInt(unsigned index) const;

 private:
  void AppendEntry(const char* begin, const char* end, bool trim);

  // The entries back to back, each followed by a zero byte. Entries never
  // hold a zero byte themselves, so the zeros mark where each one ends.
  std::string storage;
  std::vector<size_t> starts;
  LeadByteTest leadBytes = IsSystemLeadByte;
  ScriptReading reading = ScriptReading::Ansi;
};

template <typename Visit>
void StringList::ForEachValue(Visit visit) const {
  for (size_t start : starts) visit(std::string_view(storage.data() + start));
}
