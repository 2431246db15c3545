// End-to-end tests of kelvo-check: how it reads scripts, the warnings and
// errors with their lines, its exit statuses, and a dry run that draws what
// kelvo's first pass draws.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "testing/required_tools.h"
#include "tests/harness.h"

namespace {

bool IsWindows() { return TestedProgram().IsWindows(); }

// Runs kelvo-check; CR LF on standard error (Windows) folded to LF.
RunResult Check(const ScratchFolder& folder, std::vector<std::string> arguments = {}) {
  RunOptions options = WithArguments(std::move(arguments));
  options.checker = true;
  RunResult result = folder.Run(options);
  for (size_t at = result.err.find("\r\n"); at != std::string::npos;
       at = result.err.find("\r\n", at))
    result.err.erase(at, 1);
  return result;
}

// A base folder as a script writes it: absolute, ending in a separator.
std::string BaseFolder(const ScratchFolder& folder, const std::string& name) {
  return folder.NativeAt(name) + (IsWindows() ? "\\" : "/");
}

// Every file of the folder (kelvo-check's own stderr capture aside) with
// its content.
std::map<std::string, std::string> Snapshot(const ScratchFolder& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& name : folder.List()) {
    if (name != ".stderr") files[name] = folder.Exists(name) ? folder.Read(name) : "";
  }
  return files;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every part stands in the text.
void ExpectParts(const std::string& text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) {
    EXPECT_TRUE(Has(text, part)) << "no \"" << part << "\" in\n" << text;
  }
}

// The text in UTF-16 with its byte-order mark, as Notepad saves it.
std::string Utf16LittleEndian(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

// Findings come on standard error only, each as SCRIPT:LINE: kind: text
// (SCRIPT: kind: text for the whole script, first), in line order; the
// reading and the summary on standard output.
void ExpectFindingsInLineOrder(const RunResult& result, const std::string& script = "kelvo.txt") {
  for (const char* kind : {": error: ", ": warning: ", ": note: "})
    EXPECT_FALSE(Has(result.out, kind)) << "a finding on standard output:\n" << result.out;
  EXPECT_TRUE(Has(result.out, "kelvo-check: reading ")) << result.out;
  unsigned previous = 0;
  size_t start = 0;
  while (start < result.err.size()) {
    const size_t end = result.err.find('\n', start);
    const std::string line = result.err.substr(start, end - start);
    start = end == std::string::npos ? result.err.size() : end + 1;
    ASSERT_EQ(line.compare(0, script.size(), script), 0) << line;
    std::string rest = line.substr(script.size());
    unsigned number = 0;
    if (rest.size() > 1 && rest[0] == ':' && rest[1] >= '0' && rest[1] <= '9') {
      const size_t digits = rest.find_first_not_of("0123456789", 1);
      ASSERT_GT(digits, 1u) << line;
      number = static_cast<unsigned>(std::stoul(rest.substr(1, digits - 1)));
      rest = rest.substr(digits);
    }
    EXPECT_TRUE(rest.rfind(": error: ", 0) == 0 || rest.rfind(": warning: ", 0) == 0 ||
                rest.rfind(": note: ", 0) == 0)
        << line;
    EXPECT_GE(number, previous) << "out of line order:\n" << result.err;
    previous = number;
  }
}

struct Case {
  const char* name;
  std::string script;                 // after "SetInterval,600\n" unless it sets its own
  std::vector<std::string> expected;  // parts of the report
  int status;
};

// Runs each case in a folder with pool/a.txt and pool/b.txt.
void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder;
    folder.Write("pool/a.txt", "A");
    folder.Write("pool/b.txt", "B");
    folder.Write("kelvo.txt", c.script);
    RunResult result = Check(folder);
    EXPECT_EQ(result.exitStatus, c.status) << result.out << result.err;
    ExpectParts(result.out + result.err, c.expected);
    ExpectFindingsInLineOrder(result);
  }
}

TEST(Check, ACleanScriptIsReadLineByLineAndSummedUp) {
  ScratchFolder folder;
  folder.Write("pool/a.txt", "A");
  folder.Write("pool/b.txt", "B");
  folder.Write("title.txt", "old");
  const std::string script = "// rotate the title\nSetInterval,600\n\nSetSourcePath," +
                             BaseFolder(folder, "pool") +
                             "\nAddFile,title.txt,a.txt\nAddFile,title.txt,b.txt\n"
                             "AddFile,title.txt,b.txt\n";
  folder.Write("kelvo.txt", script);
  const auto before = Snapshot(folder);

  RunResult result = Check(folder, {"--dry-run"});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  ExpectParts(result.out,
              {"line 1: comment, ignored.\n", "line 2: SetInterval, 600 seconds.\n",
               "line 4: SetSourcePath, \"" + BaseFolder(folder, "pool") + "\"",
               "line 7: AddFile, destination \"title.txt\" (" + folder.NativeAt("title.txt") +
                   "), source \"b.txt\" (" + BaseFolder(folder, "pool") + "b.txt).\n",
               "  log: " + folder.NativeAt("purlolog.html") + "\n",
               "waits 600000 ms before each replacement",
               "    33.3%  " + BaseFolder(folder, "pool") + "a.txt\n",
               "    66.7%  " + BaseFolder(folder, "pool") + "b.txt (listed 2 times)\n",
               "would replace " + BaseFolder(folder, "pool"), "0 errors, 0 warnings.\n"});
  EXPECT_FALSE(Has(result.out, "line 3")) << "a blank line is no script line";
  // Nothing written, not even the log.
  EXPECT_EQ(Snapshot(folder), before);
}

