// Fuzz target for reading script text: StringList::LoadFile on the input as a
// file, with and without comment skipping, and StringList::Split on every
// loaded line and on the raw input, with flags picked from the input. Any
// broken invariant stops the run with __builtin_trap().
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input_file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "script/string_list.h"

namespace {

// Longest line LoadFile hands over: the rest of a longer line follows as
// lines of their own.
const size_t kLongestLoadedLine = 1022;

bool IsBlank(char byte) { return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n'; }

bool IsQuote(char byte) { return byte == '"' || byte == '\''; }

bool HasBlankEnd(std::string_view text) {
  return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

bool NoLeadBytes(unsigned char) { return false; }

struct SplitFlags {
  const char* separator;
  bool useQuotes;
  bool removeQuotes;
  bool trim;
};

// Low three bits: the separator (the last ones never cut); the next three:
// useQuotes, removeQuotes, trim.
SplitFlags FlagsFrom(unsigned selector) {
  static const char* const kSeparators[] = {",", "\t", "\"", "\\", ", ", "\r\n", ";;", "abc"};
  return {kSeparators[selector & 7], (selector & 8) != 0, (selector & 16) != 0,
          (selector & 32) != 0};
}

// Occurrences of a one- or two-byte separator, matched from the left without
// overlap; 0 for any other separator, which never cuts.
size_t CountSeparators(const char* text, const char* separator) {
  const size_t length = std::strlen(separator);
  if (length != 1 && length != 2) return 0;
  size_t count = 0;
  for (const char* p = text; *p != '\0';) {
    if (std::strncmp(p, separator, length) == 0) {
      ++count;
      p += length;
    } else {
      ++p;
    }
  }
  return count;
}

// True when no byte of text is a lead byte to the test, nor a quote that is
// taken as one.
bool HasOnlyPlainBytes(const char* text, bool useQuotes, LeadByteTest isLeadByte) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (isLeadByte(static_cast<unsigned char>(*p)) || (useQuotes && IsQuote(*p))) return false;
  }
  return true;
}

void CheckSplit(const char* text, const SplitFlags& flags, LeadByteTest isLeadByte) {
  StringList fields;
  const int count = fields.Split(text, flags.separator, flags.useQuotes, flags.removeQuotes,
                                 flags.trim, isLeadByte);
  Check(count >= 1);
  Check(static_cast<unsigned>(count) == fields.GetCount());

  // Fields only ever leave bytes out; every field but the last is trimmed.
  size_t fieldBytes = 0;
  for (unsigned i = 0; i < fields.GetCount(); ++i) {
    const std::string_view field = fields.GetValue(i);
    fieldBytes += field.size();
    if (flags.trim || i + 1 < fields.GetCount()) Check(!HasBlankEnd(field));
  }
  Check(fieldBytes <= std::strlen(text));

  // Without quotes or double-byte characters, every separator cuts.
  if (HasOnlyPlainBytes(text, flags.useQuotes, isLeadByte)) {
    Check(static_cast<size_t>(count) == CountSeparators(text, flags.separator) + 1);
  }
}

// Splits every line, with other flags for each so that one input tries
// several, and the raw text, with other flags than the first line (which
// usually starts the same way). Both lead-byte tests run, one after the
// other: Split rebuilds its byte table when the test changes.
void CheckSplits(const StringList& lines, const std::string& raw, unsigned selector) {
  for (LeadByteTest isLeadByte : {IsCodePage932LeadByte, NoLeadBytes}) {
    for (unsigned i = 0; i < lines.GetCount(); ++i) {
      CheckSplit(lines.GetValue(i).data(), FlagsFrom(selector + i * 37), isLeadByte);
    }
    CheckSplit(raw.c_str(), FlagsFrom(selector >> 2), isLeadByte);
  }
}

void CheckLoadedLines(const StringList& lines, size_t inputSize) {
  size_t loadedBytes = 0;
  for (unsigned i = 0; i < lines.GetCount(); ++i) {
    const std::string_view line = lines.GetValue(i);
    Check(!line.empty());
    Check(!HasBlankEnd(line));
    Check(line.size() <= kLongestLoadedLine);
    // A zero byte ends every entry, so that it can be used as a C string.
    Check(std::strlen(line.data()) == line.size());
    loadedBytes += line.size();
  }
  Check(loadedBytes <= inputSize);
}

bool IsComment(std::string_view line) { return line.compare(0, 2, "//") == 0; }

// Skipping comments leaves out exactly the lines that start with "//".
void CheckCommentsSkipped(const StringList& all, const StringList& withoutComments) {
  unsigned kept = 0;
  for (unsigned i = 0; i < all.GetCount(); ++i) {
    const std::string_view line = all.GetValue(i);
    if (IsComment(line)) continue;
    Check(kept < withoutComments.GetCount());
    Check(withoutComments.GetValue(kept) == line);
    ++kept;
  }
  Check(kept == withoutComments.GetCount());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = ScratchPath("kelvo_fuzz_script_text_");
  WriteScratchFile(path, data, size);
  const unsigned selector = size > 0 ? data[0] : 0;

  StringList all;
  all.LoadFile(path.c_str(), false);
  // A UTF-16 script is converted first: two bytes give up to three.
  const bool utf16 =
      size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
  CheckLoadedLines(all, utf16 ? size / 2 * 3 : size);
  StringList withoutComments;
  withoutComments.LoadFile(path.c_str(), true);
  CheckLoadedLines(withoutComments, utf16 ? size / 2 * 3 : size);
  CheckCommentsSkipped(all, withoutComments);

  // The raw input as text ends at its first zero byte.
  const void* firstZero = std::memchr(data, 0, size);
  const size_t textSize =
      firstZero != nullptr ? static_cast<const uint8_t*>(firstZero) - data : size;
  CheckSplits(all, std::string(reinterpret_cast<const char*>(data), textSize), selector);
  return 0;
}
