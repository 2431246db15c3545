// Tests of the platform services on a real disk: presence test, clock text,
// file identity and the file steps of a replacement.
#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "testing/scratch_directory.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class PlatformFiles : public testing::Test {
 protected:
  std::string At(const char* name) const { return scratch.At(name); }
  void Write(const char* name, const std::string& content) const { scratch.Write(name, content); }
  std::string Read(const char* name) const { return scratch.Read(name); }

  ScratchDirectory scratch{"kelvo-platform"};
  fs::path folder = scratch.Path();
};

TEST_F(PlatformFiles, FileExistsForAnyObjectOnly) {
  Write("file", "x");
  EXPECT_TRUE(FileExists(At("file").c_str()));
  EXPECT_TRUE(FileExists(folder.string().c_str()));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_FALSE(FileExists(At("no-such-folder/file").c_str()));
}

TEST(CurrentTimeText, EightCharactersOfTwoDigitFields) {
  char buffer[16];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(CurrentTimeText(buffer), buffer);
  ASSERT_EQ(std::strlen(buffer), 8u);
  for (int i : {0, 1, 3, 4, 6, 7}) EXPECT_TRUE(buffer[i] >= '0' && buffer[i] <= '9') << buffer;
  EXPECT_EQ(buffer[2], ':');
  EXPECT_EQ(buffer[5], ':');
  EXPECT_LE(std::atoi(buffer), 23);
  EXPECT_LE(std::atoi(buffer + 3), 59);
  EXPECT_LE(std::atoi(buffer + 6), 60);
}

// Creates target exclusively and copies source into it.
StepResult CopyToNewFile(const std::string& source, const std::string& target) {
  NewFile file;
  StepResult result = CreateNewFile(target, file);
  if (!result.Ok()) return result;
  result = CopyInto(source, file, EntryInfo());
  StepResult closed = CloseNewFile(file);
  return result.Ok() ? closed : result;
}

bool IsWindows() { return IsPathSeparator('\\'); }