TEST(Check, WarningsNameTheLineAndTheFix) {
  const std::string interval = "SetInterval,600\n";
  std::vector<Case> cases = {
      {"miscased command",
       interval + "Addfile,d.txt,pool/a.txt\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:2: warning: command names are case-sensitive: write \"AddFile\" for "
        "\"Addfile\"."},
       1},
      {"blank for a comma",
       "SetInterval 600\nSetInterval,600\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:1: warning: unknown command \"SetInterval 600\": separate SetInterval from its "
        "values with commas"},
       1},
      {"home folder",
       interval + "AddFile,~/d.txt,pool/a.txt\n",
       {"kelvo.txt:2: warning: \"~/d.txt\": kelvo does not expand ~"},
       2},
      {"misspelled command",
       interval + "AdFile,d.txt,pool/a.txt\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:2: warning: unknown command \"AdFile\": did you mean \"AddFile\"?"},
       1},
      {"interval with a unit",
       "SetInterval,10m\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: SetInterval, 10 seconds.", "kelvo.txt:1: warning: \"10m\" is read as 10 seconds"},
       1},
      {"interval with a fraction",
       "SetInterval,1.5\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: SetInterval, 1 second.", "kelvo.txt:1: warning: \"1.5\" is read as 1 second:"},
       1},
      {"interval set twice",
       "SetInterval,600\nAddFile,d.txt,pool/a.txt\nSetInterval,60\n",
       {"kelvo.txt:3: warning: the interval is set again (first on line 1)"},
       1},
      {"less than a second per replacement",
       "SetInterval,1\nAddFile,d.txt,pool/a.txt\nAddFile,e.txt,pool/b.txt\n",
       {"kelvo.txt:1: warning: each replacement of a later pass waits 500 ms"},
       1},
      {"own candidate",
       interval + "AddFile,pool/a.txt,pool/a.txt\nAddFile,pool/a.txt,pool/b.txt\n",
       {"kelvo.txt:2: warning: ", "a.txt is listed as its own candidate: kelvo never overwrites",
        "a pass that draws another candidate fails"},
       1},
      {"only candidate",
       interval + "AddFile,pool/a.txt,pool/a.txt\n",
       {"a.txt is its only candidate: kelvo never overwrites"},
       1},
      {"one file named twice",
       interval + "AddFile,d.txt,pool/a.txt\nAddFile,pool/../d.txt,pool/b.txt\n",
       {"are one file: kelvo replaces it twice a pass"},
       1},
      {"own companion",
       interval + "AddFile,d.tmp,pool/a.txt\n",
       {"d.tmp is its own companion (its extension is .tmp): its old content is not kept.",
        "d.tmp (previous content not kept: it is its own companion)"},
       1},
      {"balanced quotes",
       interval + "AddFile,\"d.txt\",pool/a.txt\n",
       {"kelvo.txt:2: warning: an apostrophe or double quote opens a quoted part",
        "\"AddFile\", \"\"d.txt\"\", \"pool/a.txt\""},
       IsWindows() ? 2 : 1},  // Windows takes no quote in a name
      {"destination that is another's companion",
       interval + "AddFile,h.txt,pool/a.txt\nAddFile,h.tmp,pool/b.txt\n",
       {"kelvo.txt:3: warning: ", "h.tmp is the companion of ", "h.txt: each replacement of ",
        "h.txt puts its old content in "},
       1},
      {"destination that is a later one's companion",
       interval + "AddFile,h.tmp,pool/a.txt\nAddFile,h.ogg,pool/b.txt\n",
       {"h.tmp is the companion of ", "h.ogg puts its old content in "},
       1},
      {"shared companion",
       interval + "AddFile,d.txt,pool/a.txt\nAddFile,d.ogg,pool/b.txt\n",
       {"share the companion"},
       1},
      {"extra values",
       interval + "AddFile,d.txt,pool/a.txt,pool/b.txt\n",
       {"kelvo.txt:2: warning: AddFile takes 2 values; the rest is ignored: \"pool/b.txt\""},
       1},
      {"long line",
       interval + "//" + std::string(1100, 'x') + "\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:2: warning: the line is longer than 1022 bytes", "line 2: comment, ignored.",
        "line 2: \"xxxx"},
       1},
      {"quote that opens a quoted part",
       interval + "AddFile,d.txt,pool/a.txt,'b,c'\n",
       {"kelvo.txt:2: warning: an apostrophe or double quote opens a quoted part",
        "\"AddFile\", \"d.txt\", \"pool/a.txt\", \"'b,c'\""},
       1},
      {"quote that swallows a value",
       interval + "AddFile,it's.txt,pool/a.txt\n",
       {"line 2: AddFile with too few values.",
        "kelvo.txt:2: error: AddFile needs 2 values: kelvo ends at this line with a fatal error",
        "reads the values \"AddFile\", \"it's.txt,pool/a.txt\""},
       3},
      {"relative base folder",
       interval + "SetSourcePath,pool/\nAddFile,d.txt,a.txt\n",
       {"kelvo.txt:2: warning: a relative base folder: it is taken from the folder kelvo is "
        "started "
        "from"},
       2},
      {"base folder without separator",
       interval + "SetDestinationPath,sub\nAddFile,d.txt,pool/a.txt\n",
       {IsWindows() ? "kelvo.txt:2: warning: the base folder does not end with \\: names are joined"
                    : "kelvo.txt:2: warning: the base folder does not end with /: names are joined",
        "(sub and a.ogg give suba.ogg)"},
       1},
      {"name in the other system's form",
       interval + (IsWindows() ? "AddFile,/d.txt,pool/a.txt\n" : "AddFile,sub\\d.txt,pool/a.txt\n"),
       {IsWindows() ? "kelvo.txt:2: warning: \"/d.txt\" is a Linux name"
                    : "kelvo.txt:2: warning: \"sub\\d.txt\" is a Windows name"},
       1},
      {"lines ended by CR only",
       "SetInterval,600\rAddFile,d.txt,pool/a.txt\r",
       {"kelvo.txt: warning: the script's lines end in CR only",
        "kelvo.txt: error: no AddFile line"},
       2},
      {"zero byte in a script with a byte-order mark",
       "\xEF\xBB\xBF" + interval + std::string("AddFile,d.txt,pool/a.txt\0,junk\n", 31),
       {"kelvo.txt: warning: the script holds zero bytes: kelvo cuts each line at its first zero "
        "byte."},
       1},
      {"zero character in UTF-16",
       Utf16LittleEndian(interval + std::string("AddFile,d.txt,pool/a.txt\0,junk\n", 31)),
       {"kelvo.txt: warning: the script holds zero bytes: kelvo cuts each line at its first zero "
        "byte."},
       1},
      {"UTF-16 without a byte-order mark",
       std::string("S\0e\0t\0I\0n\0t\0e\0r\0v\0a\0l\0,\0001\0\n\0", 28),
       {"kelvo.txt: warning: the script holds zero bytes"},
       3},
  };
  if (IsWindows()) {
    cases.push_back({"names Windows reads otherwise",
                     interval + "AddFile,C:d.txt,pool/a.txt\nAddFile,e.txt.,pool/a.txt\n",
                     {"kelvo.txt:2: warning: \"C:d.txt\" holds a colon",
                      "kelvo.txt:3: warning: \"e.txt.\" ends with a dot or blank"},
                     1});
    // In code page 1252 (Wine's Western default) both names are text.
    cases.push_back(
        {"ANSI script whose bytes are not all UTF-8",
         interval + "AddFile,caf\xE9.txt,pool/a.txt\nAddFile,\xC3\xA9t.txt,pool/b.txt\n",
         {"kelvo.txt: note: the script is read as ANSI, its bytes as they are in the "
          "ANSI code page (1252)",
          "destination \"caf\xE9.txt\"", "0 errors, 0 warnings."},
         0});
  } else {
    cases.push_back(
        {"ANSI script whose bytes are not all UTF-8",
         interval + "AddFile,caf\xE9.txt,pool/a.txt\nAddFile,\xC3\xA9t.txt,pool/b.txt\n",
         {"kelvo.txt: note: the script is read as ANSI, its bytes as they are in",
          "destination \"caf\xE9.txt\""},
         1});
    cases.push_back({"escaped quote",
                     interval + "AddFile,d\\'s.txt,pool/a.txt\n",
                     {"destination \"d's.txt\"", "0 errors, 0 warnings."},
                     0});
    cases.push_back({"bytes of no text",
                     interval + "AddFile,d\x81.txt,pool/a.txt\n",
                     {"kelvo.txt: warning: the script holds bytes that are no text in"},
                     1});
  }
  // A script read as Unicode, whatever the system: its names are UTF-8.
  cases.push_back({"UTF-8 with a byte-order mark",
                   "\xEF\xBB\xBF" + interval + "AddFile,d\xC3\xA9.txt,pool/a.txt\n",
                   {"kelvo.txt: note: the script is read as UTF-8 (with a mark): its names are "
                    "UTF-8",
                    "destination \"d\xC3\xA9.txt\"", "0 errors, 0 warnings."},
                   0});
  cases.push_back({"UTF-8 without a byte-order mark",
                   interval + "AddFile,d\xC3\xA9.txt,pool/a.txt\n",
                   {"kelvo.txt: note: the script is read as UTF-8 (no mark): its names are UTF-8",
                    "destination \"d\xC3\xA9.txt\"", "0 errors, 0 warnings."},
                   0});
  cases.push_back({"UTF-16 with a byte-order mark",
                   // Each byte a character: U+00E9 is "é".
                   Utf16LittleEndian(interval + "AddFile,d\xE9.txt,pool/a.txt\n"),
                   {"kelvo.txt: note: the script is read as UTF-16 (with a mark): its names are "
                    "UTF-8",
                    "destination \"d\xC3\xA9.txt\"", "0 errors, 0 warnings."},
                   0});
  RunCases(cases);
}

