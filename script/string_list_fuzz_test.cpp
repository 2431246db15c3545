// Randomised tests of StringList: seeded random texts and files, checked
// against a plain byte-by-byte model of loading and splitting and against
// invariants that every result must keep.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "script/string_list.h"
#include "testing/scratch_directory.h"

namespace {

using Fields = std::vector<std::string>;

bool NoLeadBytes(unsigned char) { return false; }

bool IsBlankByte(char byte) { return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n'; }

std::string ModelTrim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Splitting as a literal walk over the text, one step per byte or pair, with
// the field kept as a zero-terminated text would keep it.
Fields ModelSplit(const char* cText, const char* separator, bool useQuotes, bool removeQuotes,
                  bool trim, LeadByteTest isLeadByte) {
  const std::string text(cText);
  const size_t length = text.size();
  const size_t separatorLength = std::strlen(separator);
  auto at = [&](size_t i) { return i < length ? text[i] : '\0'; };
  auto append = [](std::string& field, char byte) {
    if (byte != '\0') field += byte;
  };
  Fields fields;
  std::string field;
  bool inQuote = false;
  size_t position = 0;
  do {
    const char byte = at(position);
    bool windowMatches = separatorLength == 1 || separatorLength == 2;
    for (size_t i = 0; windowMatches && i < separatorLength; ++i) {
      windowMatches = at(position + i) == separator[i];
    }
    if (!inQuote && windowMatches) {
      fields.push_back(ModelTrim(field));
      field.clear();
      position += separatorLength;
    } else if (isLeadByte(static_cast<unsigned char>(byte))) {
      append(field, byte);
      if (position + 1 < length) append(field, at(position + 1));
      position += 2;
    } else if (!useQuotes) {
      append(field, byte);
      position += 1;
    } else if (byte == '"' || byte == '\'') {
      inQuote = !inQuote;
      if (!removeQuotes) append(field, byte);
      position += 1;
    } else if (byte == '\\' && (at(position + 1) == '"' || at(position + 1) == '\'')) {
      append(field, at(position + 1));
      position += 2;
    } else {
      append(field, byte);
      position += 1;
    }
  } while (position < length);
  fields.push_back(trim ? ModelTrim(field) : field);
  return fields;
}

// Loading as a walk over the file's bytes: pieces of at most 1022 bytes that
// end after a line feed, each cut at a zero byte, trimmed and filtered.
Fields ModelLoad(const std::string& content, bool skipComments) {
  Fields lines;
  size_t position = 0;
  while (position < content.size()) {
    size_t end = position;
    while (end < content.size() && end - position < 1022) {
      if (content[end++] == '\n') break;
    }
    std::string piece = content.substr(position, end - position);
    position = end;
    piece = ModelTrim(piece.substr(0, piece.find('\0')));
    if (piece.empty() || (skipComments && piece.compare(0, 2, "//") == 0)) continue;
    lines.push_back(piece);
  }
  return lines;
}

Fields EntriesOf(const StringList& list) {
  Fields entries;
  for (unsigned i = 0; i < list.GetCount(); ++i) entries.emplace_back(list.GetValue(i));
  return entries;
}

// Random bytes weighted towards the ones that steer loading and splitting.
class ByteSource {
 public:
  explicit ByteSource(uint32_t seed) : engine_(seed) {}

  uint32_t Below(uint32_t bound) {
    return std::uniform_int_distribution<uint32_t>(0, bound - 1)(engine_);
  }
  bool Chance(uint32_t percent) { return Below(100) < percent; }

  char Byte(bool lineEnds) {
    static const char kSpecial[] = {'"',    '\'',   '\\',   ',',    ':',    '/',    ' ', '\t',
                                    '\x81', '\x5C', '\xE0', '\xFC', '\x9F', '\xA0', '\0'};
    const uint32_t kind = Below(20);
    if (kind < 9) return static_cast<char>('a' + Below(26));
    if (kind < 17) return kSpecial[Below(sizeof kSpecial)];
    if (kind < 19 && lineEnds) return Chance(50) ? '\n' : '\r';
    return static_cast<char>(Below(256));
  }

  // Random text, sometimes with a long run of one byte.
  std::string Text(size_t maxLength, bool lineEnds) {
    std::string text;
    const size_t length = Below(static_cast<uint32_t>(maxLength) + 1);
    while (text.size() < length) {
      if (Chance(3)) {
        text.append(Below(1500) + 1, Byte(lineEnds));
      } else {
        text += Byte(lineEnds);
      }
    }
    return text;
  }

 private:
  std::mt19937 engine_;
};

class StringListFuzz : public testing::Test {
 protected:
  std::string WriteFile(const std::string& bytes) { return scratch_.Write("script.txt", bytes); }

  ScratchDirectory scratch_{"kelvo-string-list-fuzz"};
};

const char* const kSeparators[] = {",", "::", ",\"", "\\", "\x81,", "a", ""};

// Splits text with random settings and checks the result against the model
// and the invariants.
void CheckSplit(ByteSource& random, StringList& list, const std::string& bytes) {
  const char* text = bytes.c_str();
  const char* separator = kSeparators[random.Below(sizeof kSeparators / sizeof kSeparators[0])];
  const bool useQuotes = random.Chance(70);
  const bool removeQuotes = random.Chance(30);
  const bool trim = random.Chance(70);
  for (LeadByteTest isLeadByte : {NoLeadBytes, IsCodePage932LeadByte}) {
    SCOPED_TRACE(testing::Message()
                 << "separator \"" << separator << "\" quotes " << useQuotes << " remove "
                 << removeQuotes << " trim " << trim << " cp932 " << (isLeadByte != NoLeadBytes));
    const int count = list.Split(text, separator, useQuotes, removeQuotes, trim, isLeadByte);
    ASSERT_EQ(count, static_cast<int>(list.GetCount()));
    const Fields fields = EntriesOf(list);
    ASSERT_EQ(fields, ModelSplit(text, separator, useQuotes, removeQuotes, trim, isLeadByte))
        << "text: " << testing::PrintToString(std::string(text));

    // Every byte of a field comes from its own byte of the text.
    size_t total = 0;
    for (const std::string& field : fields) total += field.size();
    EXPECT_LE(total, std::strlen(text));

    // Plain cutting loses nothing but the separators.
    const bool hasBlank = std::strpbrk(text, " \t\r\n") != nullptr;
    if (!useQuotes && !trim && isLeadByte == NoLeadBytes && !hasBlank && *separator != '\0') {
      std::string joined = fields[0];
      for (size_t i = 1; i < fields.size(); ++i) joined += separator + fields[i];
      EXPECT_EQ(joined, text);
    }
  }
}

TEST_F(StringListFuzz, SplitMatchesModel) {
  ByteSource random(20240611);
  StringList list;
  for (int i = 0; i < 3000; ++i) {
    CheckSplit(random, list, random.Text(random.Chance(5) ? 5000 : 80, false));
    if (HasFatalFailure()) return;
  }
}

TEST_F(StringListFuzz, LoadFileKeepsItsInvariantsAndMatchesModel) {
  ByteSource random(977);
  StringList lines;
  StringList fields;
  for (int i = 0; i < 300; ++i) {
    std::string content;
    const uint32_t lineCount = random.Below(30);
    for (uint32_t line = 0; line < lineCount; ++line) {
      content += random.Text(random.Chance(10) ? 3000 : 60, true);
      content += random.Chance(30) ? "\r\n" : "\n";
    }
    if (random.Chance(50)) content += random.Text(40, true);
    // The Windows runtime ends a text-mode file at a Ctrl+Z byte.
    for (char& byte : content) {
      if (byte == '\x1A') byte = 'z';
    }

    const bool skipComments = random.Chance(70);
    lines.LoadFile(WriteFile(content).c_str(), skipComments);
    const Fields loaded = EntriesOf(lines);
    for (const std::string& line : loaded) {
      ASSERT_FALSE(line.empty());
      EXPECT_FALSE(IsBlankByte(line.front()));
      EXPECT_FALSE(IsBlankByte(line.back()));
      EXPECT_LE(line.size(), 1022u);
      EXPECT_EQ(line.find('\0'), std::string::npos);
      EXPECT_NE(content.find(line), std::string::npos);
      if (skipComments) {
        EXPECT_NE(line.compare(0, 2, "//"), 0);
      }
    }
    ASSERT_EQ(loaded, ModelLoad(content, skipComments));

    for (const std::string& line : loaded) {
      CheckSplit(random, fields, line);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
