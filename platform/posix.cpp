// Linux implementation of the platform layer.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <new>

#include "build_number.h"
#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

volatile sig_atomic_t g_stopRequested = 0;
// The signals kelvo handles: the first three ask for a stop (Ctrl+C,
// SIGTERM and a closed terminal), the others are ignored.
const int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE};
const size_t kStopSignalCount = 3;
struct sigaction g_previous[std::size(kHandledSignals)];

void OnStopSignal(int) { g_stopRequested = 1; }

bool LocaleIsShiftJis() {
  const std::string codeset = SystemCharacterSet();
  for (const char* name : {"SHIFT_JIS", "SJIS", "CP932", "WINDOWS-31J", "SHIFT_JISX0213"}) {
    if (strcasecmp(codeset.c_str(), name) == 0) return true;
  }
  return false;
}

// Repeats a call that a signal cut short (-1 with EINTR); returns its answer.
template <typename Call>
int Retrying(Call call) {
  int answer;
  do {
    answer = call();
  } while (answer == -1 && errno == EINTR);
  return answer;
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

StepResult Succeeded() { return StepResult(); }

StepResult WithStatus(StepStatus status, int error) { return StepResult{status, error}; }

StepResult Unsupported(int error) { return WithStatus(StepStatus::Unsupported, error); }

StepResult WrongKind() { return WithStatus(StepStatus::WrongKind, EINVAL); }

StepResult FailedWith(int error) {
  switch (error) {
    case ENOENT:
      return WithStatus(StepStatus::Missing, error);
    case EEXIST:
      return WithStatus(StepStatus::Exists, error);
    case ENAMETOOLONG:
      return WithStatus(StepStatus::BadName, error);
    default:
      return WithStatus(StepStatus::Failed, error);
  }
}

// Ok for a call that answered 0, else what errno says.
StepResult ResultOf(int answer) { return answer == 0 ? Succeeded() : FailedWith(errno); }

mode_t Umask() {
  static const mode_t mask = [] {
    mode_t current = umask(0);
    umask(current);
    return current;
  }();
  return mask;
}

// Access of new content: that of the file it replaces, or the source's under
// the umask. The group goes first: the owner of a file may give it any group
// it belongs to, so a service user keeps a group it shares with the file's
// readers. Then the permission bits, and last the owner, which only root may
// give away. Set-user-ID and set-group-ID bits never go over. File systems
// that keep no owners or modes (FAT) refuse these calls; the copy then keeps
// what it was created with, which is never more than 0600.
void GiveAccess(int out, const struct stat& source, const EntryInfo& replaced) {
  static const uid_t user = geteuid();
  if (replaced.kind != FileKind::Regular) {
    (void)!fchmod(out, static_cast<mode_t>(source.st_mode & 0777 & ~Umask()));
    return;
  }
  // The copy's group may be a folder's (set-group-ID folders), so what the
  // copy has is compared, not our ids.
  struct stat made;
  const bool known = fstat(out, &made) == 0;
  const gid_t group = static_cast<gid_t>(replaced.group);
  if (known && made.st_gid != group) (void)!fchown(out, static_cast<uid_t>(-1), group);
  (void)!fchmod(out, static_cast<mode_t>(replaced.mode & 0777));
  const uid_t owner = static_cast<uid_t>(replaced.owner);
  if (user == 0 && known && made.st_uid != owner) (void)!fchown(out, owner, static_cast<gid_t>(-1));
}

// Errors after which copy_file_range or sendfile cannot do this copy at all,
// so a plainer way is tried.
bool IsUnsupportedCopy(int error) {
  return error == EXDEV || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL ||
         error == EBADF || error == EPERM;
}

// One step of a copy done inside the kernel; answers as write() does.
using KernelCopy = ssize_t (*)(int in, int out, size_t length);

// Lets the file system share blocks where it can.
ssize_t CopyFileRangeStep(int in, int out, size_t length) {
  return copy_file_range(in, nullptr, out, nullptr, length, 0);
}

ssize_t SendfileStep(int in, int out, size_t length) { return sendfile(out, in, nullptr, length); }

// Copies until end of file, or until size bytes are copied where the file
// says it has that many: a file that says 0 (/proc) is read to its end, and
// one that grows meanwhile is copied as it was when opened. Unsupported when
// this way cannot copy the file at all.
StepResult CopyInKernel(KernelCopy step, int in, int out, off_t size, off_t& copied) {
  const size_t kChunk = size_t{1} << 30;
  for (;;) {
    ssize_t n = step(in, out, kChunk);
    if (n > 0) {
      copied += n;
      // A stop that comes while the last chunk is copied leaves the copy
      // whole: only one with more to copy is cut short.
      if (size > 0 && copied >= size) return Succeeded();
      if (StopRequested()) return WithStatus(StepStatus::Stopped, EINTR);
      continue;
    }
    if (n == 0) return copied == 0 ? Unsupported(0) : Succeeded();
    if (errno == EINTR) continue;
    return copied == 0 && IsUnsupportedCopy(errno) ? Unsupported(errno) : FailedWith(errno);
  }
}

// True when nothing is left to read from in (its offset is at its size).
bool AtEnd(int in) {
  struct stat info;
  off_t at = lseek(in, 0, SEEK_CUR);
  return at >= 0 && fstat(in, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
         at >= info.st_size;
}

StepResult CopyWithReadWrite(int in, int out) {
  const size_t kBufferSize = size_t{1} << 20;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]);
  if (!buffer) return FailedWith(ENOMEM);
  for (;;) {
    ssize_t n = read(in, buffer.get(), kBufferSize);
    if (n == 0) return Succeeded();
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !WriteAll(out, buffer.get(), static_cast<size_t>(n))) return FailedWith(errno);
    // A stop cuts short only a copy with more to copy.
    if (StopRequested() && !AtEnd(in)) return WithStatus(StepStatus::Stopped, EINTR);
  }
}