// In Shift_JIS, 0x95 0x5C is one character whose second byte is that of a
// backslash: no Windows name.
TEST(Check, ADoubleByteCharacterHoldsNoBackslash) {
  if (IsWindows()) GTEST_SKIP() << "the locale is a Linux case";
  ScratchFolder folder;
  RunOptions options = WithArguments({});
  options.checker = true;
  options.environmentPrefix = ShiftJisLocalePrefix(folder);
  if (options.environmentPrefix.empty())
    SKIP_FOR_MISSING_TOOL("cannot make a Shift_JIS locale here");
  folder.Write("pool/a.txt", "A");
  folder.Write("kelvo.txt",
               "SetInterval,600\nAddFile,\x95\x5C.txt,pool/a.txt\n"
               "AddFile,sub\\d.txt,pool/a.txt\n");
  RunResult result = folder.Run(options);
  EXPECT_EQ(CountOf(result.err, "is a Windows name"), 1u) << result.out << result.err;
  EXPECT_TRUE(Has(result.err, "kelvo.txt:3: warning: \"sub\\d.txt\" is a Windows name"))
      << result.err;
}

TEST(Check, ErrorsAreWhatStopsKelvoOrAReplacement) {
  const std::string interval = "SetInterval,600\n";
  const std::string missing = IsWindows() ? "File not found" : "No such file or directory";
  RunCases({
      {"no destinations", interval, {"kelvo.txt: error: no AddFile line"}, 2},
      {"no interval",
       "AddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt: error: no SetInterval line: kelvo ends with \"Error, Interval equal 0.\""},
       3},
      {"interval of zero",
       "SetInterval,0\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:1: error: an interval of 0"},
       3},
      {"interval out of range",
       "SetInterval,2147484\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:1: error: the interval is out of range (1 to 2147483 seconds)"},
       3},
      {"too few values",
       interval + "AddFile,d.txt\nSetSourcePath\n",
       {"kelvo.txt:2: error: AddFile needs 2 values",
        "kelvo.txt:3: error: SetSourcePath needs 1 value"},
       3},
      {"destination folder",
       interval + "AddFile,pool,pool/a.txt\n",
       {"pool is a folder: only files are replaced."},
       2},
      {"missing source",
       interval + "AddFile,d.txt,pool/none.txt\n",
       {"kelvo.txt:2: error: the source ", "none.txt is missing: " + missing},
       2},
      {"source that is a folder",
       interval + "AddFile,d.txt,pool\n",
       {"kelvo.txt:2: error: the source ", "pool cannot be read: not a regular file."},
       2},
      {"missing destination folder",
       interval + "AddFile,none/d.txt,pool/a.txt\n",
       {"kelvo.txt:2: error: kelvo cannot create files in "},
       2},
      {"destination that is another's source",
       interval + "AddFile,pool/a.txt,pool/b.txt\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:2: error: ", "a.txt is listed as a source: kelvo never overwrites",
        "so every replacement of it fails"},
       2},
      {"fatal line before the pass",
       interval + "AddFile,d.txt,pool/a.txt\nAddFile,x.txt\nAddFile,e.txt\nSetInterval,0\n",
       {"kelvo.txt:3: error: AddFile needs 2 values: kelvo ends at this line",
        "kelvo.txt:4: error: AddFile needs 2 values: the same fatal error, once line 3 is mended."},
       3},
      {"bare SetInterval",
       "SetInterval\nAddFile,d.txt,pool/a.txt\n",
       {"kelvo.txt:1: error: SetInterval needs 1 value"},
       3},
  });

  if (IsWindows()) {
    RunCases({{"device names",
               interval + "AddFile,NUL,pool/a.txt\nAddFile,d.txt,com1.txt\n",
               {"kelvo.txt:2: error: ", "NUL names a device", "kelvo.txt:3: error: the source ",
                "com1.txt names a device"},
               2}});
  }

  // kelvo ends with a fatal error when it cannot write its log, and one
  // that ends at start makes no pass to show.
  ScratchFolder blocked;
  blocked.Write("a.txt", "A");
  blocked.Write("kelvo.txt", interval + "AddFile,d.txt,a.txt\n");
  blocked.Write("purlolog.html/x", "");
  RunResult log = Check(blocked, {"--dry-run"});
  EXPECT_EQ(log.exitStatus, 3);
  EXPECT_TRUE(Has(log.err, "kelvo.txt: error: kelvo cannot write its log ")) << log.err;
  EXPECT_TRUE(Has(log.out, "Dry run: kelvo makes no pass")) << log.out;

  ScratchFolder empty;
  RunResult result = Check(empty);
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_TRUE(Has(result.err, "kelvo.txt: error: the script is not found")) << result.err;
  // A folder (or a FIFO, which would hold the check up) is no script; a
  // script named on the command line is named so in the findings.
  empty.Write("sub/x", "");
  result = Check(empty, {empty.NativeAt("sub")});
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.err,
            empty.NativeAt("sub") + ": error: the script cannot be read: not a regular file.\n");
}

