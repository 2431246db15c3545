// StringList: loading a script file into lines, splitting a line into fields,
// and reading entries back.
#include "script/string_list.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log_service.h"
#include "platform/files.h"

namespace {

// fgets reads at most kLineReadLimit - 1 = 1022 bytes into the zeroed buffer,
// so a longer line arrives in pieces of 1022 bytes.
constexpr int kLineBufferSize = 1024;
constexpr int kLineReadLimit = 1023;

// UTF-8 has no double-byte characters: its bytes above 0x7F never stand for
// a comma or a quote.
bool NoLeadByte(unsigned char) { return false; }

bool IsBlank(unsigned char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

// Narrows [begin, end) to leave out blanks at both ends.
void TrimRange(const char*& begin, const char*& end) {
  while (begin < end && IsBlank(static_cast<unsigned char>(*begin))) ++begin;
  while (end > begin && IsBlank(static_cast<unsigned char>(end[-1]))) --end;
}

bool IsQuote(char byte) { return byte == '"' || byte == '\''; }

// The largest storage reserved up front for a file's lines. Larger files grow
// their storage as they are read; the cap also keeps a bogus size (some
// systems give directories a huge one) from reserving memory for nothing.
constexpr size_t kMaxReservedText = 64u << 20;

// Bytes that the lines of a file of fileBytes bytes take at most when stored:
// each line's zero replaces its line feed, except after a last line without
// one and after each 1022-byte piece of a longer line.
size_t StoredTextLimit(size_t fileBytes) {
  return fileBytes + fileBytes / static_cast<size_t>(kLineReadLimit - 1) + 1;
}

// The size of the opened file, with the file set back to its start; 0 when
// the file cannot tell its size (a pipe, for one). False when the file
// cannot be set back to its start, so that nothing can be read from it.
bool MeasureFile(std::FILE* file, size_t& bytes) {
  bytes = 0;
  if (std::fseek(file, 0, SEEK_END) != 0) return true;
  const long end = std::ftell(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  if (end > 0) bytes = static_cast<unsigned long>(end);
  return true;
}

// Reads the next line of text from readAt as fgets reads one from a file
// into a zeroed buffer: at most kLineReadLimit - 1 bytes, through a line feed.
bool ReadLine(const std::string& text, size_t& readAt, char* buffer) {
  if (readAt >= text.size()) return false;
  const size_t lineEnd = std::min(text.find('\n', readAt), text.size() - 1) + 1;
  const size_t length = std::min(lineEnd - readAt, static_cast<size_t>(kLineReadLimit - 1));
  text.copy(buffer, length, readAt);
  readAt += length;
  return true;
}

// Checks the UTF-8 sequences of text from at on; false at one that is no
// UTF-8. A sequence that the end cuts short ends the check: at is left on it.
bool CheckUtf8(const std::string& text, size_t& at, bool& multiByte) {
  for (size_t i = at; i < text.size(); at = i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    // ASCII, the bulk of a script, in one test.
    if (byte < 0x80) {
      ++i;
      continue;
    }
    const size_t length = byte < 0xC2 ? 0 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : byte < 0xF5 ? 4 : 0;
    if (length == 0) return false;
    if (i + length > text.size()) return true;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    // No overlong form, no surrogate and nothing above U+10FFFF.
    const unsigned char next = static_cast<unsigned char>(length > 1 ? text[i + 1] : 0);
    if ((byte == 0xE0 && next < 0xA0) || (byte == 0xED && next >= 0xA0) ||
        (byte == 0xF0 && next < 0x90) || (byte == 0xF4 && next >= 0x90)) {
      return false;
    }
    multiByte = true;
    i += length;
  }
  return true;
}

// The reading of a file whose first bytes are start, by their mark, or else
// by the rest of the file read in chunks; only a character that a chunk
// cuts short is held over.
ScriptReading ScanReading(std::FILE* file, std::string start) {
  const ScriptReading marked = ReadingOf(start.substr(0, 3));
  if (marked == ScriptReading::Utf8Mark || marked == ScriptReading::Utf16Mark) return marked;
  bool multiByte = false;
  char chunk[65536];
  for (;;) {
    size_t at = 0;
    if (!CheckUtf8(start, at, multiByte)) return ScriptReading::Ansi;
    start.erase(0, at);
    const size_t got = std::fread(chunk, 1, sizeof chunk, file);
    if (got == 0) break;
    start.append(chunk, got);
  }
  return start.empty() && multiByte ? ScriptReading::Utf8NoMark : ScriptReading::Ansi;
}

// Appends what is left of file to text.
void ReadRest(std::FILE* file, std::string& text) {
  char chunk[65536];
  size_t read = 0;
  while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, read);
}

// A script read as Unicode (see ReadingOf) is read whole into text as the
// system's text, and true says to read from there. An ANSI script stands
// where its lines start, or, in a file that cannot be set back (a pipe), is
// in text as it is.
bool ReadPastByteOrderMark(std::FILE* file, const char* path, std::string& text,
                           ScriptReading& reading) {
  char mark[3] = {0, 0, 0};
  const size_t got = std::fread(mark, 1, sizeof mark, file);
  text.assign(mark, got);
  reading = ReadingOf(text);
  if (reading == ScriptReading::Utf8Mark || reading == ScriptReading::Utf16Mark) {
    // Text mode would take UTF-16 bytes for line ends and end of file.
    std::FILE* binary = OpenStream(path, "rb");
    if (binary == nullptr) return true;
    std::string bytes;
    ReadRest(binary, bytes);
    std::fclose(binary);
    if (reading == ScriptReading::Utf8Mark) {
      text = ConvertUtf8Text(bytes.substr(std::min<size_t>(3, bytes.size())));
    } else {
      text = ConvertUtf16Text(bytes.substr(std::min<size_t>(2, bytes.size())), mark[0] == '\xFE');
    }
    return true;
  }
  text.clear();
  if (std::fseek(file, 0, SEEK_SET) == 0) {
    // Scanned first, so that an ANSI script is never held whole.
    reading = ScanReading(file, std::string());
    if (std::fseek(file, 0, SEEK_SET) == 0 && reading == ScriptReading::Ansi) return false;
  } else {
    // A file that cannot be set back (a pipe): what was read goes first.
    text.assign(mark, got);
  }
  ReadRest(file, text);
  reading = ReadingOf(text);
  if (reading == ScriptReading::Utf8NoMark) text = ConvertUtf8Text(text);
  return true;
}

}  // namespace

ScriptReading ReadingOf(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return ScriptReading::Utf8Mark;
  if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0)
    return ScriptReading::Utf16Mark;
  size_t at = 0;
  bool multiByte = false;
  return CheckUtf8(bytes, at, multiByte) && at == bytes.size() && multiByte
             ? ScriptReading::Utf8NoMark
             : ScriptReading::Ansi;
}