// Both descriptors stand at offset 0. A zero-length answer from the kernel
// copies may mean "not supported here" (pseudo files), so the next way starts
// over from the beginning.
StepResult CopyContents(int in, int out, off_t size) {
  off_t copied = 0;
  StepResult step = CopyInKernel(CopyFileRangeStep, in, out, size, copied);
  if (step.status == StepStatus::Unsupported) {
    step = CopyInKernel(SendfileStep, in, out, size, copied);
  }
  if (step.status != StepStatus::Unsupported) return step;
  if (lseek(in, 0, SEEK_SET) != 0 || lseek(out, 0, SEEK_SET) != 0 || ftruncate(out, 0) != 0) {
    // A pipe-like source that cannot be rewound: read on from here.
    return copied == 0 ? CopyWithReadWrite(in, out) : FailedWith(errno);
  }
  return CopyWithReadWrite(in, out);
}

// Opens a file for appending and takes its write lock; -1 when either fails.
int OpenLockedForAppending(const std::string& path) {
  // O_NONBLOCK: a FIFO that nobody reads fails at once instead of waiting.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  // Another writer holding the lock keeps us out, as a non-sharing writer
  // does on Windows.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Converts text between two character sets with iconv. False when either
// set is unknown (unavailable set) or a byte sequence is no character of
// the source set or has none in the target set.
bool ConvertText(const char* from, const char* to, const std::string& text, std::string& out,
                 bool& unavailable) {
  iconv_t converter = iconv_open(to, from);
  unavailable = converter == reinterpret_cast<iconv_t>(-1);
  if (unavailable) return false;
  std::string in = text;
  out.assign(in.size() * 4 + 16, '\0');
  char* inPointer = &in[0];
  size_t inLeft = in.size();
  char* outPointer = &out[0];
  size_t outLeft = out.size();
  size_t converted = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  if (converted == static_cast<size_t>(-1) || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  return true;
}

// Takes the hold that tells a sweep a helper file is in use: an exclusive
// flock, which the system lets go with the last descriptor of this open
// file, and which every process sees. Never waits: 0, or the error
// (EWOULDBLOCK when someone else holds the file).
int HoldHelperFile(int fd) {
  return Retrying([fd] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0 ? 0 : errno;
}

// True when path, not followed, still names the open file fd.
bool NamesOpenFile(const std::string& path, int fd) {
  struct stat opened, named;
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// renameat2 with flags, Unsupported where the kernel or file system lacks it.
StepResult RenameWith(const std::string& from, const std::string& to, unsigned flags) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) == 0) return Succeeded();
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return Unsupported(errno);
  return FailedWith(errno);
}

}  // namespace