// Findings come in the order of the lines they are about, though the
// checks of the files run after the line-by-line reading.
TEST(Check, FindingsComeInLineOrderOnStandardError) {
  ScratchFolder folder;
  folder.Write("pool/a.txt", "A");
  folder.Write("kelvo.txt",
               "SetInterval,600\nAddFile,d.txt,pool/none.txt\nAddFile,e.txt,pool/a.txt\n"
               "AdFile,x,y\n");
  RunResult result = Check(folder);
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  ExpectFindingsInLineOrder(result);
  const size_t missing = result.err.find("kelvo.txt:2: error: the source ");
  const size_t unknown = result.err.find("kelvo.txt:4: warning: unknown command \"AdFile\"");
  ASSERT_NE(missing, std::string::npos) << result.err;
  ASSERT_NE(unknown, std::string::npos) << result.err;
  EXPECT_LT(missing, unknown) << result.err;
  ExpectParts(result.out, {"line 4: \"AdFile\" is no command, line ignored.\n", "Summary:\n",
                           "\n1 error, 1 warning.\n"});
}

// kelvo ends at a line with too few values before it replaces anything:
// the summary says so instead of listing destinations.
TEST(Check, AFatalLineEndsTheSummaryWithWhereKelvoStops) {
  const std::string stops = "kelvo stops at line ";
  for (const auto& [script, line] : std::vector<std::pair<std::string, std::string>>{
           {"AddFile,d.txt\nSetInterval,600\n", "1"},
           {"SetInterval,600\nAddFile,d.txt,pool/a.txt\nAddFile,e.txt\n", "3"}}) {
    ScratchFolder folder;
    folder.Write("pool/a.txt", "A");
    folder.Write("kelvo.txt", script);
    RunResult result = Check(folder, {"--dry-run"});
    SCOPED_TRACE(script);
    EXPECT_EQ(result.exitStatus, 3) << result.err;
    EXPECT_TRUE(Has(result.out, "  log: " + folder.NativeAt("purlolog.html") + "\n  " + stops +
                                    line + " with a fatal error and replaces nothing.\n"))
        << result.out;
    EXPECT_FALSE(Has(result.out, "destinations, in the order")) << result.out;
    EXPECT_FALSE(Has(result.out, "interval:")) << result.out;
    EXPECT_TRUE(Has(result.out, "Dry run: kelvo makes no pass")) << result.out;
  }
}

