// Scripts saved as ANSI, as UTF-8 with and without a mark and as UTF-16
// with a mark, naming files in folders of several scripts and one path
// longer than 260 characters: each is read by the rule of its encoding and
// its files are replaced under their own names.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace {

bool IsWindows() { return TestedProgram().IsWindows(); }

RunOptions OneShot() { return WithArguments({"-oneshot"}); }

const std::string kLatin = "\xC3\xA9\xC3\xBC\xC3\x9F";     // e acute, u umlaut, sharp s
const std::string kJapanese = "\xE6\x97\xA5\xE6\x9C\xAC";  // "Japan" in kanji
const std::string kCyrillic = "\xD0\x9C\xD1\x83\xD0\xB7";  // Cyrillic letters
const std::string kEmoji = "\xF0\x9F\x8E\xB5";             // a musical note, beyond U+FFFF

// UTF-8 text as UTF-16 little-endian with its mark, as Notepad saves
// "Unicode".
std::string Utf16LittleEndianWithMark(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  auto unit = [&bytes](uint32_t value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>(value >> 8);
  };
  for (size_t i = 0; i < text.size();) {
    const unsigned char first = static_cast<unsigned char>(text[i]);
    const size_t length = first < 0x80 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
    uint32_t code = length == 1 ? first : first & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) code = (code << 6) | (text[i + k] & 0x3F);
    i += length;
    if (code >= 0x10000) {
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      unit(code);
    }
  }
  return bytes;
}

struct Pair {
  std::string destination;
  std::string source;
  std::string companion;  // where the old content goes
};

// Destinations and sources in folders named in several scripts, and one
// destination whose full path is longer than 260 characters.
std::vector<Pair> Pairs() {
  std::string deep = "deep";
  for (int level = 0; level < 3; ++level) deep += "/" + std::string(90, 'x') + kLatin;
  return {
      {"d-" + kLatin + "/title.txt", "pool-" + kLatin + "/" + kLatin + ".txt",
       "d-" + kLatin + "/title.tmp"},
      {"d-" + kJapanese + "/" + kCyrillic + ".txt", "pool-" + kCyrillic + "/a.txt",
       "d-" + kJapanese + "/" + kCyrillic + ".tmp"},
      {"d-" + kEmoji + "/" + kJapanese + kEmoji + ".txt", "pool-" + kEmoji + "/" + kEmoji + ".txt",
       "d-" + kEmoji + "/" + kJapanese + kEmoji + ".tmp"},
      {deep + "/" + kCyrillic + ".txt", "pool-" + kJapanese + "/" + kJapanese + ".txt",
       deep + "/" + kCyrillic + ".tmp"},
  };
}

