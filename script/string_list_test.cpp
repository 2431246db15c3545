// Tests of StringList: trimming, field splitting, loading script files and
// reading entries back.
#include "script/string_list.h"
#include "platform/paths.h"
#include "testing/scratch_directory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Fields = std::vector<std::string>;

Fields EntriesOf(const StringList& list) {
  Fields entries;
  for (unsigned i = 0; i < list.GetCount(); ++i) entries.emplace_back(list.GetValue(i));
  return entries;
}

bool NoLeadBytes(unsigned char) { return false; }

// Splits with the settings the script reader uses: ",", quotes honoured and
// kept, every field trimmed.
Fields SplitLine(const char* text, LeadByteTest isLeadByte = NoLeadBytes) {
  StringList list;
  const int count = list.Split(text, ",", true, false, true, isLeadByte);
  EXPECT_EQ(count, static_cast<int>(list.GetCount()));
  return EntriesOf(list);
}

// A text of the given length without blanks, varied so that pieces of it can
// be told apart.
std::string Letters(size_t length, char first = 'a') {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>(first + i % 26);
  return text;
}

// --- TrimBlanks ------------------------------------------------------------

TEST(TrimBlanksTest, RemovesSpaceTabCrAndLfAtBothEndsOnly) {
  EXPECT_EQ(TrimBlanks(""), "");
  EXPECT_EQ(TrimBlanks(" \t\r\n \n"), "");
  EXPECT_EQ(TrimBlanks("x"), "x");
  EXPECT_EQ(TrimBlanks(" \t a  b \r\n"), "a  b");
  EXPECT_EQ(TrimBlanks("\r\nline\r\n"), "line");
}

TEST(TrimBlanksTest, KeepsOtherWhiteSpaceAndFullWidthSpace) {
  EXPECT_EQ(TrimBlanks("\va\f"), "\va\f");
  EXPECT_EQ(TrimBlanks(" \x81\x40name "), "\x81\x40name");
  EXPECT_EQ(TrimBlanks(std::string("\0a\0", 3)), std::string("\0a\0", 3));
}

// --- Lead bytes --------------------------------------------------------------

TEST(StringListLeadByteTest, CodePage932LeadByteRanges) {
  for (int byte : {0x81, 0x82, 0x9F, 0xE0, 0xEF, 0xFC}) {
    EXPECT_TRUE(IsCodePage932LeadByte(static_cast<unsigned char>(byte))) << byte;
  }
  for (int byte : {0x00, 0x22, 0x2C, 0x5C, 0x7F, 0x80, 0xA0, 0xDF, 0xFD, 0xFF}) {
    EXPECT_FALSE(IsCodePage932LeadByte(static_cast<unsigned char>(byte))) << byte;
  }
}

// --- Split -------------------------------------------------------------------