// kelvo takes comments only on lines of their own: "// b" after a value is
// part of the name.
TEST(Check, ACommentAfterAValueIsPartOfTheName) {
  const std::string interval = "SetInterval,600\n";
  RunCases({
      {"comment after a tab",
       interval + "AddFile,d.txt,pool/b.txt\t// b\n",
       {"kelvo.txt:2: warning: \"pool/b.txt\\x09// b\": kelvo has no comments at the end of a "
        "line; \"\\x09// b\" is part of the name. Put a comment on a line of its own.\n",
        "kelvo.txt:2: error: the source "},
       2},
      {"comment after blanks",
       interval + "AddFile,d.txt // the title,pool/b.txt\n",
       {"kelvo.txt:2: warning: \"d.txt // the title\": kelvo has no comments at the end of a "
        "line; \" // the title\" is part of the name."},
       2},
      {"comment after a base folder",
       interval + "SetSourcePath,pool/ // pictures\nAddFile,d.txt,a.txt\n",
       {"kelvo.txt:2: warning: \"pool/ // pictures\": kelvo has no comments"},
       2},
  });
  // Two slashes inside a name, or on a line of their own, are no comment.
  for (const char* line : {"AddFile,d.txt,pool//b.txt\n", "// AddFile,d.txt,a // b\n"}) {
    ScratchFolder folder;
    folder.Write("pool/b.txt", "B");
    folder.Write("kelvo.txt", interval + "AddFile,e.txt,pool/b.txt\n" + line);
    RunResult result = Check(folder);
    EXPECT_EQ(result.exitStatus, 0) << line << result.err;
    EXPECT_FALSE(Has(result.err, "no comments")) << result.err;
  }
}

// A backslash before a quote is dropped; where the name with it kept is a
// file or folder on disk, kelvo uses another file than that one.
TEST(Check, ABackslashBeforeAQuoteIsWarnedOfWhereItMeansAnotherFile) {
  const std::string script = "SetInterval,600\nAddFile,title.ogg,pool/Bob\\'s tune.ogg\n";
  ScratchFolder folder;
  folder.Write("pool/Bob's tune.ogg", "tune");
  folder.Write("title.ogg", "old");
  folder.Write("kelvo.txt", script);
  RunResult result = Check(folder);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(Has(result.out, "source \"pool/Bob's tune.ogg\"")) << result.out;

  // The kept backslash names a file: on Windows in a folder Bob, on Linux
  // with a backslash in its name.
  const std::string kept = IsWindows() ? "pool/Bob/'s tune.ogg" : "pool/Bob\\'s tune.ogg";
  folder.Write(kept, "another tune");
  result = Check(folder);
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(CountOf(result.err, "\n"), 1u) << result.err;
  EXPECT_TRUE(Has(result.err,
                  "kelvo.txt:2: warning: a backslash before a quote makes the quote plain text "
                  "and is itself dropped: kelvo reads the values \"AddFile\", \"title.ogg\", "
                  "\"pool/Bob's tune.ogg\", and does not use "))
      << result.err;
  EXPECT_TRUE(Has(result.err, "'s tune.ogg. Write \\\\' to keep the backslash.\n")) << result.err;
}

// The units' pre-start command, as packaging/systemd writes it, run by hand
// on a folder in place of /srv/kelvo: it stops a start only for what would
// stop kelvo, and its reasons reach standard error (the journal).
TEST(Check, TheServicesPreStartCheckStopsOnlyWhatWouldStopKelvo) {
  if (IsWindows()) GTEST_SKIP() << "the systemd units are Linux's";
  const char* source = std::getenv("KELVO_SOURCE_DIR");
  if (source == nullptr) SKIP_FOR_MISSING_TOOL("KELVO_SOURCE_DIR is not set");
  for (const char* unit : {"kelvo.service.in", "kelvo-oneshot.service.in"}) {
    SCOPED_TRACE(unit);
    std::ifstream in(std::string(source) + "/packaging/systemd/" + unit);
    std::string line, command;
    while (std::getline(in, line)) {
      if (line.rfind("ExecStartPre=", 0) == 0) command = line.substr(13);
    }
    ASSERT_FALSE(command.empty());
    struct PreStart {
      std::string script;
      bool starts;
      std::string reason;
    };
    for (const PreStart& c : std::vector<PreStart>{
             {"SetInterval,600\nAddFile,d.txt,pool/a.txt\nAddFile,e.txt,pool/moved.txt\n", true,
              "kelvo.txt:3: error: the source "},
             {"SetInterval,600\nAddFile,d.txt\n", false,
              "kelvo.txt:2: error: AddFile needs 2 values"},
             {"SetInterval,0\nAddFile,d.txt,pool/a.txt\n", false,
              "kelvo.txt:1: error: an interval of 0"},
             {"SetInterval,9999999\nAddFile,d.txt,pool/a.txt\n", false,
              "kelvo.txt:1: error: the interval is out of range"},
             {"", false, "kelvo.txt: error: the script is not found"},
         }) {
      ScratchFolder folder;
      folder.Write("pool/a.txt", "A");
      if (!c.script.empty()) folder.Write("kelvo.txt", c.script);
      // systemd's $$ is a $; the folder stands for /srv/kelvo and holds
      // kelvo-check.
      std::string shell = command;
      for (const auto& swap :
           std::vector<std::pair<std::string, std::string>>{{"$$", "$"},
                                                            {"@KELVO_LIBEXEC_DIR@", folder.Path()},
                                                            {"/srv/kelvo", folder.Path()}}) {
        for (size_t at = shell.find(swap.first); at != std::string::npos;
             at = shell.find(swap.first, at + swap.second.size()))
          shell.replace(at, swap.first.size(), swap.second);
      }
      RunOptions options;
      options.environmentPrefix = {"/bin/sh", "-c", shell, "sh"};
      RunResult result = folder.Run(options);
      SCOPED_TRACE(shell + "\n" + c.script);
      EXPECT_EQ(result.exitStatus == 0, c.starts) << result.exitStatus;
      EXPECT_TRUE(Has(result.err, c.reason)) << result.err;
      EXPECT_TRUE(Has(result.out, "Summary:\n") || c.script.empty()) << result.out;
      EXPECT_FALSE(folder.Exists("d.txt"));
    }
  }
}

// The fenced block after a marker line of the README.
std::string ReadmeBlock(const std::string& readme, const std::string& marker) {
  const size_t at = readme.find("<!-- " + marker + " -->\n```text\n");
  if (at == std::string::npos) return "";
  const size_t start = readme.find('\n', readme.find("```text", at)) + 1;
  return readme.substr(start, readme.find("```\n", start) - start);
}