// The script in UTF-8 and the folder's files: each pair's old content and
// source.
std::string Prepare(const ScratchFolder& folder, const std::vector<Pair>& pairs) {
  std::string script = "SetInterval,600\r\n";
  for (size_t i = 0; i < pairs.size(); ++i) {
    folder.Write(pairs[i].destination, "old " + std::to_string(i));
    folder.Write(pairs[i].source, "new " + std::to_string(i));
    script += "AddFile," + folder.NativeAt(pairs[i].destination) + "," +
              folder.NativeAt(pairs[i].source) + "\r\n";
  }
  return script;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The log's first line of a run with an ASCII script in a fresh folder.
std::string FirstLogLineOfAnAsciiRun() {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,600\nAddFile,d.txt,s.txt\n");
  folder.Run(OneShot());
  return FirstLine(folder.Read("purlolog.html"));
}

TEST(UnicodeNames, EveryUnicodeFormReplacesFilesUnderTheirOwnNames) {
  const std::vector<Pair> pairs = Pairs();
  const std::string firstLogLine = FirstLogLineOfAnAsciiRun();
  struct Form {
    const char* name;  // as kelvo-check says it
    bool mark;
    bool utf16;
  };
  for (const Form& form :
       {Form{"UTF-8 (no mark)", false, false}, Form{"UTF-8 (with a mark)", true, false},
        Form{"UTF-16 (with a mark)", true, true}}) {
    SCOPED_TRACE(form.name);
    ScratchFolder folder;
    const std::string text = Prepare(folder, pairs);
    ASSERT_GT(folder.NativeAt(pairs.back().destination).size(), 260u);
    folder.Write("kelvo.txt", form.utf16  ? Utf16LittleEndianWithMark(text)
                              : form.mark ? "\xEF\xBB\xBF" + text
                                          : text);
    RunResult result = folder.Run(OneShot());
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    const std::string log = folder.Read("purlolog.html");
    for (size_t i = 0; i < pairs.size(); ++i) {
      EXPECT_EQ(folder.Read(pairs[i].destination), "new " + std::to_string(i)) << i;
      EXPECT_EQ(folder.Read(pairs[i].companion), "old " + std::to_string(i)) << i;
      // Standard output (a pipe here) and the log carry the names in UTF-8.
      const std::string name = folder.NativeAt(pairs[i].destination);
      EXPECT_NE(result.out.find(name), std::string::npos) << name << "\n" << result.out;
      EXPECT_NE(log.find(name), std::string::npos) << name << "\n" << log;
    }
    EXPECT_EQ(FirstLine(log), firstLogLine);
    EXPECT_FALSE(HasStagingFile(folder));

    RunOptions check;
    check.checker = true;
    result = folder.Run(check);
    EXPECT_NE((result.out + result.err).find(std::string("read as ") + form.name),
              std::string::npos)
        << result.out << result.err;
  }
}

// A code page 1252 script naming both "caf\xE9.txt" and "\xC3\xA9t.txt" is
// read as ANSI: the lone 0xE9 makes the whole no UTF-8, though "\xC3\xA9"
// alone would be. On Windows its bytes are code page 1252 text; on Linux
// they are the names' bytes.
TEST(UnicodeNames, ACodePageScriptThatIsNotAllUtf8IsReadAsAnsi) {
  ScratchFolder folder;
  const std::string inScript[] = {"d-\xE9\xFC\xDF/caf\xE9.txt", "d-\xE9\xFC\xDF/\xC3\xA9t.txt"};
  // The same names as the disk holds them.
  const std::string onDisk[] = {
      IsWindows() ? "d-" + kLatin + "/caf\xC3\xA9.txt" : inScript[0],
      IsWindows() ? "d-" + kLatin + "/\xC3\x83\xC2\xA9t.txt" : inScript[1]};
  std::string script = "SetInterval,600\r\n";
  for (int i = 0; i < 2; ++i) {
    const std::string source = "s" + std::to_string(i);
    folder.Write(onDisk[i], "old");
    folder.Write(source, "new " + std::to_string(i));
    script += "AddFile," + folder.NativeAt(inScript[i]) + "," + folder.NativeAt(source) + "\r\n";
  }
  folder.Write("kelvo.txt", script);
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(folder.Read(onDisk[i]), "new " + std::to_string(i)) << i;

  RunOptions check;
  check.checker = true;
  result = folder.Run(check);
  EXPECT_NE(result.err.find("kelvo.txt: note: the script is read as ANSI"), std::string::npos)
      << result.out << result.err;
  EXPECT_EQ(result.err.find("read as UTF-8"), std::string::npos) << result.err;
}

// A failure names the user's folder, in UTF-8, never a helper file.
TEST(UnicodeNames, AFailureNamesTheUsersFolder) {
  ScratchFolder folder;
  const std::string missing = "gone-" + kJapanese + "/";
  folder.Write("s.txt", "new");
  folder.Write("kelvo.txt", "SetInterval,600\nAddFile," + folder.NativeAt(missing + "t.txt") + "," +
                                folder.NativeAt("s.txt") + "\n");
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.exitStatus, 0);
  const std::string folderName = folder.NativeAt(missing);
  EXPECT_NE(result.err.find("kelvo: cannot create a file in " + folderName + ": "),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find(".kelvo-"), std::string::npos) << result.err;
}

// Options that run a copy of the program in a folder of the scratch folder,
// so that its own folder may hold any name.
RunOptions RunIn(const ScratchFolder& folder, const std::string& program,
                 const std::string& arguments) {
  const std::string executable = program + "/" + TestedProgram().FileName();
  if (!folder.Exists(executable)) {
    folder.Write(executable, folder.Read(TestedProgram().FileName()));
    EXPECT_EQ(system(("chmod +x '" + folder.At(executable) + "'").c_str()), 0);
  }
  RunOptions options;
  // The runner (Wine) comes after the prefix, as $0.
  options.environmentPrefix = {"sh", "-c",
                               std::string(IsWindows() ? "exec \"$0\" " : "exec ") + "'" +
                                   folder.At(executable) + "' " + arguments};
  return options;
}