// Read in text mode, as LoadFile reads it.
ScriptReading ReadingOfFile(const char* path) {
  std::FILE* file = OpenStream(path, "r");
  if (file == nullptr) return ScriptReading::Ansi;
  char mark[3];
  const ScriptReading reading = ScanReading(file, std::string(mark, std::fread(mark, 1, 3, file)));
  std::fclose(file);
  return reading;
}

const char* ReadingName(ScriptReading reading) {
  // In the order of ScriptReading.
  const char* const kNames[] = {"ANSI", "UTF-8 (no mark)", "UTF-8 (with a mark)",
                                "UTF-16 (with a mark)"};
  return kNames[static_cast<int>(reading)];
}

std::string TrimBlanks(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  TrimRange(begin, end);
  return std::string(begin, end);
}

void StringList::Clear() {
  storage.clear();
  starts.clear();
}

void StringList::AppendEntry(const char* begin, const char* end, bool trim) {
  if (trim) TrimRange(begin, end);
  starts.push_back(storage.size());
  storage.append(begin, end);
  storage.push_back('\0');
}

bool IsCommentLine(std::string_view line) {
  return line.size() >= 2 && line[0] == '/' && line[1] == '/';
}

void StringList::LoadFile(const char* path, bool skipComments, std::vector<unsigned>* lineNumbers) {
  if (lineNumbers != nullptr) lineNumbers->clear();
  Clear();
  leadBytes = IsSystemLeadByte;
  reading = ScriptReading::Ansi;
  if (path == nullptr) return;
  // Text mode: Windows hands a CR LF pair over as LF; elsewhere the CR stays
  // and trimming removes it, so both give the same lines.
  std::FILE* file = OpenStream(path, "r");
  if (file == nullptr) return;
  // Storage for the whole file at once, so that it does not grow by doubling
  // while reading and end up to twice as large as its lines.
  size_t fileBytes = 0;
  if (!MeasureFile(file, fileBytes)) {
    std::fclose(file);
    return;
  }
  storage.reserve(std::min(StoredTextLimit(fileBytes), kMaxReservedText));
  // A script in UTF-16 is converted as a whole and read from memory.
  std::string converted;
  bool fromMemory = ReadPastByteOrderMark(file, path, converted, reading);
  // Unicode text became UTF-8 unless the system's text is a code page.
  if (reading != ScriptReading::Ansi && !SystemTextIsAnsiCodePage()) leadBytes = NoLeadByte;
  size_t readAt = 0;
  unsigned nextLineNumber = 1;
  char buffer[kLineBufferSize];
  while (fromMemory || !std::feof(file)) {
    std::memset(buffer, 0, sizeof buffer);
    // Nothing read means the end of the file or a read error. A read error
    // ends the reading as the end of the file does: the lines read so far
    // are kept, as a file cut short at that point would give them.
    if (fromMemory ? !ReadLine(converted, readAt, buffer)
                   : std::fgets(buffer, kLineReadLimit, file) == nullptr) {
      break;
    }
    // A piece of a longer line is on the same line as the piece before it.
    // A piece ends its line when the zeroed buffer holds a line feed, which
    // may come after a zero byte of the file.
    const unsigned lineNumber = nextLineNumber;
    if (std::memchr(buffer, '\n', kLineReadLimit - 1) != nullptr) ++nextLineNumber;
    // The text ends at the first zero byte, also one that the file holds.
    const char* begin = buffer;
    const char* end = buffer + std::strlen(buffer);
    TrimRange(begin, end);
    if (begin == end) continue;
    if (skipComments && IsCommentLine(std::string_view(begin, static_cast<size_t>(end - begin))))
      continue;
    AppendEntry(begin, end, false);
    if (lineNumbers != nullptr) lineNumbers->push_back(lineNumber);
  }
  std::fclose(file);
}