// The README's example of kelvo-check's output is what kelvo-check prints
// for the README's script, /srv/kelvo being the scratch folder.
TEST(Check, TheReadmesExampleIsWhatItPrints) {
  if (IsWindows()) GTEST_SKIP() << "the example is a Linux folder";
  const char* source = std::getenv("KELVO_SOURCE_DIR");
  if (source == nullptr) SKIP_FOR_MISSING_TOOL("KELVO_SOURCE_DIR is not set");
  std::ifstream in(std::string(source) + "/README.md", std::ios::binary);
  const std::string readme{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::string script = ReadmeBlock(readme, "kelvo-check example: script");
  const std::string shown = ReadmeBlock(readme, "kelvo-check example: output");
  ASSERT_NE(script, "");
  ASSERT_NE(shown, "");

  // Every file the script names, and the folder banner.tmp.
  ScratchFolder folder;
  folder.Write("kelvo.txt", script);
  folder.Write("banner.tmp/.keep", "");
  for (size_t at = script.find("AddFile,"); at != std::string::npos;
       at = script.find("AddFile,", at + 1)) {
    const std::string line = script.substr(at + 8, script.find('\n', at) - at - 8);
    folder.Write(line.substr(0, line.find(',')), "old");
    folder.Write(line.substr(line.find(',') + 1), "new");
  }
  RunResult result = Check(folder, {folder.At("kelvo.txt")});
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  // As 2>&1 shows it: the findings come between the reading and the summary.
  const size_t summary = result.out.find("Summary:\n");
  ASSERT_NE(summary, std::string::npos) << result.out;
  std::string printed = result.out.substr(0, summary) + result.err + result.out.substr(summary);
  for (size_t at = printed.find(folder.Path()); at != std::string::npos;
       at = printed.find(folder.Path(), at))
    printed.replace(at, folder.Path().size(), "/srv/kelvo");
  EXPECT_EQ(printed, shown);
}

// Names reach the terminal without their control bytes.
TEST(Check, ControlBytesOfNamesAreShownEscaped) {
  ScratchFolder folder;
  folder.Write("a.txt", "A");
  folder.Write("kelvo.txt", "SetInterval,60\nAddFile,d\x1B[31m\x07.txt,a.txt\n");
  RunResult result = Check(folder);
  // Windows takes no such name at all.
  EXPECT_EQ(result.exitStatus, IsWindows() ? 2 : 0) << result.out;
  EXPECT_TRUE(Has(result.out, "destination \"d\\x1B[31m\\x07.txt\"")) << result.out;
  EXPECT_FALSE(Has(result.out, "\x1B")) << result.out;
}

// Access rights only hold back a user without privileges.
TEST(Check, UnreadableSourcesAndUnwritableFoldersAreErrors) {
  if (IsWindows()) GTEST_SKIP() << "Unix access rights";
  ScratchFolder folder;
  folder.Write("pool/a.txt", "A");
  folder.Write("locked/d.txt", "D");
  folder.Write("kelvo.txt",
               "SetInterval,600\nAddFile,d.txt,pool/a.txt\n"
               "AddFile,locked/d.txt,d.txt\n");
  folder.Write("d.txt", "D");
  chmod(folder.At("pool/a.txt").c_str(), 0);
  chmod(folder.At("locked").c_str(), 0555);
  // A log kelvo can write: that one would stop kelvo at start (status 3).
  folder.Write("purlolog.html", "");
  chmod(folder.At("purlolog.html").c_str(), 0666);
  RunOptions options;
  options.checker = true;
  options.asUnprivilegedUser = true;
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  ExpectParts(result.err, {"kelvo.txt:2: error: the source " + folder.At("pool/a.txt") +
                               " cannot be read: Permission denied.\n",
                           "kelvo.txt:3: error: kelvo cannot create files in " +
                               folder.At("locked/") + ": Permission denied."});
}

// The dry run for a seed shows the pass kelvo makes when started at that
// second: the same draws in the same order.
TEST(Check, DryRunDrawsWhatKelvosFirstPassDraws) {
  ScratchFolder folder;
  std::string script = "SetInterval,60\nSetSourcePath," + BaseFolder(folder, "pool") + "\n";
  for (int d = 0; d < 12; ++d) {
    for (int s = 0; s < 2 + d % 4; ++s) {
      const std::string source = "src" + std::to_string(d) + "_" + std::to_string(s) + ".bin";
      script += "AddFile,dest" + std::to_string(d) + ".bin," + source + "\n";
      folder.Write("pool/" + source, source);
    }
  }
  folder.Write("kelvo.txt", script);

  RunOptions options = WithArguments({"-oneshot"});
  const uint64_t started = static_cast<uint64_t>(std::time(nullptr));
  uint64_t earliest = started;
  const bool pinned = !IsWindows() && std::system("command -v faketime >/dev/null 2>&1") == 0;
  if (pinned) {
    // libfaketime is preloaded; a sanitizer runtime must not insist on coming first.
    options.environmentPrefix = {"env", "TZ=UTC", "ASAN_OPTIONS=verify_asan_link_order=0",
                                 "faketime", "2026-01-01 00:00:00"};
    earliest = 1767225600;  // 2026-01-01 00:00:00 UTC
  }
  RunResult run = folder.Run(options);
  // The faked clock runs on from its start as the real one does: on a busy
  // machine kelvo may seed a second or more after it.
  const uint64_t latest = earliest + (static_cast<uint64_t>(std::time(nullptr)) - started);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::string kelvoPass;
  for (const ReportedReplacement& r : ReportedReplacements(run.out))
    kelvoPass += "would replace " + r.source + " to " + r.destination + "\n";
  ASSERT_EQ(ReportedReplacements(run.out).size(), 12u) << run.out;

  // kelvo seeded from one of the seconds its run spanned.
  ASSERT_LE(latest - earliest, 20u);
  int matches = 0;
  for (uint64_t seed = earliest; seed <= latest; ++seed) {
    RunResult check = Check(folder, {"--dry-run", "--seed", std::to_string(seed)});
    EXPECT_EQ(check.exitStatus, 0) << check.out;
    const size_t start = check.out.find("would replace ");
    ASSERT_NE(start, std::string::npos) << check.out;
    const size_t end = check.out.find("0 errors");
    if (check.out.substr(start, end - start) == kelvoPass) ++matches;
  }
  EXPECT_EQ(matches, 1) << kelvoPass;
}

TEST(Check, OptionsAndExitStatuses) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,60\nAddFile,d.txt,a.txt\n");
  const auto before = Snapshot(folder);
  for (const char* option : {"--help", "-h", "/?"}) {
    RunResult help = Check(folder, {option});
    EXPECT_EQ(help.exitStatus, 0) << option;
    EXPECT_EQ(help.out.rfind("usage: kelvo-check [--dry-run [--seed N]] [SCRIPT]\n", 0), 0u)
        << option << "\n"
        << help.out;
    EXPECT_EQ(help.err, "") << option;
  }

  // The version and build number of kelvo's own --version.
  RunResult kelvo = folder.Run(WithArguments({"--version"}));
  ASSERT_EQ(kelvo.out.rfind("kelvo ", 0), 0u) << kelvo.out;
  ASSERT_TRUE(Has(kelvo.out, " (build ")) << kelvo.out;
  for (const char* option : {"--version", "-V"}) {
    RunResult version = Check(folder, {option});
    EXPECT_EQ(version.exitStatus, 0) << option;
    EXPECT_EQ(version.out, "kelvo-check " + kelvo.out.substr(6)) << option;
  }
  EXPECT_EQ(Snapshot(folder), before);

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--frobnicate"},
                                                {"-v"},
                                                {"--seed"},
                                                {"--seed", "soon"},
                                                {"a", "b"}}) {
    RunResult result = Check(folder, wrong);
    EXPECT_EQ(result.exitStatus, 2) << wrong[0];
    EXPECT_EQ(result.out, "") << wrong[0];
    EXPECT_TRUE(Has(result.err, "\nusage: kelvo-check")) << result.err;
  }
  for (const char* unknown : {"--frobnicate", "-v"}) {
    EXPECT_EQ(
        Check(folder, {unknown})
            .err.rfind("kelvo-check: unknown option '" + std::string(unknown) + "'\nusage: ", 0),
        0u)
        << unknown;
  }

  // A script named on the command line is read as the kelvo beside it reads
  // its kelvo.txt.
  folder.Write("conf/other.txt", "SetInterval,60\nAddFile,d.txt,a.txt\n");
  folder.Write("conf/a.txt", "A");
  RunResult named = Check(folder, {folder.NativeAt("conf/other.txt")});
  EXPECT_EQ(named.exitStatus, 0) << named.out;
  EXPECT_TRUE(Has(named.out, "source \"a.txt\" (" + folder.NativeAt("conf/a.txt") + ")"))
      << named.out;
  EXPECT_EQ(named.err, folder.NativeAt("conf/other.txt") +
                           ":2: note: " + folder.NativeAt("conf/d.txt") +
                           " does not exist yet: the first pass creates it.\n");
}