bool IsSystemLeadByte(unsigned char byte) {
  static const bool shiftJis = LocaleIsShiftJis();
  return shiftJis && IsCodePage932LeadByte(byte);
}

bool IsPathSeparator(char c) { return c == '/'; }

char SystemSeparator() { return '/'; }

bool IsAbsolutePath(const std::string& name) { return !name.empty() && name[0] == '/'; }

bool HasDriveLetters() { return false; }

std::string AbsolutePathOf(const std::string& path) {
  if (IsAbsolutePath(path)) return path;
  std::error_code error;
  std::filesystem::path current = std::filesystem::current_path(error);
  if (error) return path;
  std::string absolute = current.string();
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute + path;
}

// A colon, a trailing dot or blank and a name like "nul" are plain names here.
bool NamesHaveStreams() { return false; }
bool DropsTrailingDotsAndBlanks() { return false; }
bool IsReservedDeviceName(const std::string&) { return false; }

const char* ExecutableSuffix() { return ""; }

bool GetExecutablePath(std::string& path) {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return false;
  path = executable.string();
  return true;
}

int GetBuildNumber() { return KELVO_BUILD_NUMBER; }

bool FileExists(const char* path) {
  struct stat info;
  return path != nullptr && stat(path, &info) == 0;
}

char* CurrentTimeText(char* buffer) {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof local);
  std::snprintf(buffer, 9, "%02u:%02u:%02u", static_cast<unsigned>(local.tm_hour) % 100u,
                static_cast<unsigned>(local.tm_min) % 100u,
                static_cast<unsigned>(local.tm_sec) % 100u);
  return buffer;
}

uint64_t SecondsSinceEpoch() {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec);
}

uint32_t RaiseOpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  // The soft limit is often far below the hard one (1,024 against hundreds
  // of thousands under systemd); kelvo calls no select(), so it may use all.
  if (limit.rlim_cur < limit.rlim_max) {
    rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = soft;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return 0;
  return limit.rlim_cur > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(limit.rlim_cur);
}

bool HoldRunLock(const std::string& programDirectory) {
  // A lock on the folder itself: no file to make, and it goes with the last
  // descriptor, which the process keeps until it ends.
  int fd = open(programDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // a folder we cannot open, we cannot guard either
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  int error = errno;
  close(fd);
  return error != EWOULDBLOCK;
}

std::string ConvertUtf16Text(const std::string& bytes, bool bigEndian) {
  std::string text;
  auto unit = [&](size_t i) -> uint32_t {
    unsigned char first = static_cast<unsigned char>(bytes[i]);
    unsigned char second = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (first << 8u) | second : (second << 8u) | first;
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;  // half a pair
    }
    // In UTF-8: the lead byte (0xC0, 0xE0 or 0xF0 by the count of bytes that
    // follow) with the top bits, then six bits a byte.
    const unsigned more = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    text += static_cast<char>((more == 0 ? 0 : 0xF0u << (3 - more)) | (code >> (6 * more)));
    for (unsigned k = more; k-- > 0;) text += static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F));
  }
  return text;
}

std::string ConvertUtf8Text(const std::string& bytes) { return bytes; }

// Names are bytes: the switch is only remembered.
static bool g_utf8Names = false;

void SetUtf8Names(bool on) { g_utf8Names = on; }

bool Utf8Names() { return g_utf8Names; }

std::FILE* OpenStream(const char* path, const char* mode) { return std::fopen(path, mode); }

void WriteText(std::FILE* stream, const char* text) { std::fputs(text, stream); }