int StringList::Split(const char* text, const char* separator, bool useQuotes, bool removeQuotes,
                      bool trim, LeadByteTest isLeadByte) {
  Clear();
  if (text == nullptr) return 0;

  // The separator is compared as a whole at each position outside quotes. An
  // empty one (or a longer one than two bytes) never cuts: cutting at an empty
  // separator would never advance. Quotes and escapes are single bytes
  // whatever the separator's width.
  const size_t separatorLength = separator != nullptr ? std::strlen(separator) : 0;
  const bool canCut = separatorLength == 1 || separatorLength == 2;
  const char first = canCut ? separator[0] : '\0';
  const char second = separatorLength == 2 ? separator[1] : '\0';

  const size_t length = std::strlen(text);
  // The fields with their zeros never take more than the text and its zero:
  // every field but the last ends at a separator of at least one byte.
  if (storage.capacity() < length + 1) storage.reserve(length + 1);
  // A field is built as `field` followed by the pending run
  // text[runStart, position) of bytes that go into it unchanged. Bytes are
  // copied into `field` only when something inside the field is left out (an
  // escaping backslash, a removed quote), so most fields are made straight
  // from the text. The field has no size limit.
  std::string field;
  size_t runStart = 0;
  size_t position = 0;
  bool inQuote = false;

  auto flushRun = [&]() { field.append(text + runStart, position - runStart); };
  auto finishField = [&](bool trimField) {
    if (field.empty()) {
      AppendEntry(text + runStart, text + position, trimField);
    } else {
      flushRun();
      AppendEntry(field.data(), field.data() + field.size(), trimField);
      field.clear();
    }
  };

  while (position < length) {
    const char byte = text[position];
    // The terminating zero stands in for a second byte past the end, and
    // never equals a separator byte.
    if (!inQuote && canCut && byte == first && (second == '\0' || text[position + 1] == second)) {
      finishField(true);
      position += separatorLength;
      runStart = position;
      continue;
    }
    // Lead bytes are never below 0x80 in any code page: a plain script
    // never makes the system look up its character set.
    const unsigned char value = static_cast<unsigned char>(byte);
    if (value >= 0x80 && isLeadByte(value)) {
      // The byte after a lead byte belongs to it, whatever its value; a lead
      // byte at the end of the text stands alone.
      position += position + 1 < length ? 2 : 1;
      continue;
    }
    if (useQuotes && IsQuote(byte)) {
      inQuote = !inQuote;
      if (removeQuotes) {
        flushRun();
        runStart = position + 1;
      }
      ++position;
      continue;
    }
    if (useQuotes && byte == '\\' && IsQuote(text[position + 1])) {
      // Leave out the backslash; the quote after it is plain text.
      flushRun();
      runStart = position + 1;
      position += 2;
      continue;
    }
    ++position;
  }
  finishField(trim);
  return static_cast<int>(starts.size());
}

unsigned StringList::GetCount() const { return static_cast<unsigned>(starts.size()); }

std::string_view StringList::GetValue(unsigned index) const {
  if (index >= starts.size()) RaiseAssert("GetValue - Invalid ID", label.c_str());
  return std::string_view(storage.data() + starts[index]);
}

int StringList::GetValueInt(unsigned index) const {
  if (index >= starts.size()) RaiseAssert("GetValueInt - Invalid ID", label.c_str());
  // An optionally signed decimal number after leading white space, as atoi
  // reads it. atoi's result is undefined when the number does not fit in an
  // int; strtoll saturates, and here so does the int, to INT_MAX or INT_MIN.
  // kelvo never sets a locale: white space is the C locale's.
  const long long number = std::strtoll(storage.data() + starts[index], nullptr, 10);
  return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}