TEST(SplitTest, ScriptLineExamples) {
  struct Case {
    const char* text;
    Fields fields;
  };
  const Case cases[] = {
      {"AddFile, a.wav , \"b, c.wav\"", {"AddFile", "a.wav", "\"b, c.wav\""}},
      {"AddFile, a.wav , 'b, c.wav'", {"AddFile", "a.wav", "'b, c.wav'"}},
      {"SetInterval,60", {"SetInterval", "60"}},
      {"AddFile,,", {"AddFile", "", ""}},
      {"", {""}},
      {",", {"", ""}},
      {"SetSourcePath, C:\\wav\\", {"SetSourcePath", "C:\\wav\\"}},
      {"AddFile, say \\'hi\\'.wav, x", {"AddFile", "say 'hi'.wav", "x"}},
      {"AddFile, say \\\"hi\\\".wav, x", {"AddFile", "say \"hi\".wav", "x"}},
      {"AddFile, it's.wav, b.wav", {"AddFile", "it's.wav, b.wav"}},
      {"a\\,b", {"a\\", "b"}},
      {"AddFile\t,\tx", {"AddFile", "x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SplitLine(c.text), c.fields);
  }
}

// Lead bytes are 0x80 and above in every code page; 0xF0 stands for one.
bool LeadIsF0(unsigned char byte) { return byte == 0xF0; }

// Quotes and backslashes as the script reader splits them, with and without
// the lead bytes of a double-byte code page.
TEST(SplitTest, QuotesBackslashesAndLeadBytes) {
  const char* const sjis = "AddFile, \x95\\\"a, b\", c";
  struct Case {
    const char* name;
    const char* text;
    LeadByteTest isLeadByte;
    Fields fields;
  };
  const Case cases[] = {
      {"a double quote closes a part", "a, 'b, c\", d", NoLeadBytes, {"a", "'b, c\"", "d"}},
      {"an apostrophe closes a part", "a, \"b, c', d", NoLeadBytes, {"a", "\"b, c'", "d"}},
      {"a quoted part inside a field", "pre\"x,y\"post, z", NoLeadBytes, {"pre\"x,y\"post", "z"}},
      {"blanks inside a quoted part", "a, \" spaced \" ", NoLeadBytes, {"a", "\" spaced \""}},
      {"an escaped quote does not close", "\"a\\\"b, c\", d", NoLeadBytes, {"\"a\"b, c\"", "d"}},
      {"an escaped quote does not open", "\\'a, b", NoLeadBytes, {"'a", "b"}},
      {"a backslash before a backslash stays", "a\\\\b", NoLeadBytes, {"a\\\\b"}},
      {"a backslash at the end stays", "end\\", NoLeadBytes, {"end\\"}},
      // The second backslash of a pair still escapes the quote after it, so
      // the quote opens nothing and the separator cuts.
      {"the second backslash of a pair escapes", "a\\\\\"b,c", NoLeadBytes, {"a\\\"b", "c"}},
      // 0x95 0x5C is one code page 932 character: the quote after it opens a
      // quoted part, so the commas inside it do not cut.
      {"a double-byte character's backslash",
       sjis,
       IsCodePage932LeadByte,
       {"AddFile", "\x95\\\"a, b\"", "c"}},
      // Without lead bytes the same backslash escapes the quote; the next
      // quote then opens a part that runs to the end.
      {"the same bytes without lead bytes", sjis, NoLeadBytes, {"AddFile", "\x95\"a", "b\", c"}},
      {"a separator after a lead byte does not cut", "a\xF0,b,c", LeadIsF0, {"a\xF0,b", "c"}},
      {"a quote after a lead byte does not close", "\"\xF0\", a", LeadIsF0, {"\"\xF0\", a"}},
      {"a lead byte at the end stands alone", "a,b\xF0", LeadIsF0, {"a", "b\xF0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SplitLine(c.text, c.isLeadByte), c.fields);
  }
}

// Split's settings other than the script reader's: quotes off or removed,
// no trimming, a separator of two bytes or none.
TEST(SplitTest, QuoteTrimAndSeparatorSettings) {
  struct Settings {
    const char* separator;
    bool useQuotes;
    bool removeQuotes;
    bool trim;
    LeadByteTest isLeadByte = NoLeadBytes;
  };
  const Settings quotesOff{",", false, false, true};
  const Settings removed{",", true, true, true};
  const Settings removedUntrimmed{",", true, true, false};
  const Settings twoBytes{"::", true, false, true};
  const Settings leadIsF0{",", false, false, true, LeadIsF0};
  struct Case {
    const char* name;
    const char* text;
    Settings with;
    Fields fields;
  };
  const Case cases[] = {
      {"quotes off, a quote", "AddFile, 'b, c.wav'", quotesOff, {"AddFile", "'b", "c.wav'"}},
      {"quotes off, a backslash", "a\\\"b", quotesOff, {"a\\\"b"}},
      {"quotes off, a lead byte takes the next", "\xF0,a,b", leadIsF0, {"\xF0,a", "b"}},
      {"quotes removed", "AddFile, ' a.wav ', b", removed, {"AddFile", "a.wav", "b"}},
      {"quotes removed, escaped kept", "x\"a,b\"y, \\\"q\\'", removed, {"xa,by", "\"q'"}},
      {"a quote opens to the end", "'open, to the end", removedUntrimmed, {"open, to the end"}},
      // Without trim only the last field keeps its blanks.
      {"trim off", " a , b ", {",", true, false, false}, {"a", " b "}},
      {"a two-byte separator", "a::b:c::", twoBytes, {"a", "b:c", ""}},
      {"half a two-byte separator does not cut", "a:", twoBytes, {"a:"}},
      {"a two-byte separator inside quotes", "'a::b'::c", twoBytes, {"'a::b'", "c"}},
      {"an empty separator never cuts", "a,b", {"", true, false, true}, {"a,b"}},
  };
  // One list for all cases: each split replaces the entries of the one before.
  StringList list;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Settings& with = c.with;
    EXPECT_EQ(list.Split(c.text, with.separator, with.useQuotes, with.removeQuotes, with.trim,
                         with.isLeadByte),
              static_cast<int>(c.fields.size()));
    EXPECT_EQ(EntriesOf(list), c.fields);
  }
}

TEST(SplitTest, AbsentTextEmptiesTheList) {
  StringList list;
  list.Split("a,b", ",", true, false, true, NoLeadBytes);
  EXPECT_EQ(list.Split(nullptr, ",", true, false, true, NoLeadBytes), 0);
  EXPECT_EQ(list.GetCount(), 0u);
}

TEST(SplitTest, EachSplitReplacesTheEntries) {
  StringList list;
  list.Split("a,b,c", ",", true, false, true, NoLeadBytes);
  EXPECT_EQ(list.Split("d", ",", true, false, true, NoLeadBytes), 1);
  EXPECT_EQ(EntriesOf(list), (Fields{"d"}));
}

TEST(SplitTest, FieldsLongerThan4095BytesStayWhole) {
  const std::string longField = Letters(10000);
  const std::string text = "AddFile, " + longField + ", \"" + longField + "\\\"\"";
  EXPECT_EQ(SplitLine(text.c_str()), (Fields{"AddFile", longField, "\"" + longField + "\"\""}));
}

// --- StringList accessors -------------------------------------------------------

TEST(StringListTest, NewListIsEmptyWithEmptyLabel) {
  StringList list;
  EXPECT_EQ(list.GetCount(), 0u);
  EXPECT_TRUE(list.label.empty());
}

TEST(StringListTest, ClearRemovesEveryEntry) {
  StringList list;
  list.Split("a,b", ",", true, false, true, NoLeadBytes);
  list.Clear();
  EXPECT_EQ(list.GetCount(), 0u);
}

TEST(StringListTest, GetValueReturnsEntriesInOrder) {
  StringList list;
  list.Split("first, second ,third", ",", true, false, true, NoLeadBytes);
  ASSERT_EQ(list.GetCount(), 3u);
  EXPECT_EQ(list.GetValue(0), "first");
  EXPECT_EQ(list.GetValue(1), "second");
  EXPECT_EQ(list.GetValue(2), "third");
}

// Joins fields with ",": Split with that separator and trim off gives them back.
std::string Joined(const Fields& fields) {
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i) text += (i > 0 ? "," : "") + fields[i];
  return text;
}

// Fields of many lengths, empty ones included.
Fields VariedFields(size_t count, char first) {
  Fields fields;
  for (size_t i = 0; i < count; ++i) fields.push_back(Letters((i * 7 + first) % 30, first));
  return fields;
}

TEST(StringListTest, EveryEntryOfALongListReadsBackWithAZeroAfterIt) {
  const Fields fields = VariedFields(70, 'a');
  StringList list;
  ASSERT_EQ(list.Split(Joined(fields).c_str(), ",", false, false, false, NoLeadBytes), 70);
  for (unsigned i = 0; i < list.GetCount(); ++i) {
    SCOPED_TRACE(i);
    const std::string_view value = list.GetValue(i);
    EXPECT_EQ(value, fields[i]);
    EXPECT_EQ(value.data()[value.size()], '\0');
  }
  // Visiting in order gives the same entries, empty ones included.
  unsigned visited = 0;
  list.ForEachValue([&](std::string_view value) {
    ASSERT_LT(visited, fields.size());
    EXPECT_EQ(value, fields[visited]) << visited;
    EXPECT_EQ(value.data(), list.GetValue(visited).data());
    ++visited;
  });
  EXPECT_EQ(visited, 70u);
}

TEST(StringListTest, GetValueIntReadsEveryEntryOfALongList) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += std::to_string(i * 1000 - 7) + ";";
  StringList list;
  ASSERT_EQ(list.Split(text.c_str(), ";", false, false, true, NoLeadBytes), 41);
  for (unsigned i = 0; i < 40; ++i) EXPECT_EQ(list.GetValueInt(i), static_cast<int>(i) * 1000 - 7);
  EXPECT_EQ(list.GetValueInt(40), 0);
}

TEST(StringListTest, RefillingLeavesNothingOfTheEarlierEntries) {
  StringList list;
  const Fields longer = VariedFields(50, 'a');
  const Fields shorter = VariedFields(20, 'k');
  list.Split(Joined(longer).c_str(), ",", false, false, false, NoLeadBytes);
  list.Split(Joined(shorter).c_str(), ",", false, false, false, NoLeadBytes);
  EXPECT_EQ(EntriesOf(list), shorter);
  list.Clear();
  list.Split(Joined(longer).c_str(), ",", false, false, false, NoLeadBytes);
  EXPECT_EQ(EntriesOf(list), longer);
}

TEST(StringListTest, GetValueIntReadsLikeAtoiAndSaturatesOnOverflow) {
  struct Case {
    const char* text;
    int value;
  };
  const Case cases[] = {
      {"60", 60},
      {"15sec", 15},
      {"-5", -5},
      {"abc", 0},
      {"", 0},
      {"+7", 7},
      {"  42", 42},
      {"\t\n\v\f\r9", 9},
      {"- 5", 0},
      {"+-5", 0},
      {"12 34", 12},
      {"007", 7},
      {"0x10", 0},
      {"\x81@5", 0},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      // Beyond the range it saturates.
      {"2147483648", INT_MAX},
      {"-2147483649", INT_MIN},
      {"99999999999999999999999999", INT_MAX},
      {"-99999999999999999999999999", INT_MIN},
      {"4294967296", INT_MAX},
      {"18446744073709551617x", INT_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    StringList list;
    // With no separator in it and trim off, the text is the one entry as it is.
    const int count = list.Split(c.text, ",", false, false, false, NoLeadBytes);
    EXPECT_EQ(count, 1);
    if (count == 1) {
      EXPECT_EQ(list.GetValueInt(0), c.value);
    }
  }
}

TEST(StringListDeathTest, BadIndexEndsTheProcessWithStatus3) {
  StringList list;
  list.Split("a,b", ",", true, false, true, NoLeadBytes);
  EXPECT_EQ(list.GetValue(1), "b");
  EXPECT_EXIT(list.GetValue(2), testing::ExitedWithCode(3), "");
  EXPECT_EXIT(list.GetValueInt(2), testing::ExitedWithCode(3), "");
  StringList empty;
  EXPECT_EXIT(empty.GetValue(0), testing::ExitedWithCode(3), "");
}

// --- LoadFile --------------------------------------------------------------------

class LoadFileTest : public testing::Test {
 protected:
  // Writes bytes exactly as given (no line-end conversion) and returns the path.
  std::string WriteFile(const std::string& bytes, const char* name = "script.txt") {
    return directory_.Write(name, bytes);
  }

  Fields Load(const std::string& bytes, bool skipComments = true) {
    StringList list;
    list.LoadFile(WriteFile(bytes).c_str(), skipComments);
    return EntriesOf(list);
  }

  ScratchDirectory directory_{"kelvo-load-file"};
};

// What a file's lines become: trimmed entries in order, blank lines and
// comments dropped, long lines in pieces of 1022 bytes, each piece trimmed
// and tested on its own.
TEST_F(LoadFileTest, LinesBecomeEntries) {
  const std::string comments =
      "// comment\n"
      "    // indented comment\n"
      "/\n"
      "/ not a comment\n"
      "AddFile, a.wav // trailing text stays\n"
      "x//y\n";
  const std::string l2500 = Letters(2500);
  // The first 1022 bytes of a 1500-byte comment are dropped; the remaining
  // 478 bytes are a piece of their own, stored when not a comment.
  const std::string comment = "//" + Letters(1498);
  const std::string commentTwice = "//" + Letters(1020) + "  //" + Letters(474);
  const std::string l1022 = Letters(1022);
  const std::string l1023 = Letters(1023);
  struct Case {
    const char* name;
    std::string bytes;
    Fields entries;
    bool skipComments = true;
  };
  const Case cases[] = {
      {"trimmed lines in order, blank ones dropped",
       "  SetInterval, 60  \n"
       "\n"
       " \t \n"
       "\r\n"
       "AddFile,  a.wav,   b.wav\t\n"
       "\tlast\n",
       {"SetInterval, 60", "AddFile,  a.wav,   b.wav", "last"}},
      {"comments start with two slashes after trimming",
       comments,
       {"/", "/ not a comment", "AddFile, a.wav // trailing text stays", "x//y"}},
      {"comments kept when not skipped",
       comments,
       {"// comment", "// indented comment", "/", "/ not a comment",
        "AddFile, a.wav // trailing text stays", "x//y"},
       false},
      {"an empty file", "", {}},
      {"a file of blank lines and a comment", "\n\n  \n// only a comment\n\t\r\n", {}},
      {"a last line without a line feed", "a\nb", {"a", "b"}},
      {"a single line without a line feed", "single", {"single"}},
      {"a long line in pieces of 1022 bytes",
       l2500 + "\nnext\n",
       {l2500.substr(0, 1022), l2500.substr(1022, 1022), l2500.substr(2044), "next"}},
      {"the rest of a long comment is a piece of its own", comment + "\n", {comment.substr(1022)}},
      // A remaining piece that itself starts with "//" after trimming is dropped.
      {"the rest of a long line that is a comment again", commentTwice + "\nx\n", {"x"}},
      {"a piece that starts with blanks is trimmed", l1022 + "   tail", {l1022, "tail"}},
      {"a line of 1022 bytes and its line feed", l1022 + "\nnext\n", {l1022, "next"}},
      {"a line of 1023 bytes", l1023 + "\n", {l1023.substr(0, 1022), l1023.substr(1022)}},
      {"a zero byte ends the text of its line", std::string("ab\0cd\nef\n", 9), {"ab", "ef"}},
      {"a line that starts with a zero byte", std::string("\0lost\nkept", 10), {"kept"}},
      // 0x81 0x40 is the full-width space of code page 932.
      {"a full-width space at the start is not trimmed", "\x81@AddFile\n", {"\x81@AddFile"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Load(c.bytes, c.skipComments), c.entries);
  }
}

// Each entry knows the file line it comes from: blank lines and comments
// count, the pieces of a long line share its number, and CR LF, UTF-16 and
// a missing last line feed change nothing.
TEST_F(LoadFileTest, EntriesKnowTheirLineNumbers) {
  const std::string longLine(1500, 'x');
  struct Case {
    std::string bytes;
    bool skipComments;
    std::vector<unsigned> expected;
  };
  for (const Case& c : {
           Case{"a\n\n  \nb\n// c\nd", true, {1, 4, 6}},
           Case{"a\n\n  \nb\n// c\nd", false, {1, 4, 5, 6}},
           Case{"a\r\n\r\nb\r\n", true, {1, 3}},
           Case{longLine + "\nz\n", true, {1, 1, 2}},
           Case{std::string(1022, 'y') + "\nz\n", true, {1, 2}},
           Case{std::string("\xFF\xFE"
                            "a\0\n\0\n\0b\0",
                            10),
                true,
                {1, 3}},
       }) {
    StringList list;
    std::vector<unsigned> numbers{99};
    list.LoadFile(WriteFile(c.bytes).c_str(), c.skipComments, &numbers);
    EXPECT_EQ(numbers, c.expected) << c.bytes.substr(0, 40);
    EXPECT_EQ(numbers.size(), list.GetCount());
  }
}

// Text that became UTF-8 is split by UTF-8's rules whatever the system's
// code page; text read as it is, by the system's; and on Windows Unicode
// text becomes the system's code page, so its rules hold there too.
TEST_F(LoadFileTest, LeadBytesFollowWhatTheTextBecame) {
  StringList list;
  list.LoadFile(WriteFile("AddFile,a,b\n").c_str(), true);
  EXPECT_EQ(list.LeadBytes(), &IsSystemLeadByte);
  const std::string utf16(
      "\xFF\xFE"
      "A\0,\0B\0",
      8);
  const std::string utf8WithMark =
      "\xEF\xBB\xBF"
      "A,B";
  for (const std::string& bytes : {utf16, utf8WithMark}) {
    list.LoadFile(WriteFile(bytes).c_str(), true);
    ASSERT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(list.GetValue(0), "A,B");
    if (SystemTextIsAnsiCodePage()) {
      EXPECT_EQ(list.LeadBytes(), &IsSystemLeadByte);
    } else {
      // Not the locale's test, and no byte that starts a character in code
      // page 932 either.
      EXPECT_NE(list.LeadBytes(), &IsSystemLeadByte);
      for (int byte = 0x80; byte <= 0xFF; ++byte)
        EXPECT_FALSE(list.LeadBytes()(static_cast<unsigned char>(byte))) << byte;
    }
  }
}

// A script is read as Unicode for a byte-order mark, or for bytes that are
// all UTF-8 with at least one character beyond ASCII; as ANSI otherwise.
TEST(ScriptReadingTest, AMarkOrMultiByteUtf8MakesAUnicodeReading) {
  struct Case {
    const char* name;
    std::string bytes;
    ScriptReading expected;
  };
  for (const Case& c : {
           Case{"empty", "", ScriptReading::Ansi},
           Case{"ASCII only", "AddFile,a,b\n", ScriptReading::Ansi},
           Case{"UTF-8 e acute", "AddFile,d\xC3\xA9,s\n", ScriptReading::Utf8NoMark},
           Case{"Japanese, Cyrillic and an emoji", "\xE3\x81\x82 \xD0\x96 \xF0\x9F\x98\x80",
                ScriptReading::Utf8NoMark},
           // The lone 0xE9 of "caf\xE9" is no UTF-8, though "\xC3\xA9" would be.
           Case{"code page 1252 with a UTF-8 look-alike",
                "AddFile,caf\xE9.txt,s\nAddFile,\xC3\xA9t.txt,s\n", ScriptReading::Ansi},
           Case{"code page 932", "AddFile,\x95\x5C.txt,s\n", ScriptReading::Ansi},
           Case{"overlong two bytes", "\xC0\xAF", ScriptReading::Ansi},
           Case{"overlong three bytes", "\xE0\x80\xAF", ScriptReading::Ansi},
           Case{"surrogate", "\xED\xA0\x80", ScriptReading::Ansi},
           Case{"beyond U+10FFFF", "\xF4\x90\x80\x80", ScriptReading::Ansi},
           Case{"cut short", "a\xE3\x81", ScriptReading::Ansi},
           Case{"lone continuation byte", "a\x80", ScriptReading::Ansi},
           Case{"UTF-8 mark",
                "\xEF\xBB\xBF"
                "AddFile",
                ScriptReading::Utf8Mark},
           Case{"UTF-8 mark and cp1252",
                "\xEF\xBB\xBF"
                "caf\xE9",
                ScriptReading::Utf8Mark},
           Case{"UTF-16 little-endian",
                std::string("\xFF\xFE"
                            "a\0",
                            4),
                ScriptReading::Utf16Mark},
           Case{"UTF-16 big-endian", std::string("\xFE\xFF\0a", 4), ScriptReading::Utf16Mark},
       }) {
    EXPECT_EQ(ReadingOf(c.bytes), c.expected) << c.name;
  }
  EXPECT_STREQ(ReadingName(ScriptReading::Utf8NoMark), "UTF-8 (no mark)");
  EXPECT_STREQ(ReadingName(ScriptReading::Ansi), "ANSI");
}

// A file's reading is that of all its bytes, though it is read in chunks:
// a character the chunks cut, a byte of no UTF-8 far into the file, and a
// character the file's end cuts.
TEST_F(LoadFileTest, AFilesReadingIsThatOfAllItsBytes) {
  const std::string start(65535, 'a');
  const std::string hiraganaA = "\xE3\x81\x82";
  EXPECT_EQ(ReadingOfFile(WriteFile(start + hiraganaA + "\n").c_str()), ScriptReading::Utf8NoMark);
  const std::string late = start + hiraganaA + std::string(100000, 'b') + "\xE9\n";
  EXPECT_EQ(ReadingOfFile(WriteFile(late).c_str()), ScriptReading::Ansi);
  EXPECT_EQ(ReadingOfFile(WriteFile(start + "\xE3\x81").c_str()), ScriptReading::Ansi);
  EXPECT_EQ(ReadingOfFile(WriteFile("").c_str()), ScriptReading::Ansi);
  EXPECT_EQ(ReadingOfFile(WriteFile(std::string("\xFF\xFE"
                                                "a\0",
                                                4))
                              .c_str()),
            ScriptReading::Utf16Mark);
  EXPECT_EQ(ReadingOfFile(WriteFile("\xEF\xBB\xBF").c_str()), ScriptReading::Utf8Mark);
  StringList list;
  list.LoadFile(WriteFile(late).c_str(), true);
  EXPECT_EQ(list.Reading(), ScriptReading::Ansi);
  ASSERT_GT(list.GetCount(), 0u);
  EXPECT_EQ(list.GetValue(list.GetCount() - 1).back(), '\xE9');
}

// With UTF-8 names (what a run takes on for a Unicode script), every
// Unicode form gives the same UTF-8 lines, split by UTF-8's rules; an ANSI
// script stays byte for byte.
TEST_F(LoadFileTest, EveryUnicodeFormGivesTheSameUtf8Lines) {
  struct Utf8Names {
    Utf8Names() { SetUtf8Names(true); }
    ~Utf8Names() { SetUtf8Names(false); }
  } utf8Names;
  const std::string line = "AddFile,\xC3\xA9\xE3\x81\x82\xD0\x96\xF0\x9F\x98\x80,s";
  // The same line in UTF-16 LE: e acute, HIRAGANA A, ZHE and an emoji (a
  // surrogate pair).
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("AddFile,")) utf16 += std::string(1, c) + '\0';
  utf16 += std::string("\xE9\0\x42\x30\x16\x04\x3D\xD8\x00\xDE,\0s\0\r\0\n\0", 18);
  struct Case {
    std::string bytes;
    ScriptReading reading;
  };
  for (const Case& c : {Case{line + "\r\n", ScriptReading::Utf8NoMark},
                        Case{"\xEF\xBB\xBF" + line + "\n", ScriptReading::Utf8Mark},
                        Case{utf16, ScriptReading::Utf16Mark}}) {
    StringList list;
    list.LoadFile(WriteFile(c.bytes).c_str(), true);
    EXPECT_EQ(list.Reading(), c.reading);
    EXPECT_EQ(EntriesOf(list), Fields{line});
    for (int byte = 0x80; byte <= 0xFF; ++byte)
      EXPECT_FALSE(list.LeadBytes()(static_cast<unsigned char>(byte))) << byte;
  }
  const std::string ansi = "AddFile,caf\xE9.txt,s\nAddFile,\xC3\xA9t.txt,s\n";
  StringList list;
  list.LoadFile(WriteFile(ansi).c_str(), true);
  EXPECT_EQ(list.Reading(), ScriptReading::Ansi);
  EXPECT_EQ(EntriesOf(list), (Fields{"AddFile,caf\xE9.txt,s", "AddFile,\xC3\xA9t.txt,s"}));
}

TEST_F(LoadFileTest, ManyLinesOfEveryLengthKeepTheirText) {
  std::string file;
  Fields expected;
  for (size_t i = 0; i < 300; ++i) {
    const std::string line = Letters(1 + (i * 337) % 1022, static_cast<char>('a' + i % 7));
    file += line + (i % 3 == 0 ? "\n\n" : "\n");
    expected.push_back(line);
  }
  EXPECT_EQ(Load(file), expected);
  // A list loaded again holds the second file's lines only.
  StringList list;
  list.LoadFile(WriteFile(file, "first.txt").c_str(), true);
  list.LoadFile(WriteFile("x\ny\n", "second.txt").c_str(), true);
  EXPECT_EQ(EntriesOf(list), (Fields{"x", "y"}));
}

TEST_F(LoadFileTest, CrLfFileGivesTheSameEntriesAsLfFile) {
  // Lengths around the piece size: the CR must never leave a piece of its own
  // or shift where a line is cut.
  const std::string l1021 = Letters(1021);
  const std::string l1022 = Letters(1022);
  const std::string l2044 = Letters(2044);
  const std::string l2500 = Letters(2500);
  const Fields lines = {"SetInterval, 60", l1021, l1022, l2044, l2500, "a\rb", "end"};
  const Fields expected = {"SetInterval, 60",
                           l1021,
                           l1022,
                           l2044.substr(0, 1022),
                           l2044.substr(1022),
                           l2500.substr(0, 1022),
                           l2500.substr(1022, 1022),
                           l2500.substr(2044),
                           "a\rb",
                           "end"};
  std::string lf;
  std::string crlf;
  for (const std::string& line : lines) {
    lf += line + "\n";
    crlf += line + "\r\n";
  }
  EXPECT_EQ(Load(lf), expected);
  EXPECT_EQ(Load(crlf + "\r\n  \r\n"), expected);
}

TEST_F(LoadFileTest, FileThatCannotBeReadEmptiesTheList) {
  StringList list;
  list.LoadFile(WriteFile("a\nb\n").c_str(), true);
  ASSERT_EQ(list.GetCount(), 2u);
  list.LoadFile(directory_.At("missing.txt").c_str(), true);
  EXPECT_EQ(list.GetCount(), 0u);

  list.LoadFile(WriteFile("a\nb\n").c_str(), true);
  ASSERT_EQ(list.GetCount(), 2u);
  // A directory either fails to open or fails on the first read.
  list.LoadFile(directory_.Path().string().c_str(), true);
  EXPECT_EQ(list.GetCount(), 0u);
}

}  // namespace