void WaitMilliseconds(uint32_t milliseconds) {
  // The stop signals are held back from before the flag is looked at, and
  // only the wait lets them in again: ppoll sets the mask and waits in one
  // step. A stop signal that comes in between is pending then, and ends the
  // wait at once instead of being handled just before a wait that runs out.
  // Outside the wait they stay open, so a copy or a pass sees a stop at once.
  sigset_t stops;
  sigemptyset(&stops);
  for (size_t i = 0; i < kStopSignalCount; ++i) sigaddset(&stops, kHandledSignals[i]);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  sigset_t waiting = previous;
  for (size_t i = 0; i < kStopSignalCount; ++i) sigdelset(&waiting, kHandledSignals[i]);
  const uint64_t end = MonotonicMilliseconds() + milliseconds;
  while (!StopRequested()) {
    const uint64_t now = MonotonicMilliseconds();
    if (now >= end) break;
    struct timespec left;
    left.tv_sec = static_cast<time_t>((end - now) / 1000);
    left.tv_nsec = static_cast<long>((end - now) % 1000) * 1000000L;
    // 0 when the time is up; a signal (a stop or any other) looks again.
    if (ppoll(nullptr, 0, &left, &waiting) >= 0 || errno != EINTR) break;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

uint64_t MonotonicMilliseconds() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

StopHandler::StopHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a signal must cut a wait short
  // A closed terminal (SIGHUP) is a request to stop, as SIGTERM is. A copy
  // past the file-size limit must fail with EFBIG and be rolled back, not end
  // the process; a console that went away (kelvo | head) must not end the
  // pass either.
  installed = true;
  for (size_t i = 0; i < std::size(kHandledSignals); ++i) {
    action.sa_handler = i < kStopSignalCount ? OnStopSignal : SIG_IGN;
    installed = sigaction(kHandledSignals[i], &action, &g_previous[i]) == 0 && installed;
  }
}

StopHandler::~StopHandler() {
  for (size_t i = 0; i < std::size(kHandledSignals); ++i)
    sigaction(kHandledSignals[i], &g_previous[i], nullptr);
}

bool StopRequested() { return g_stopRequested != 0; }

void RequestStop() { g_stopRequested = 1; }

bool AppendFile(const std::string& path, const char* text) {
  if (text == nullptr) {
    StepResult emptied;
    return EmptyFile(path, emptied) && emptied.Ok();
  }
  int fd = OpenLockedForAppending(path);
  if (fd < 0) return false;
  WriteAll(fd, text, std::strlen(text));
  close(fd);
  return true;
}

bool EmptyFile(const std::string& path, StepResult& emptied) {
  emptied = Succeeded();
  int fd = OpenLockedForAppending(path);
  if (fd < 0) {
    emptied = FailedWith(errno);
    return false;
  }
  // Only a regular file is emptied: a log sent elsewhere (a link to
  // /dev/null, say) is written, not emptied.
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    emptied = ResultOf(Retrying([fd] { return ftruncate(fd, 0); }));
  close(fd);
  return true;
}

std::string LogFailureText(const StepResult& result) {
  if (result.error == EWOULDBLOCK) return "another program holds it open for writing";
  return ErrorText(result.error);
}

// The reason is on standard error already, just before.
void ShowFatalBox(const char* text, const char* caption, const char*) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n%s\n", caption, text);
  std::fflush(stderr);
}

std::string ConsoleTextOf932(const char* text, const char* fallback) {
  std::string out;
  bool unavailable = false;
  // Any character the locale cannot show: the whole text in English instead.
  return ConvertText("CP932", SystemCharacterSet().c_str(), text, out, unavailable) ? out
                                                                                    : fallback;
}

void EndProcessFatally() {
  std::fflush(stdout);
  std::fflush(stderr);
  _Exit(3);
}

bool ListDisplayAdapters(std::vector<std::string>& list) {
  return ListPciDisplayDevices("/sys/bus/pci/devices",
                               {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"}, list);
}

std::string ErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in the buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

static FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

FileIdentity GetFileIdentity(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? IdentityOf(info) : FileIdentity();
}

StepResult ReadEntry(const std::string& path, EntryInfo& info) {
  info = EntryInfo();
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return Succeeded();
    return FailedWith(errno);
  }
  info.kind = S_ISREG(status.st_mode)   ? FileKind::Regular
              : S_ISDIR(status.st_mode) ? FileKind::Folder
              : S_ISLNK(status.st_mode) ? FileKind::Link
                                        : FileKind::Other;
  info.identity = IdentityOf(status);
  info.links = static_cast<uint64_t>(status.st_nlink);
  info.mode = static_cast<uint32_t>(status.st_mode & 07777);
  info.owner = static_cast<uint32_t>(status.st_uid);
  info.group = static_cast<uint32_t>(status.st_gid);
  return Succeeded();
}

std::string EntryName(const std::string&, const std::string& name) { return name; }

std::string FoldEntryName(const std::string& name) { return name; }

StepResult LookAtNewName(const std::string& path, NewNameStep) {
  // The lookup of the last part is the one a step making the name starts
  // with: each file system says there whether it takes a name that long.
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 || errno != ENAMETOOLONG) return Succeeded();
  return FailedWith(ENAMETOOLONG);
}