TEST_F(PlatformFiles, CopyKeepsContentAndIsDatedNow) {
  std::string content(3 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
  Write("source", content);
  auto old = fs::file_time_type::clock::now() - std::chrono::hours(50);
  fs::last_write_time(folder / "source", old);
  auto before = fs::file_time_type::clock::now() - std::chrono::seconds(2);
  ASSERT_TRUE(CopyToNewFile(At("source"), At("target")).Ok());
  EXPECT_EQ(Read("target"), content);
  // Caches and watchers see new content by its date.
  EXPECT_GT(fs::last_write_time(folder / "target"), before);
  EXPECT_EQ(Read("source"), content);

  Write("empty", "");
  ASSERT_TRUE(CopyToNewFile(At("empty"), At("empty-copy")).Ok());
  EXPECT_EQ(Read("empty-copy"), "");
}

// A stop asked for while a copy runs cuts it short only when more is left
// to copy: the copy of a file that fits in one chunk is never thrown away.
// The stop cannot be taken back, so the copy runs in a child process.
TEST_F(PlatformFiles, AStopNeverThrowsAwayACompleteCopy) {
  const std::string content(5000, 'k');
  Write("small", content);
  EXPECT_EXIT(
      {
        RequestStop();
        bool whole = CopyToNewFile(At("small"), At("copy")).Ok() && Read("copy") == content;
        std::exit(whole ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

#ifndef _WIN32
// The stop signals, one after another.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A stop signal that comes after the wait has looked for a stop, before it
// sleeps, must end the wait all the same. In that moment the signal is held
// back, pending, until the wait lets it in: so it stands here, held back by
// a block from before the wait. Each case runs in a child process, since a
// stop cannot be taken back.
TEST(StopSignals, OneThatComesJustBeforeTheWaitEndsIt) {
  for (int stop : kStopSignals) {
    EXPECT_EXIT(
        {
          StopHandler handler;
          sigset_t held;
          sigemptyset(&held);
          sigaddset(&held, stop);
          pthread_sigmask(SIG_BLOCK, &held, nullptr);
          raise(stop);
          const bool seenBefore = StopRequested();
          WaitMilliseconds(3000);
          std::exit(!seenBefore && StopRequested() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << strsignal(stop);
  }
}

// The wait lets the stop signals in only while it waits, and the handler
// leaves the signal mask and the handlers as it found them.
TEST(StopSignals, MaskAndHandlersAreLeftAsTheyWere) {
  EXPECT_EXIT(
      {
        sigset_t before;
        sigset_t after;
        pthread_sigmask(SIG_SETMASK, nullptr, &before);
        struct sigaction term;
        sigaction(SIGTERM, nullptr, &term);
        bool same = true;
        {
          StopHandler handler;
          WaitMilliseconds(1);
          pthread_sigmask(SIG_SETMASK, nullptr, &after);
          for (int stop : kStopSignals) same = same && sigismember(&after, stop) == 0;
        }
        pthread_sigmask(SIG_SETMASK, nullptr, &after);
        for (int stop : kStopSignals)
          same = same && sigismember(&after, stop) == sigismember(&before, stop);
        struct sigaction restored;
        sigaction(SIGTERM, nullptr, &restored);
        same = same && restored.sa_handler == term.sa_handler;
        std::exit(same ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}
#endif

// Names that open a device in any folder, whatever their extension, where
// the system has them; and the other name rules, which go together.
TEST(NameRules, ReservedDeviceNamesAndTheRulesOfTheSystem) {
  const std::string devices[] = {"nul",  "NUL",      "Con",  "prn.txt", "aux.x.y",
                                 "com1", "COM9.log", "lpt1", "LPT9.dat"};
  const std::string names[] = {"com0", "lpt10", "nullx", "console", "com", "a.nul", "", "c0m1"};
  for (const std::string& name : devices)
    EXPECT_EQ(IsReservedDeviceName(name), IsWindows()) << name;
  for (const std::string& name : names) EXPECT_FALSE(IsReservedDeviceName(name)) << name;
  EXPECT_EQ(SystemSeparator(), IsWindows() ? '\\' : '/');
  EXPECT_TRUE(IsPathSeparator(SystemSeparator()));
  EXPECT_EQ(HasDriveLetters(), IsWindows());
  EXPECT_EQ(NamesHaveStreams(), IsWindows());
  EXPECT_EQ(DropsTrailingDotsAndBlanks(), IsWindows());
  EXPECT_EQ(SystemTextIsAnsiCodePage(), IsWindows());
}

TEST_F(PlatformFiles, CopyReadsRegularFilesOnly) {
  EXPECT_EQ(CopyToNewFile(At("absent"), At("t1")).status, StepStatus::Missing);
  fs::create_directories(folder / "sub");
  EXPECT_EQ(CopyToNewFile(At("sub"), At("t2")).status, StepStatus::WrongKind);
}

TEST_F(PlatformFiles, CreateNewFileNeverTakesAnExistingName) {
  Write("taken", "mine");
  NewFile file;
  EXPECT_EQ(CreateNewFile(At("taken"), file).status, StepStatus::Exists);
  EXPECT_EQ(Read("taken"), "mine");
  EXPECT_EQ(CreateNewFile(At("absent-folder/x"), file).status, StepStatus::Missing);
}

TEST_F(PlatformFiles, RenamesAndSecondNames) {
  Write("a", "A");
  Write("b", "B");
  EXPECT_EQ(RenameToFree(At("a"), At("b")).status, StepStatus::Exists);
  EXPECT_EQ(Read("b"), "B");
  ASSERT_TRUE(MakeSecondName(At("a"), At("a2")).Ok());
  EXPECT_EQ(MakeSecondName(At("a"), At("b")).status, StepStatus::Exists);
  EXPECT_TRUE(GetFileIdentity(At("a")) == GetFileIdentity(At("a2")));
  EntryInfo info;
  ASSERT_TRUE(ReadEntry(At("a2"), info).Ok());
  EXPECT_EQ(info.kind, FileKind::Regular);
  EXPECT_EQ(info.links, 2u);
  ASSERT_TRUE(RenameOver(At("a2"), At("b")).Ok());
  EXPECT_EQ(Read("b"), "A");
  ASSERT_TRUE(RenameToFree(At("b"), At("c")).Ok());
  EXPECT_EQ(Read("c"), "A");
  ASSERT_TRUE(DeleteName(At("c")).Ok());
  EXPECT_EQ(DeleteName(At("c")).status, StepStatus::Missing);
  ASSERT_TRUE(ReadEntry(At("c"), info).Ok());
  EXPECT_EQ(info.kind, FileKind::Missing);
  ASSERT_TRUE(ReadEntry(folder.string(), info).Ok());
  EXPECT_EQ(info.kind, FileKind::Folder);
}

TEST_F(PlatformFiles, ExchangeSwapsTwoNamesWhereTheSystemCan) {
  Write("a", "A");
  Write("b", "B");
  StepResult result = ExchangeNames(At("a"), At("b"));
  if (result.status == StepStatus::Unsupported) GTEST_SKIP() << "no name exchange here";
  ASSERT_TRUE(result.Ok());
  EXPECT_EQ(Read("a"), "B");
  EXPECT_EQ(Read("b"), "A");
  EXPECT_EQ(ExchangeNames(At("a"), At("absent")).status, StepStatus::Missing);
}

TEST_F(PlatformFiles, AnonymousFileGetsItsNameOnlyWhenComplete) {
  NewFile file;
  StepResult result = CreateAnonymousFile(folder.string(), file);
  if (result.status == StepStatus::Unsupported) GTEST_SKIP() << "no anonymous files here";
  ASSERT_TRUE(result.Ok());
  Write("source", "content");
  ASSERT_TRUE(CopyInto(At("source"), file, EntryInfo()).Ok());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  Write("taken", "mine");
  EXPECT_EQ(NameAnonymousFile(file, At("taken")).status, StepStatus::Exists);
  ASSERT_TRUE(NameAnonymousFile(file, At("named")).Ok());
  ASSERT_TRUE(CloseNewFile(file).Ok());
  EXPECT_EQ(Read("named"), "content");
  EXPECT_EQ(Read("taken"), "mine");
}

// Links are names like any other: never followed when a file is created,
// renamed or read as an entry (Linux only: Wine makes no symbolic links).
TEST_F(PlatformFiles, SymbolicLinksAreNeverFollowedWhenCreating) {
  if (IsWindows()) GTEST_SKIP() << "symbolic links are a Linux case";
  Write("target", "precious");
  fs::create_symlink(folder / "target", folder / "planted");
  fs::create_symlink(folder / "nowhere", folder / "dangling");
  NewFile file;
  EXPECT_EQ(CreateNewFile(At("planted"), file).status, StepStatus::Exists);
  EXPECT_EQ(CreateNewFile(At("dangling"), file).status, StepStatus::Exists);
  EXPECT_FALSE(fs::exists(folder / "nowhere"));
  EntryInfo info;
  ASSERT_TRUE(ReadEntry(At("planted"), info).Ok());
  EXPECT_EQ(info.kind, FileKind::Link);
  Write("new", "new");
  ASSERT_TRUE(RenameOver(At("new"), At("planted")).Ok());
  EXPECT_EQ(Read("target"), "precious");
  EXPECT_EQ(Read("planted"), "new");
}

// A helper file is held from its making while its handle is open: a sweep
// leaves it then, and deletes it once it is let go.
TEST_F(PlatformFiles, AHelperFileIsDeletedOnlyOnceNobodyHoldsIt) {
  Write("source", "content");
  NewFile file;
  ASSERT_TRUE(CreateNewFile(At("staged"), file).Ok());
  ASSERT_TRUE(CopyInto(At("source"), file, EntryInfo()).Ok());
  bool held = false;
  EXPECT_TRUE(DeleteUnheldHelperFile(At("staged"), held).Ok());
  EXPECT_TRUE(held);
  // (Windows lets nobody read it while it is held.)
  EXPECT_TRUE(fs::exists(folder / "staged"));
  ASSERT_TRUE(CloseNewFile(file).Ok());
  EXPECT_EQ(Read("staged"), "content");
  EXPECT_TRUE(DeleteUnheldHelperFile(At("staged"), held).Ok());
  EXPECT_FALSE(held);
  EXPECT_FALSE(fs::exists(folder / "staged"));
  EXPECT_EQ(DeleteUnheldHelperFile(At("staged"), held).status, StepStatus::Missing);
  EXPECT_FALSE(held);

  // A file nobody made through these calls holds nothing either.
  Write("plain", "x");
  EXPECT_TRUE(DeleteUnheldHelperFile(At("plain"), held).Ok());
  EXPECT_FALSE(held);
  EXPECT_FALSE(fs::exists(folder / "plain"));

  // A file made without a name is held once it has one.
  StepResult made = CreateAnonymousFile(folder.string(), file);
  if (made.status == StepStatus::Unsupported) return;
  ASSERT_TRUE(made.Ok());
  ASSERT_TRUE(NameAnonymousFile(file, At("named")).Ok());
  EXPECT_TRUE(DeleteUnheldHelperFile(At("named"), held).Ok());
  EXPECT_TRUE(held);
  EXPECT_TRUE(fs::exists(folder / "named"));
  ASSERT_TRUE(CloseNewFile(file).Ok());
  EXPECT_TRUE(DeleteUnheldHelperFile(At("named"), held).Ok());
  EXPECT_FALSE(held);
  EXPECT_FALSE(fs::exists(folder / "named"));
}

// A name that leads elsewhere is not followed: a link, held file behind it
// or not, is neither taken for held nor deleted, and neither is what it
// leads to; nor is a folder or a FIFO (which is not waited on).
TEST_F(PlatformFiles, AHelperFileCheckTakesOnlyRegularFiles) {
  fs::create_directories(folder / "sub");
  bool held = false;
  StepResult result = DeleteUnheldHelperFile(At("sub"), held);
  EXPECT_TRUE(result.status == StepStatus::WrongKind || held) << static_cast<int>(result.status);
  EXPECT_TRUE(fs::is_directory(folder / "sub"));
  if (IsWindows()) return;  // symbolic links and FIFOs are a Linux case

  Write("target", "precious");
  fs::create_symlink(folder / "target", folder / "link");
  EXPECT_EQ(DeleteUnheldHelperFile(At("link"), held).status, StepStatus::WrongKind);
  EXPECT_FALSE(held);
  EXPECT_TRUE(fs::is_symlink(folder / "link"));
  EXPECT_EQ(Read("target"), "precious");

  NewFile file;
  ASSERT_TRUE(CreateNewFile(At("staged"), file).Ok());
  fs::create_symlink(folder / "staged", folder / "link-to-held");
  EXPECT_EQ(DeleteUnheldHelperFile(At("link-to-held"), held).status, StepStatus::WrongKind);
  EXPECT_FALSE(held);
  EXPECT_TRUE(fs::is_symlink(folder / "link-to-held"));
  EXPECT_TRUE(fs::exists(folder / "staged"));
  ASSERT_TRUE(CloseNewFile(file).Ok());

  ASSERT_EQ(system(("mkfifo '" + At("fifo") + "'").c_str()), 0);
  EXPECT_EQ(DeleteUnheldHelperFile(At("fifo"), held).status, StepStatus::WrongKind);
  EXPECT_TRUE(fs::exists(folder / "fifo"));
}

TEST_F(PlatformFiles, CopyNeverWaitsOnAFifo) {
  if (IsWindows()) GTEST_SKIP() << "FIFOs are a Linux case";
  ASSERT_EQ(system(("mkfifo '" + At("fifo") + "'").c_str()), 0);
  EXPECT_EQ(CopyToNewFile(At("fifo"), At("t")).status, StepStatus::WrongKind);
}

TEST_F(PlatformFiles, CopyReadsPseudoFilesToTheirEnd) {
  std::error_code error;
  if (IsWindows() || !fs::exists("/proc/self/status", error)) GTEST_SKIP() << "no /proc here";
  // /proc reports a size of 0: the copy must read to the end regardless.
  ASSERT_TRUE(CopyToNewFile("/proc/self/status", At("status")).Ok());
  EXPECT_NE(Read("status").find("Name:"), std::string::npos);
}

TEST_F(PlatformFiles, IdentityTellsNamesOfOneFileApart) {
  Write("a", "1");
  Write("b", "1");
  FileIdentity a = GetFileIdentity(At("a"));
  FileIdentity b = GetFileIdentity(At("b"));
  ASSERT_TRUE(a.valid);
  ASSERT_TRUE(b.valid);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(GetFileIdentity((folder / "." / "a").string()) == a);
  EXPECT_FALSE(GetFileIdentity(At("absent")).valid);
}

TEST_F(PlatformFiles, EntryNamesAsTheFolderListsThem) {
  Write("longsourcename.txt", "L");
  std::string folderPath = At("");
#ifdef _WIN32
  char shortPath[MAX_PATH];
  DWORD length = GetShortPathNameA(At("longsourcename.txt").c_str(), shortPath, sizeof shortPath);
  ASSERT_GT(length, 0u);
  std::string shortName = fs::path(shortPath).filename().string();
  ASSERT_NE(shortName.find('~'), std::string::npos) << shortName;
  EXPECT_EQ(EntryName(folderPath, shortName), "longsourcename.txt");
  EXPECT_EQ(EntryName(folderPath, "a.txt. ."), "a.txt");
  EXPECT_EQ(EntryName(folderPath, "a.txt::$DATA"), "a.txt");
  EXPECT_EQ(FoldEntryName("Title.Ogg"), FoldEntryName("TITLE.ogg"));
#else
  EXPECT_EQ(EntryName(folderPath, "a.txt."), "a.txt.");
  EXPECT_EQ(EntryName(folderPath, "LONGSO~1.TXT"), "LONGSO~1.TXT");
  EXPECT_NE(FoldEntryName("Title.Ogg"), FoldEntryName("TITLE.ogg"));
#endif
}

// With UTF-8 names (a run whose script is read as Unicode), a name in any
// script reaches the system whole: created, copied, listed, renamed, given
// a second name, opened and deleted under its own name.
TEST_F(PlatformFiles, Utf8NamesInAnyScriptReachTheSystemWhole) {
  struct Utf8Names {
    Utf8Names() { SetUtf8Names(true); }
    ~Utf8Names() { SetUtf8Names(false); }
  } utf8Names;
  EXPECT_FALSE(IsSystemLeadByte(0xE3));
  const std::string root = folder.u8string() + SystemSeparator();
  const std::string source = "\xC3\xA9\xC3\xBC\xC3\x9F.txt";  // e acute, u umlaut, sharp s
  const std::string copy = "\xE3\x81\x82\xD0\x96.txt";        // HIRAGANA A, Cyrillic ZHE
  const std::string linked = "\xF0\x9F\x98\x80.txt";          // an emoji
  Write("plain", "S");
  ASSERT_TRUE(RenameToFree(root + "plain", root + source).Ok());
  EXPECT_TRUE(FileExists((root + source).c_str()));
  EXPECT_TRUE(fs::exists(fs::u8path(root + source)));
  NewFile file;
  ASSERT_TRUE(CreateNewFile(root + copy, file).Ok());
  EXPECT_TRUE(CopyInto(root + source, file, EntryInfo()).Ok());
  EXPECT_TRUE(CloseNewFile(file).Ok());
  ASSERT_TRUE(MakeSecondName(root + copy, root + linked).Ok());
  EntryInfo info;
  ASSERT_TRUE(ReadEntry(root + linked, info).Ok());
  EXPECT_EQ(info.kind, FileKind::Regular);
  EXPECT_EQ(info.links, 2u);
  std::vector<std::string> names;
  ASSERT_TRUE(ListFolder(root, names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{source, copy, linked}));
  std::FILE* stream = OpenStream((root + linked).c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(std::fgetc(stream), 'S');
  std::fclose(stream);
  EXPECT_EQ(FolderOf(AbsolutePathOf(root + copy)), AbsolutePathOf(root));
  ASSERT_TRUE(RenameOver(root + linked, root + source).Ok());
  ASSERT_TRUE(DeleteName(root + source).Ok());
  ASSERT_TRUE(DeleteName(root + copy).Ok());
  names.clear();
  ASSERT_TRUE(ListFolder(root, names));
  EXPECT_TRUE(names.empty());
#ifdef _WIN32
  // Letters match in either case beyond ASCII too.
  EXPECT_EQ(FoldEntryName("\xC3\xA9\xD0\xB6"), FoldEntryName("\xC3\x89\xD0\x96"));
#endif
}

#ifdef _WIN32
// A name of 260 characters or more is spelt out in full for the system: it
// is read as the same shorter spelling is, a trailing dot dropped, forward
// slashes and ".." taken as the system takes them.
TEST_F(PlatformFiles, ALongUtf8NameIsReadAsItsShortSpellingIs) {
  struct Utf8Names {
    Utf8Names() { SetUtf8Names(true); }
    ~Utf8Names() { SetUtf8Names(false); }
  } utf8Names;
  std::string deep = folder.u8string();
  for (int level = 0; level < 3; ++level) deep += "\\" + std::string(90, 'x') + "\xC3\xA9";
  fs::create_directories(fs::u8path(deep));
  std::ofstream(fs::u8path(deep + "\\a.txt")) << "A";
  for (const std::string& spelling :
       {deep + "\\a.txt", deep + "\\a.txt.", deep + "/a.txt",
        deep + "\\..\\" + deep.substr(CutPath(deep).directoryEnd) + "\\a.txt"}) {
    SCOPED_TRACE(spelling);
    ASSERT_GE(spelling.size(), 260u);
    EntryInfo info;
    ASSERT_TRUE(ReadEntry(spelling, info).Ok());
    EXPECT_EQ(info.kind, FileKind::Regular);
    std::FILE* stream = OpenStream(spelling.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::fgetc(stream), 'A');
    std::fclose(stream);
  }
}
#endif

TEST_F(PlatformFiles, AppendFileCreatesEmptiesAndAppends) {
  EXPECT_TRUE(AppendFile(At("log"), "one"));
  EXPECT_TRUE(AppendFile(At("log"), "two"));
  EXPECT_EQ(Read("log"), "onetwo");
  EXPECT_TRUE(AppendFile(At("log"), nullptr));
  EXPECT_EQ(Read("log"), "");
  EXPECT_FALSE(AppendFile(At("absent-folder/log"), "x"));
}

// A file that another writer holds is neither emptied nor written.
TEST_F(PlatformFiles, AHeldFileIsNeitherEmptiedNorWritten) {
  Write("source", "kept");
  NewFile held;
  ASSERT_TRUE(CreateNewFile(At("log"), held).Ok());
  ASSERT_TRUE(CopyInto(At("source"), held, EntryInfo()).Ok());
  StepResult emptied;
  EXPECT_FALSE(EmptyFile(At("log"), emptied));
  EXPECT_FALSE(AppendFile(At("log"), "x"));
  ASSERT_TRUE(CloseNewFile(held).Ok());
  EXPECT_EQ(Read("log"), "kept");
  EXPECT_TRUE(EmptyFile(At("log"), emptied));
  EXPECT_TRUE(emptied.Ok());
  EXPECT_EQ(Read("log"), "");
}

}  // namespace