// Where each destination's first content goes, as the summary lists it and
// as kelvo's first pass then does it.
TEST(Check, TheSummaryShowsWhereEachFirstContentIsKept) {
  ScratchFolder folder;
  folder.Write("pool/a.txt", "A");
  folder.Write("b.dat.orig", "a source named like an original");
  for (const char* name : {"a.dat", "b.dat", "c.dat"}) folder.Write(name, "old");
  std::string script =
      "SetInterval,600\nAddFile,a.dat,pool/a.txt\nAddFile,b.dat,b.dat.orig\n"
      "AddFile,c.dat,pool/a.txt\nAddFile,c.dat.orig,pool/a.txt\n";
  // Linux names stop at 255 bytes; Windows paths, under Wine as the ANSI
  // calls take them, at 259 characters, which no destination here reaches.
  const std::string longest = std::string(251, 'n') + ".ogg";
  if (!IsWindows()) {
    folder.Write(longest, "old");
    script += "AddFile," + longest + ",pool/a.txt\n";
  }
  folder.Write("kelvo.txt", script);
  RunResult check = Check(folder);
  EXPECT_EQ(check.exitStatus, 0) << check.out;
  std::vector<std::string> expected = {
      "  " + folder.NativeAt("a.dat") + " (previous content kept as " + folder.NativeAt("a.tmp") +
          ")\n    first content kept once as " + folder.NativeAt("a.dat.orig") + "\n",
      "    first content not kept: " + folder.NativeAt("b.dat.orig") + " is a listed source\n",
      "    first content not kept: " + folder.NativeAt("c.dat.orig") +
          " is a listed destination\n"};
  if (!IsWindows()) {
    expected.push_back("    first content not kept: the system does not take the name " +
                       folder.NativeAt(longest) + ".orig (File name too long)\n");
  }
  ExpectParts(check.out, expected);

  RunResult kelvo = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(kelvo.exitStatus, 0) << kelvo.out << kelvo.err;
  EXPECT_EQ(folder.Read("a.dat.orig"), "old");
  EXPECT_EQ(folder.Read("b.dat.orig"), "a source named like an original");
  EXPECT_EQ(folder.Read("c.dat.orig"), "A");  // a destination of its own
  if (!IsWindows()) {
    EXPECT_TRUE(Has(kelvo.err, "kelvo: cannot keep the original as " + folder.At(longest) +
                                   ".orig: File name too long\n"))
        << kelvo.err;
  }
}