StepResult CreateAnonymousFile(const std::string& folder, NewFile& file) {
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Older kernels take O_TMPFILE for O_DIRECTORY and answer EISDIR.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return Unsupported(errno);
    return FailedWith(errno);
  }
  // Nobody else can reach a file without a name: the hold is had at once
  // (where the file system takes locks at all), before the file has a name.
  HoldHelperFile(fd);
  file.handle = fd;
  return Succeeded();
}

StepResult CreateNewFile(const std::string& path, NewFile& file) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return FailedWith(errno);
  // A sweep may open the name before the hold is taken; it then holds the
  // file while it deletes it, so once the hold is ours the name is either
  // ours for good or gone. Taken or gone, the caller tries another name.
  // Where the file system takes no locks the file stays unheld: a sweep
  // cannot tell there either, and keeps it.
  int error = HoldHelperFile(fd);
  if (error == EWOULDBLOCK || (error == 0 && !NamesOpenFile(path, fd))) {
    close(fd);
    return FailedWith(EEXIST);
  }
  file.handle = fd;
  return Succeeded();
}

StepResult CopyInto(const std::string& source, NewFile& file, const EntryInfo& replaced) {
  // The kind is read before opening: opening a FIFO would wait for a writer.
  struct stat info;
  if (stat(source.c_str(), &info) != 0) return AtSource(FailedWith(errno));
  if (!S_ISREG(info.st_mode)) return AtSource(WrongKind());
  int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (in < 0) return AtSource(FailedWith(errno));
  // The name may have changed hands since: check what was opened. Reads of a
  // regular file never block, so O_NONBLOCK can stay.
  if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(in);
    return AtSource(WrongKind());
  }
  int out = static_cast<int>(file.handle);
  StepResult result = CopyContents(in, out, info.st_size);
  close(in);
  if (!result.Ok()) return result;
  GiveAccess(out, info, replaced);
  file.bytes = static_cast<uint64_t>(info.st_size);
  return Succeeded();
}

StepResult NameAnonymousFile(const NewFile& file, const std::string& path) {
  // AT_EMPTY_PATH needs a privilege that root has; through /proc any user
  // may link, at the cost of a longer lookup. Once refused, go through /proc.
  static bool emptyPathRefused = false;
  int fd = static_cast<int>(file.handle);
  if (!emptyPathRefused) {
    if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return Succeeded();
    if (errno != ENOENT && errno != EPERM) return FailedWith(errno);
    emptyPathRefused = true;
  }
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return Succeeded();
  if (errno == ENOENT && access("/proc/self/fd", F_OK) != 0) return Unsupported(ENOENT);
  return FailedWith(errno);
}

StepResult CloseNewFile(NewFile& file) {
  if (file.handle == -1) return Succeeded();
  int fd = static_cast<int>(file.handle);
  file.handle = -1;
  if (close(fd) != 0 && errno != EINTR) return FailedWith(errno);
  return Succeeded();
}

StepResult ReadyToRename(NewFile&) { return Succeeded(); }

StepResult FlushNewFile(const NewFile& file) {
  const int fd = static_cast<int>(file.handle);
  return ResultOf(Retrying([fd] { return fdatasync(fd); }));
}

StepResult FlushNewFiles(const std::vector<const NewFile*>& files) {
  if (files.size() == 1) return FlushNewFile(*files[0]);
  // One syncfs per file system writes out every file of the batch, and the
  // file system commits them together instead of once a file.
  std::vector<dev_t> flushed;
  for (const NewFile* file : files) {
    int fd = static_cast<int>(file->handle);
    struct stat info;
    if (fstat(fd, &info) != 0) return FailedWith(errno);
    if (std::find(flushed.begin(), flushed.end(), info.st_dev) != flushed.end()) continue;
    if (syncfs(fd) != 0) {
      if (errno != ENOSYS) return FailedWith(errno);
      for (const NewFile* each : files) {
        StepResult result = FlushNewFile(*each);
        if (!result.Ok()) return result;
      }
      return Succeeded();
    }
    flushed.push_back(info.st_dev);
  }
  return Succeeded();
}

