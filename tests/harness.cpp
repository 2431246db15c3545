// End-to-end harness: runs the built kelvo executable in a scratch folder.
#include "tests/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

std::string FoldLineEnds(const std::string& text) {
  std::string folded;
  folded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    folded += text[i];
  }
  return folded;
}

}  // namespace

double Seconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Reads the output until done(collected) holds, the output closes or the
// time runs out; answers done's last verdict.
template <typename Done>
static bool ReadWhileNot(int fd, std::string& collected, double timeoutSeconds, Done done) {
  double end = Seconds() + timeoutSeconds;
  char buffer[65536];
  while (!done(collected)) {
    int left = static_cast<int>((end - Seconds()) * 1000);
    if (left <= 0) return false;
    struct pollfd poller = {fd, POLLIN, 0};
    if (poll(&poller, 1, left) <= 0) continue;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    collected.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void ReadFor(int fd, std::string& collected, double timeoutSeconds) {
  ReadWhileNot(fd, collected, timeoutSeconds, [](const std::string&) { return false; });
}

bool ReadUntil(int fd, const std::string& text, std::string& collected, double timeoutSeconds) {
  return ReadWhileNot(fd, collected, timeoutSeconds, [&text](const std::string& read) {
    return read.find(text) != std::string::npos;
  });
}

std::vector<std::string> ShiftJisLocalePrefix(const ScratchFolder& folder) {
  const std::string locales = folder.At("locales");
  const std::string make = "mkdir -p '" + locales + "' && localedef -f SHIFT_JIS -i ja_JP '" +
                           locales + "/ja_JP.SJIS' >/dev/null 2>&1; test -d '" + locales +
                           "/ja_JP.SJIS'";
  if (system(make.c_str()) != 0) return {};
  // glibc keeps a few bytes for good when it loads a locale from LOCPATH;
  // the leak check of a sanitizer build would count them as the program's.
  return {"env", "LOCPATH=" + locales, "LC_ALL=ja_JP.SJIS", "ASAN_OPTIONS=detect_leaks=0"};
}

size_t CountOf(const std::string& text, const std::string& part, size_t from) {
  size_t count = 0;
  for (size_t at = text.find(part, from); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

bool HasStagingFile(const ScratchFolder& folder) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder.Path(), error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().rfind(".kelvo-", 0) == 0) return true;
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> HelperFiles(const ScratchFolder& folder,
                                                             const std::string& subfolder) {
  std::vector<std::pair<std::string, std::string>> helpers;
  for (const std::string& name : folder.List(subfolder)) {
    if (name.rfind(".kelvo-", 0) != 0) continue;
    helpers.emplace_back(name, folder.Read(subfolder.empty() ? name : subfolder + "/" + name));
  }
  return helpers;
}

FileHolder::FileHolder(const ScratchFolder& folder, const std::string& name) {
  if (!TestedProgram().IsWindows()) {
    fd = open(folder.At(name).c_str(), O_WRONLY);
    held = fd >= 0 && flock(fd, LOCK_EX) == 0;
    return;
  }
  std::string holder = TestedProgram().executable;
  holder = holder.substr(0, holder.find_last_of('/') + 1) + "hold_file.exe";
  int input[2], output[2];
  if (pipe(input) != 0 || pipe(output) != 0) return;
  pid = fork();
  if (pid == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    close(input[1]);
    close(output[0]);
    execl(TestedProgram().runner.c_str(), TestedProgram().runner.c_str(), holder.c_str(),
          folder.NativeAt(name).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  fd = input[1];
  std::string said;
  held = ReadUntil(output[0], "held", said, 30);
  close(output[0]);
}

FileHolder::~FileHolder() {
  if (fd >= 0) close(fd);  // releases the lock, or ends the Windows holder
  if (pid > 0) waitpid(pid, nullptr, 0);
}

std::vector<ReportedReplacement> ReportedReplacements(const std::string& out) {
  std::vector<ReportedReplacement> reported;
  const std::string replacing = ", Replacing ";
  size_t at = 0;
  while ((at = out.find(replacing, at)) != std::string::npos) {
    size_t lineEnd = out.find('\n', at);
    if (lineEnd == std::string::npos) break;
    std::string line = out.substr(at + replacing.size(), lineEnd - at - replacing.size());
    size_t to = line.find(" to ");
    size_t outcome = line.rfind(" -> ");
    at = lineEnd;
    if (to == std::string::npos || outcome == std::string::npos || outcome < to) continue;
    ReportedReplacement replacement;
    replacement.source = line.substr(0, to);
    replacement.destination = line.substr(to + 4, outcome - to - 4);
    replacement.done = line.compare(outcome, std::string::npos, " -> Done.") == 0;
    reported.push_back(replacement);
  }
  return reported;
}

RunOptions WithArguments(std::vector<std::string> arguments) {
  RunOptions options;
  options.arguments = std::move(arguments);
  return options;
}

const Program& TestedProgram() {
  static const Program program = [] {
    Program tested{Environment("KELVO_EXE"), Environment("KELVO_RUNNER"),
                   Environment("KELVO_CHECK_EXE")};
    // By default kelvo-check of the same build stands beside kelvo.
    if (tested.checker.empty() && !tested.executable.empty())
      tested.checker =
          (fs::path(tested.executable).parent_path() / tested.CheckerFileName()).string();
    return tested;
  }();
  return program;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (fs::temp_directory_path() / "kelvo-e2e-XXXXXX").string();
  char* made = mkdtemp(&pattern[0]);
  if (made == nullptr) {
    ADD_FAILURE() << "cannot make a scratch folder";
    return;
  }
  path = made;
  chmod(path.c_str(), 0755);
  const Program& program = TestedProgram();
  fs::copy_file(program.executable, At(program.FileName()));
  if (!program.checker.empty()) fs::copy_file(program.checker, At(program.CheckerFileName()));
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  // Folders a test made read-only must be writable again to be removed.
  for (auto it = fs::recursive_directory_iterator(path, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path, ignored);
}

std::string ScratchFolder::NativeAt(const std::string& name) const {
  if (!TestedProgram().IsWindows()) return At(name);
  // Wine maps the Unix root to drive Z:.
  std::string windows = "Z:" + At(name);
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

void ScratchFolder::Write(const std::string& name, const std::string& content) const {
  fs::path file = At(name);
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ScratchFolder::Read(const std::string& name) const {
  std::ifstream in(At(name), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool ScratchFolder::Exists(const std::string& name) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(At(name), ignored));
}

std::vector<std::string> ScratchFolder::List(const std::string& subfolder) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(At(subfolder))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A pseudo-terminal as a pair: [0] the side the test reads, [1] the
// program's terminal, wide enough that no line of the program wraps.
static bool OpenTerminal(int ends[2]) {
  ends[0] = posix_openpt(O_RDWR | O_NOCTTY);
  if (ends[0] < 0) return false;
  const char* name = grantpt(ends[0]) == 0 && unlockpt(ends[0]) == 0 ? ptsname(ends[0]) : nullptr;
  ends[1] = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY);
  if (ends[1] < 0) {
    close(ends[0]);
    return false;
  }
  struct winsize size = {};
  size.ws_row = 50;
  size.ws_col = 1000;
  ioctl(ends[1], TIOCSWINSZ, &size);
  return true;
}

pid_t ScratchFolder::Start(const RunOptions& options, int* outputPipe) const {
  const Program& program = TestedProgram();
  std::vector<std::string> command = options.environmentPrefix;
  if (program.IsWindows()) command.push_back(program.runner);
  command.push_back(At(options.checker ? program.CheckerFileName() : program.FileName()));
  command.insert(command.end(), options.arguments.begin(), options.arguments.end());

  int out[2];
  if (options.onTerminal ? !OpenTerminal(out) : pipe(out) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (options.onTerminal) {
      // The terminal becomes the program's own, as a console window is.
      setsid();
      ioctl(out[1], TIOCSCTTY, 0);
    }
    dup2(out[1], 1);
    int err = open(At(".stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (err >= 0) dup2(err, 2);
    close(out[0]);
    close(out[1]);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    if (!options.onTerminal) setpgid(0, 0);
    // Another folder as current directory: the program must find its script
    // beside itself, not in the current directory.
    if (chdir("/") != 0) _exit(126);
    if (options.asUnprivilegedUser && getuid() == 0) {
      // Root's own supplementary groups do not go over to nobody.
      if (setgroups(options.groups.size(), options.groups.data()) != 0 || setgid(65534) != 0 ||
          setuid(65534) != 0)
        _exit(126);
    }
    setenv("WINEDEBUG", "-all", 1);
    std::vector<char*> argv;
    for (std::string& part : command) argv.push_back(&part[0]);
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  *outputPipe = out[0];
  return pid;
}

void RequestProgramStop(pid_t pid) { kill(pid, TestedProgram().IsWindows() ? SIGINT : SIGTERM); }

RunResult Finish(pid_t pid, int outputPipe, double timeoutSeconds, const std::string& alreadyRead) {
  RunResult result;
  std::string out = alreadyRead;
  ReadFor(outputPipe, out, timeoutSeconds);
  close(outputPipe);
  int status = 0;
  double end = Seconds() + 5;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Seconds() > end) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the program did not end in time";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = FoldLineEnds(out);
  return result;
}

RunResult ScratchFolder::Run(const RunOptions& options) const {
  int outputPipe = -1;
  pid_t pid = Start(options, &outputPipe);
  if (pid < 0) {
    ADD_FAILURE() << "cannot start the program";
    return RunResult();
  }
  RunResult result = Finish(pid, outputPipe, options.timeoutSeconds);
  result.err = FoldLineEnds(Read(".stderr"));
  return result;
}

std::string EnvironmentRecords(const std::string& log) {
  const std::string cpu = "Report: CPU: Unknown<br>\n";
  size_t end = log.find(cpu);
  if (end == std::string::npos) return "";
  return log.substr(0, end + cpu.size());
}

std::vector<std::string> ReportMessages(const std::string& log) {
  std::vector<std::string> messages;
  std::string rest = log.substr(EnvironmentRecords(log).size());
  const std::string label = "Report: ";
  const std::string end = "<br>\n";
  size_t at = 0;
  while (at < rest.size()) {
    size_t close = rest.find(end, at);
    if (rest.compare(at, label.size(), label) != 0 || close == std::string::npos) {
      ADD_FAILURE() << "not a record: " << rest.substr(at);
      break;
    }
    messages.push_back(rest.substr(at + label.size(), close - at - label.size()));
    at = close + end.size();
  }
  return messages;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string joined;
  for (const std::string& part : parts) joined += part;
  return joined;
}