// A companion name that is a folder: the old content cannot go there, so
// every replacement of an existing destination fails, as kelvo's pass shows.
TEST(Check, ACompanionThatIsAFolderIsAnError) {
  ScratchFolder folder;
  folder.Write("pool/a.txt", "A");
  folder.Write("title.ogg", "old");
  folder.Write("title.tmp/kept.txt", "K");
  folder.Write("kelvo.txt", "SetInterval,600\nAddFile,title.ogg,pool/a.txt\n");
  RunResult check = Check(folder, {"--dry-run"});
  EXPECT_EQ(check.exitStatus, 2) << check.out;
  const std::string companion = folder.NativeAt("title.tmp");
  ExpectParts(
      check.out + check.err,
      {"kelvo.txt:2: error: the companion " + companion + " of " + folder.NativeAt("title.ogg") +
           " is a folder, and kelvo never puts the old content over a folder: every "
           "replacement of it fails.\n",
       "    cannot be replaced: its companion " + companion + " is a folder\n",
       " (fails: its companion " + companion + " is a folder)\n"});

  RunResult kelvo = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(kelvo.exitStatus, 2) << kelvo.out << kelvo.err;
  EXPECT_TRUE(Has(kelvo.out, " -> Failed.\n")) << kelvo.out;
  EXPECT_EQ(folder.Read("title.ogg"), "old");
  EXPECT_EQ(folder.Read("title.tmp/kept.txt"), "K");

  // A destination that does not exist yet is created all the same.
  ScratchFolder missing;
  missing.Write("pool/a.txt", "A");
  missing.Write("title.tmp/kept.txt", "K");
  missing.Write("kelvo.txt", "SetInterval,600\nAddFile,title.ogg,pool/a.txt\n");
  check = Check(missing);
  EXPECT_EQ(check.exitStatus, 2) << check.out;
  EXPECT_TRUE(Has(check.err,
                  "is a folder, and kelvo never puts the old content over a folder: "
                  "the first pass creates " +
                      missing.NativeAt("title.ogg") +
                      ", and every later replacement of it fails.\n"))
      << check.err;
}

// A companion longer than a name may be: the old content has nowhere to go.
TEST(Check, ACompanionNameTooLongIsAnError) {
  if (IsWindows()) {
    GTEST_SKIP() << "under Wine a destination whose companion is too long is too long itself";
  }
  ScratchFolder folder;
  folder.Write("pool/a.txt", "A");
  // 253 bytes; its companion, with ".tmp" added, 257.
  const std::string name(253, 'n');
  folder.Write(name, "old");
  folder.Write("kelvo.txt", "SetInterval,600\nAddFile," + name + ",pool/a.txt\n");
  RunResult check = Check(folder);
  EXPECT_EQ(check.exitStatus, 2) << check.out;
  ExpectParts(
      check.out + check.err,
      {"kelvo.txt:2: error: the companion " + folder.At(name) + ".tmp of " + folder.At(name) +
           " is a name the system does not take (File name too long): every replacement of it "
           "fails.\n",
       "    cannot be replaced: the system does not take its companion's name (File name too "
       "long)\n"});

  RunResult kelvo = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(kelvo.exitStatus, 2) << kelvo.out << kelvo.err;
  EXPECT_TRUE(Has(kelvo.out, " -> Failed.\n")) << kelvo.out;
  EXPECT_EQ(folder.Read(name), "old");
}

// kelvo finds its script beside its real location: a kelvo beside the
// script that links to one elsewhere reads another folder's kelvo.txt.
TEST(Check, AKelvoThatLinksToAnotherFolderIsAnError) {
  if (IsWindows()) GTEST_SKIP() << "kelvo.exe takes the folder it is started from";
  ScratchFolder folder;
  folder.Write("pool/a.txt", "A");
  folder.Write("kelvo.txt", "SetInterval,600\nAddFile,d.txt,pool/a.txt\n");
  folder.Write("bin/.keep", "");
  ASSERT_EQ(rename(folder.At("kelvo").c_str(), folder.At("bin/kelvo").c_str()), 0);
  ASSERT_EQ(symlink("bin/kelvo", folder.At("kelvo").c_str()), 0);
  RunResult check = Check(folder, {"--dry-run"});
  EXPECT_EQ(check.exitStatus, 3) << check.out;
  EXPECT_TRUE(Has(check.err, "kelvo.txt: error: " + folder.At("kelvo") +
                                 " is a symbolic link to a kelvo in " + folder.At("bin/") +
                                 ", and kelvo reads the kelvo.txt beside its real location: "
                                 "there is none in " +
                                 folder.At("bin/") +
                                 ", so it ends with \"Error, Master Script File is not Found.\""))
      << check.err;
  EXPECT_TRUE(Has(check.out, "Dry run: kelvo makes no pass")) << check.out;
  // What kelvo does when started through the link.
  RunResult kelvo = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(kelvo.exitStatus, 1) << kelvo.out;
  EXPECT_TRUE(Has(kelvo.out, "Error, Master Script File is not Found.")) << kelvo.out;
  EXPECT_FALSE(folder.Exists("d.txt"));

  // With a script there, kelvo reads that one.
  folder.Write("bin/kelvo.txt", "SetInterval,600\n");
  check = Check(folder);
  EXPECT_EQ(check.exitStatus, 3) << check.out;
  EXPECT_TRUE(Has(check.err, "beside its real location: " + folder.At("bin/kelvo.txt") +
                                 ", another script than this one."))
      << check.err;

  // A link to a kelvo in the same folder reads this script.
  ASSERT_EQ(unlink(folder.At("kelvo").c_str()), 0);
  ASSERT_EQ(rename(folder.At("bin/kelvo").c_str(), folder.At("kelvo-1.0").c_str()), 0);
  ASSERT_EQ(symlink("kelvo-1.0", folder.At("kelvo").c_str()), 0);
  check = Check(folder);
  EXPECT_EQ(check.exitStatus, 0) << check.out;
  EXPECT_FALSE(Has(check.out, "symbolic link")) << check.out;
}

}  // namespace