StepResult FlushFolder(const std::string& folder) {
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailedWith(errno);
  const int flushed = Retrying([fd] { return fsync(fd); });
  const int error = errno;
  close(fd);
  // A file system that cannot flush a folder on its own orders its names
  // with the data (or keeps nothing across a power cut at all).
  if (flushed != 0 && error != EINVAL && error != EROFS) return FailedWith(error);
  return Succeeded();
}

StepResult ExchangeNames(const std::string& a, const std::string& b) {
  return RenameWith(a, b, RENAME_EXCHANGE);
}

StepResult MakeSecondName(const std::string& existing, const std::string& name) {
  if (link(existing.c_str(), name.c_str()) == 0) return Succeeded();
  // EPERM: no hard links on this file system, or links to files of other
  // users are forbidden (protected_hardlinks); EMLINK: too many names.
  if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EMLINK) {
    return Unsupported(errno);
  }
  return FailedWith(errno);
}

StepResult RenameOver(const std::string& from, const std::string& to) {
  return ResultOf(rename(from.c_str(), to.c_str()));
}

StepResult RenameToFree(const std::string& from, const std::string& to) {
  return RenameWith(from, to, RENAME_NOREPLACE);
}

StepResult DeleteName(const std::string& path) { return ResultOf(unlink(path.c_str())); }

// Arguments are bytes: they reach the program as typed.
std::string ArgumentInUtf8(int, const char* given) { return given; }

uint32_t ProcessNumber() { return static_cast<uint32_t>(getpid()); }

StepResult DeleteUnheldHelperFile(const std::string& path, bool& held) {
  held = false;
  // Read only and without waiting: nothing is written, a FIFO put under the
  // name is not waited for, and a terminal does not become ours.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return FailedWith(errno);
    if (errno == ELOOP) return WrongKind();  // a symbolic link
    held = true;                             // cannot tell
    return Succeeded();
  }
  StepResult result;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    held = true;
  } else if (!S_ISREG(info.st_mode)) {
    result = WrongKind();
  } else if (HoldHelperFile(fd) != 0 || !NamesOpenFile(path, fd)) {
    // Held by its run; or no locks here, or the name changed hands since it
    // was opened: cannot tell.
    held = true;
  } else if (unlink(path.c_str()) != 0) {
    result = FailedWith(errno);
  }
  close(fd);
  return result;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return false;
  while (struct dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(listing);
  return true;
}

uint32_t UnpredictableNumber() {
  uint32_t number = 0;
  if (getrandom(&number, sizeof number, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof number)) {
    return number;
  }
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(getpid() << 16);
}

StepResult CheckReadable(const std::string& path) {
  // A FIFO is looked at before it is opened: opening one waits for a writer.
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return FailedWith(errno);
  if (!S_ISREG(status.st_mode)) return WrongKind();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FailedWith(errno);
  close(fd);
  return Succeeded();
}

StepResult CheckWritableFolder(const std::string& folder) {
  return ResultOf(access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK));
}

std::string ProgramFolderThrough(const std::string& path) {
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(path, error);
  return error ? std::string() : FolderOf(real.string());
}

std::string CurrentFolder() {
  std::string folder(4096, '\0');
  if (getcwd(&folder[0], folder.size()) == nullptr) return ".";
  folder.resize(std::strlen(folder.c_str()));
  return folder;
}

std::string SystemCharacterSet() {
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  std::string codeset = "ANSI_X3.4-1968";
  if (locale != static_cast<locale_t>(0)) {
    const char* name = nl_langinfo_l(CODESET, locale);
    if (name != nullptr) codeset = name;
    freelocale(locale);
  }
  return codeset;
}

bool SystemTextIsAnsiCodePage() { return false; }

bool IsValidSystemText(const std::string& text) {
  std::string wide;
  bool unavailable = false;
  // A character set iconv does not know cannot be checked: taken as valid.
  return ConvertText(SystemCharacterSet().c_str(), "UTF-32LE", text, wide, unavailable) ||
         unavailable;
}

StepResult CheckWritableFile(const std::string& path) {
  return ResultOf(access(path.c_str(), W_OK));
}
