// End-to-end tests of kelvo-check: how it reads scripts, the warnings and
// errors with their lines, its exit statuses, and a dry run that draws what
// kelvo's first pass draws.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "testing/required_tools.h"
#include "tests/harness.h"

namespace {

bool IsWindows() { return TestedProgram().IsWindows(); }

RunResult Check(const ScratchFolder& folder, std::vector<std::string> arguments = {}) {
  RunOptions options = WithArguments(std::move(arguments));
  options.checker = true;
  return folder.Run(options);
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

// The text in UTF-16 with its byte-order mark, as Notepad saves it.
std::string Utf16LittleEndian(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
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
    ScratchFolder folder;
    folder.Write("pool/a.txt", "A");
    folder.Write("pool/b.txt", "B");
    folder.Write("kelvo.txt", c.script);
    RunResult result = Check(folder);
    EXPECT_EQ(result.exitStatus, c.status) << c.name << "\n" << result.out << result.err;
    for (const std::string& part : c.expected)
      EXPECT_TRUE(Has(result.out, part)) << c.name << ": no \"" << part << "\" in\n" << result.out;
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
  for (const std::string& part :
       {std::string("line 1: comment, ignored.\n"),
        std::string("line 2: SetInterval, 600 seconds.\n"),
        "line 4: SetSourcePath, \"" + BaseFolder(folder, "pool") + "\"",
        "line 7: AddFile, destination \"title.txt\" (" + folder.NativeAt("title.txt") +
            "), source \"b.txt\" (" + BaseFolder(folder, "pool") + "b.txt).\n",
        "  log: " + folder.NativeAt("purlolog.html") + "\n",
        std::string("waits 600000 ms before each replacement"),
        "    33.3%  " + BaseFolder(folder, "pool") + "a.txt\n",
        "    66.7%  " + BaseFolder(folder, "pool") + "b.txt (listed 2 times)\n",
        "would replace " + BaseFolder(folder, "pool"), std::string("0 errors, 0 warnings.\n")}) {
    EXPECT_TRUE(Has(result.out, part)) << "no \"" << part << "\" in\n" << result.out;
  }
  EXPECT_FALSE(Has(result.out, "line 3")) << "a blank line is no script line";
  // Nothing written, not even the log.
  EXPECT_EQ(Snapshot(folder), before);
}

TEST(Check, WarningsNameTheLineAndTheFix) {
  const std::string interval = "SetInterval,600\n";
  std::vector<Case> cases = {
      {"miscased command",
       interval + "Addfile,d.txt,pool/a.txt\nAddFile,d.txt,pool/a.txt\n",
       {"line 2: warning: command names are case-sensitive: write \"AddFile\" for \"Addfile\"."},
       1},
      {"blank for a comma",
       "SetInterval 600\nSetInterval,600\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: warning: unknown command \"SetInterval 600\": separate SetInterval from its "
        "values with commas"},
       1},
      {"home folder",
       interval + "AddFile,~/d.txt,pool/a.txt\n",
       {"line 2: warning: \"~/d.txt\": kelvo does not expand ~"},
       2},
      {"misspelled command",
       interval + "AdFile,d.txt,pool/a.txt\nAddFile,d.txt,pool/a.txt\n",
       {"line 2: warning: unknown command \"AdFile\": did you mean \"AddFile\"?"},
       1},
      {"interval with a unit",
       "SetInterval,10m\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: SetInterval, 10 seconds.", "line 1: warning: \"10m\" is read as 10 seconds"},
       1},
      {"interval with a fraction",
       "SetInterval,1.5\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: SetInterval, 1 second.", "line 1: warning: \"1.5\" is read as 1 second:"},
       1},
      {"interval set twice",
       "SetInterval,600\nAddFile,d.txt,pool/a.txt\nSetInterval,60\n",
       {"line 3: warning: the interval is set again (first on line 1)"},
       1},
      {"less than a second per replacement",
       "SetInterval,1\nAddFile,d.txt,pool/a.txt\nAddFile,e.txt,pool/b.txt\n",
       {"line 1: warning: each replacement of a later pass waits 500 ms"},
       1},
      {"own candidate",
       interval + "AddFile,pool/a.txt,pool/a.txt\nAddFile,pool/a.txt,pool/b.txt\n",
       {"line 2: warning: ", "a.txt is listed as its own candidate: kelvo never overwrites",
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
       {"line 2: warning: an apostrophe or double quote opens a quoted part",
        "\"AddFile\", \"\"d.txt\"\", \"pool/a.txt\""},
       IsWindows() ? 2 : 1},  // Windows takes no quote in a name
      {"destination that is another's companion",
       interval + "AddFile,h.txt,pool/a.txt\nAddFile,h.tmp,pool/b.txt\n",
       {"line 3: warning: ", "h.tmp is the companion of ", "h.txt: each replacement of ",
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
       {"line 2: warning: AddFile takes 2 values; the rest is ignored: \"pool/b.txt\""},
       1},
      {"long line",
       interval + "//" + std::string(1100, 'x') + "\nAddFile,d.txt,pool/a.txt\n",
       {"line 2: warning: the line is longer than 1022 bytes", "line 2: comment, ignored.",
        "line 2: \"xxxx"},
       1},
      {"quote that opens a quoted part",
       interval + "AddFile,d.txt,pool/a.txt,'b,c'\n",
       {"line 2: warning: an apostrophe or double quote opens a quoted part",
        "\"AddFile\", \"d.txt\", \"pool/a.txt\", \"'b,c'\""},
       1},
      {"quote that swallows a value",
       interval + "AddFile,it's.txt,pool/a.txt\n",
       {"line 2: AddFile with too few values.",
        "line 2: error: AddFile needs 2 values: kelvo ends at this line with a fatal error",
        "reads the values \"AddFile\", \"it's.txt,pool/a.txt\""},
       2},
      {"relative base folder",
       interval + "SetSourcePath,pool/\nAddFile,d.txt,a.txt\n",
       {"line 2: warning: a relative base folder: it is taken from the folder kelvo is started "
        "from"},
       2},
      {"base folder without separator",
       interval + "SetDestinationPath,sub\nAddFile,d.txt,pool/a.txt\n",
       {IsWindows() ? "line 2: warning: the base folder does not end with \\: names are joined"
                    : "line 2: warning: the base folder does not end with /: names are joined",
        "(sub and a.ogg give suba.ogg)"},
       1},
      {"name in the other system's form",
       interval + (IsWindows() ? "AddFile,/d.txt,pool/a.txt\n" : "AddFile,sub\\d.txt,pool/a.txt\n"),
       {IsWindows() ? "line 2: warning: \"/d.txt\" is a Linux name"
                    : "line 2: warning: \"sub\\d.txt\" is a Windows name"},
       1},
      {"lines ended by CR only",
       "SetInterval,600\rAddFile,d.txt,pool/a.txt\r",
       {"script: warning: the script's lines end in CR only", "script: error: no AddFile line"},
       2},
      {"zero byte in a script with a byte-order mark",
       "\xEF\xBB\xBF" + interval + std::string("AddFile,d.txt,pool/a.txt\0,junk\n", 31),
       {"script: warning: the script holds zero bytes: kelvo cuts each line at its first zero "
        "byte."},
       1},
      {"zero character in UTF-16",
       Utf16LittleEndian(interval + std::string("AddFile,d.txt,pool/a.txt\0,junk\n", 31)),
       {"script: warning: the script holds zero bytes: kelvo cuts each line at its first zero "
        "byte."},
       1},
      {"UTF-16 without a byte-order mark",
       std::string("S\0e\0t\0I\0n\0t\0e\0r\0v\0a\0l\0,\0001\0\n\0", 28),
       {"script: warning: the script holds zero bytes"},
       2},
  };
  if (IsWindows()) {
    cases.push_back({"backslash before a quote",
                     interval + "AddFile,d.txt,pool\\'a.txt\n",
                     {"line 2: warning: a backslash before a quote makes the quote plain text",
                      "\"pool'a.txt\""},
                     2});
    cases.push_back({"names Windows reads otherwise",
                     interval + "AddFile,C:d.txt,pool/a.txt\nAddFile,e.txt.,pool/a.txt\n",
                     {"line 2: warning: \"C:d.txt\" holds a colon",
                      "line 3: warning: \"e.txt.\" ends with a dot or blank"},
                     1});
    cases.push_back({"UTF-8 without a byte-order mark",
                     interval + "AddFile,d\xC3\xA9.txt,pool/a.txt\n",
                     {"script: warning: the script looks like UTF-8 without a byte-order mark"},
                     1});
    cases.push_back({"UTF-8 with a byte-order mark",
                     "\xEF\xBB\xBF" + interval + "AddFile,d.txt,pool/a.txt\n",
                     {"script: warning: the script is UTF-8 with a byte-order mark: kelvo "
                      "converts it to the ANSI code page"},
                     1});
  } else {
    cases.push_back({"escaped quote",
                     interval + "AddFile,d\\'s.txt,pool/a.txt\n",
                     {"destination \"d's.txt\"", "0 errors, 0 warnings."},
                     0});
    cases.push_back({"bytes of no text",
                     interval + "AddFile,d\x81.txt,pool/a.txt\n",
                     {"script: warning: the script holds bytes that are no text in"},
                     1});
    cases.push_back({"UTF-8 with a byte-order mark",
                     "\xEF\xBB\xBF" + interval + "AddFile,d.txt,pool/a.txt\n",
                     {"script: note: the script is UTF-8 with a byte-order mark", "0 errors"},
                     0});
  }
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
  EXPECT_EQ(CountOf(result.out, "is a Windows name"), 1u) << result.out << result.err;
  EXPECT_TRUE(Has(result.out, "\"sub\\d.txt\" is a Windows name")) << result.out;
}

TEST(Check, ErrorsAreWhatStopsKelvoOrAReplacement) {
  const std::string interval = "SetInterval,600\n";
  const std::string missing = IsWindows() ? "File not found" : "No such file or directory";
  RunCases({
      {"no destinations", interval, {"script: error: no AddFile line"}, 2},
      {"no interval",
       "AddFile,d.txt,pool/a.txt\n",
       {"script: error: no SetInterval line: kelvo ends with \"Error, Interval equal 0.\""},
       2},
      {"interval of zero",
       "SetInterval,0\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: error: an interval of 0"},
       2},
      {"interval out of range",
       "SetInterval,2147484\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: error: the interval is out of range (1 to 2147483 seconds)"},
       2},
      {"too few values",
       interval + "AddFile,d.txt\nSetSourcePath\n",
       {"line 2: error: AddFile needs 2 values", "line 3: error: SetSourcePath needs 1 value"},
       2},
      {"destination folder",
       interval + "AddFile,pool,pool/a.txt\n",
       {"pool is a folder: only files are replaced."},
       2},
      {"missing source",
       interval + "AddFile,d.txt,pool/none.txt\n",
       {"line 2: error: the source ", "none.txt is missing: " + missing},
       2},
      {"source that is a folder",
       interval + "AddFile,d.txt,pool\n",
       {"line 2: error: the source ", "pool cannot be read: not a regular file."},
       2},
      {"missing destination folder",
       interval + "AddFile,none/d.txt,pool/a.txt\n",
       {"line 2: error: kelvo cannot create files in "},
       2},
      {"destination that is another's source",
       interval + "AddFile,pool/a.txt,pool/b.txt\nAddFile,d.txt,pool/a.txt\n",
       {"line 2: error: ", "a.txt is listed as a source: kelvo never overwrites",
        "so every replacement of it fails"},
       2},
      {"fatal line before the pass",
       interval + "AddFile,d.txt,pool/a.txt\nAddFile,x.txt\nAddFile,e.txt\nSetInterval,0\n",
       {"line 3: error: AddFile needs 2 values: kelvo ends at this line",
        "line 4: error: AddFile needs 2 values: the same fatal error, once line 3 is mended."},
       2},
      {"bare SetInterval",
       "SetInterval\nAddFile,d.txt,pool/a.txt\n",
       {"line 1: error: SetInterval needs 1 value"},
       2},
  });

  if (IsWindows()) {
    RunCases({{"device names",
               interval + "AddFile,NUL,pool/a.txt\nAddFile,d.txt,com1.txt\n",
               {"line 2: error: ", "NUL names a device", "line 3: error: the source ",
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
  EXPECT_EQ(log.exitStatus, 2);
  EXPECT_TRUE(Has(log.out, "script: error: kelvo cannot write its log ")) << log.out;
  EXPECT_TRUE(Has(log.out, "Dry run: kelvo makes no pass")) << log.out;

  ScratchFolder empty;
  RunResult result = Check(empty);
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_TRUE(Has(result.out, "script: error: the script is not found")) << result.out;
  // A folder (or a FIFO, which would hold the check up) is no script.
  empty.Write("sub/x", "");
  result = Check(empty, {empty.NativeAt("sub")});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_TRUE(Has(result.out, "script: error: the script cannot be read: not a regular file."))
      << result.out;
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
  RunOptions options;
  options.checker = true;
  options.asUnprivilegedUser = true;
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_TRUE(Has(result.out, "a.txt cannot be read: Permission denied.")) << result.out;
  EXPECT_TRUE(Has(result.out, "line 3: error: kelvo cannot create files in " +
                                  folder.At("locked/") + ": Permission denied."))
      << result.out;
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
  uint64_t earliest = static_cast<uint64_t>(std::time(nullptr));
  uint64_t latest = earliest;
  const bool pinned = !IsWindows() && std::system("command -v faketime >/dev/null 2>&1") == 0;
  if (pinned) {
    // libfaketime is preloaded; a sanitizer runtime must not insist on coming first.
    options.environmentPrefix = {"env", "TZ=UTC", "ASAN_OPTIONS=verify_asan_link_order=0",
                                 "faketime", "2026-01-01 00:00:00"};
    earliest = latest = 1767225600;  // 2026-01-01 00:00:00 UTC
  }
  RunResult run = folder.Run(options);
  if (!pinned) latest = static_cast<uint64_t>(std::time(nullptr));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::string kelvoPass;
  for (const ReportedReplacement& r : ReportedReplacements(run.out))
    kelvoPass += "would replace " + r.source + " to " + r.destination + "\n";
  ASSERT_EQ(ReportedReplacements(run.out).size(), 12u) << run.out;

  // Unpinned, kelvo seeded from one of the seconds its start spanned.
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
  RunResult help = Check(folder, {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_TRUE(Has(help.out, "usage: kelvo-check [--dry-run [--seed N]] [SCRIPT]")) << help.out;

  // The same build number as kelvo's banner.
  RunResult version = Check(folder, {"--version"});
  RunResult kelvo = folder.Run(WithArguments({"-oneshot"}));
  const std::string banner = "kelvo - random file rotation. Build ";
  ASSERT_TRUE(Has(kelvo.out, banner)) << kelvo.out;
  const std::string build = kelvo.out.substr(kelvo.out.find(banner) + banner.size());
  EXPECT_EQ(version.out, "kelvo-check - checks a kelvo script. Build " +
                             build.substr(0, build.find('\n')) + "\n");

  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--frobnicate"}, {"--seed"}, {"--seed", "soon"}, {"a", "b"}}) {
    RunResult result = Check(folder, wrong);
    EXPECT_EQ(result.exitStatus, 2) << wrong[0];
    EXPECT_TRUE(Has(result.err, "usage: kelvo-check")) << result.err;
  }

  // A script named on the command line is read as the kelvo beside it reads
  // its kelvo.txt.
  folder.Write("conf/other.txt", "SetInterval,60\nAddFile,d.txt,a.txt\n");
  folder.Write("conf/a.txt", "A");
  RunResult named = Check(folder, {folder.NativeAt("conf/other.txt")});
  EXPECT_EQ(named.exitStatus, 0) << named.out;
  EXPECT_TRUE(Has(named.out, "source \"a.txt\" (" + folder.NativeAt("conf/a.txt") + ")"))
      << named.out;
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
  for (const std::string& part : expected)
    EXPECT_TRUE(Has(check.out, part)) << "no \"" << part << "\" in\n" << check.out;

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
  for (const std::string& part :
       {"line 2: error: the companion " + companion + " of " + folder.NativeAt("title.ogg") +
            " is a folder, and kelvo never puts the old content over a folder: every "
            "replacement of it fails.\n",
        "    cannot be replaced: its companion " + companion + " is a folder\n",
        " (fails: its companion " + companion + " is a folder)\n"}) {
    EXPECT_TRUE(Has(check.out, part)) << "no \"" << part << "\" in\n" << check.out;
  }

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
  EXPECT_TRUE(Has(check.out,
                  "is a folder, and kelvo never puts the old content over a folder: "
                  "the first pass creates " +
                      missing.NativeAt("title.ogg") +
                      ", and every later replacement of it fails.\n"))
      << check.out;
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
  for (const std::string& part :
       {"line 2: error: the companion " + folder.At(name) + ".tmp of " + folder.At(name) +
            " is a name the system does not take (File name too long): every replacement of it "
            "fails.\n",
        std::string("    cannot be replaced: the system does not take its companion's name (File "
                    "name too long)\n")}) {
    EXPECT_TRUE(Has(check.out, part)) << "no \"" << part << "\" in\n" << check.out;
  }

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
  EXPECT_EQ(check.exitStatus, 2) << check.out;
  EXPECT_TRUE(Has(check.out, "script: error: " + folder.At("kelvo") +
                                 " is a symbolic link to a kelvo in " + folder.At("bin/") +
                                 ", and kelvo reads the kelvo.txt beside its real location: "
                                 "there is none in " +
                                 folder.At("bin/") +
                                 ", so it ends with \"Error, Master Script File is not Found.\""))
      << check.out;
  EXPECT_TRUE(Has(check.out, "Dry run: kelvo makes no pass")) << check.out;
  // What kelvo does when started through the link.
  RunResult kelvo = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(kelvo.exitStatus, 1) << kelvo.out;
  EXPECT_TRUE(Has(kelvo.out, "Error, Master Script File is not Found.")) << kelvo.out;
  EXPECT_FALSE(folder.Exists("d.txt"));

  // With a script there, kelvo reads that one.
  folder.Write("bin/kelvo.txt", "SetInterval,600\n");
  check = Check(folder);
  EXPECT_EQ(check.exitStatus, 2) << check.out;
  EXPECT_TRUE(Has(check.out, "beside its real location: " + folder.At("bin/kelvo.txt") +
                                 ", another script than this one."))
      << check.out;

  // A link to a kelvo in the same folder reads this script.
  ASSERT_EQ(unlink(folder.At("kelvo").c_str()), 0);
  ASSERT_EQ(rename(folder.At("bin/kelvo").c_str(), folder.At("kelvo-1.0").c_str()), 0);
  ASSERT_EQ(symlink("kelvo-1.0", folder.At("kelvo").c_str()), 0);
  check = Check(folder);
  EXPECT_EQ(check.exitStatus, 0) << check.out;
  EXPECT_FALSE(Has(check.out, "symbolic link")) << check.out;
}

}  // namespace