// A run of an ANSI script keeps out a run of the same folder's script saved
// again as Unicode, though the two name the folder in different forms.
TEST(UnicodeNames, OneRunPerFolderWhateverTheScriptsForm) {
  ScratchFolder folder;
  const std::string program = "run-" + kLatin;
  folder.Write(program + "/kelvo.txt", "SetInterval,600\nAddFile,a.txt,s\n");
  // Nothing on standard error from the first run: both runs write to one file there.
  folder.Write(program + "/s", "S");
  int output = -1;
  pid_t first = folder.Start(RunIn(folder, program, ""), &output);
  std::string console;
  ASSERT_TRUE(ReadUntil(output, "Starting Loop.", console, 30)) << console;
  folder.Write(program + "/kelvo.txt", "\xEF\xBB\xBFSetInterval,600\nAddFile,a.txt,s\n");
  RunResult second = folder.Run(RunIn(folder, program, "-oneshot"));
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_NE(second.err.find("kelvo: another run is working in "), std::string::npos) << second.err;
  RequestProgramStop(first);
  EXPECT_EQ(Finish(first, output, 20, console).exitStatus, 0);
}

// The program's own folder may hold any character: its script, read as
// Unicode, and its log are found there.
TEST(UnicodeNames, AProgramFolderInAnyScript) {
  ScratchFolder folder;
  const std::string program = "prog-" + kJapanese + kEmoji + kCyrillic;
  const std::string destination = program + "/d-" + kLatin + ".txt";
  folder.Write(program + "/kelvo.txt", "SetInterval,600\nAddFile," + folder.NativeAt(destination) +
                                           "," + folder.NativeAt(program + "/s") + "\n");
  folder.Write(program + "/s", "new");
  folder.Write("kelvo.txt", "SetInterval,600\nAddFile,decoy.txt,s\n");
  RunOptions options = RunIn(folder, program, "-oneshot");
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(folder.Read(destination), "new");
  EXPECT_TRUE(folder.Exists(program + "/purlolog.html"));
  EXPECT_FALSE(folder.Exists("purlolog.html"));
}

// kelvo-check finds a script named on its command line in a folder of any
// script, and names it in its findings as typed.
TEST(UnicodeNames, TheCheckerTakesAScriptNamedInAnyScript) {
  ScratchFolder folder;
  const std::string script = folder.NativeAt("plans-" + kJapanese + kEmoji + "/kelvo.txt");
  folder.Write("plans-" + kJapanese + kEmoji + "/kelvo.txt",
               "SetInterval,600\nAddFile,d-" + kCyrillic + ".txt,s.txt\n");
  RunOptions check = WithArguments({script});
  check.checker = true;
  RunResult result = folder.Run(check);
  EXPECT_EQ(result.exitStatus, 2) << result.out << result.err;  // s.txt is missing
  EXPECT_NE(result.err.find("read as UTF-8 (no mark)"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(script + ":2: "), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("the script is not found"), std::string::npos) << result.err;
}

// On a terminal, as in a console window, names in any script are shown as
// they are; on Windows the console takes them as wide text, whatever its
// code page. (No emoji: Wine's terminal shows each half of one as a
// character of its own.)
TEST(UnicodeNames, AConsoleShowsNamesInAnyScript) {
  ScratchFolder folder;
  const std::string source = "d/" + kJapanese + ".src";
  const std::string destination = "d/" + kCyrillic + kLatin + ".txt";
  folder.Write(source, "new");
  folder.Write("kelvo.txt", "SetInterval,600\nAddFile," + folder.NativeAt(destination) + "," +
                                folder.NativeAt(source) + "\n");
  RunOptions options = OneShot();
  options.onTerminal = true;
  // The terminal's character set.
  options.environmentPrefix = {"env", "LC_ALL=C.UTF-8"};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(folder.Read(destination), "new");
  EXPECT_NE(result.out.find(kJapanese + ".src"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(kCyrillic + kLatin + ".txt"), std::string::npos) << result.out;
}

}  // namespace
