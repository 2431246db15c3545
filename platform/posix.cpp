// Linux implementation of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "build_number.h"
#include "platform/platform.h"

namespace {

volatile sig_atomic_t g_stopRequested = 0;
struct sigaction g_previousInt;
struct sigaction g_previousTerm;
struct sigaction g_previousFileSize;
bool g_handlerInstalled = false;

void OnStopSignal(int) { g_stopRequested = 1; }

bool LocaleIsShiftJis() {
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return false;
  const char* codeset = nl_langinfo_l(CODESET, locale);
  bool shiftJis = codeset != nullptr &&
                  (strcasecmp(codeset, "SHIFT_JIS") == 0 || strcasecmp(codeset, "SJIS") == 0 ||
                   strcasecmp(codeset, "CP932") == 0 || strcasecmp(codeset, "WINDOWS-31J") == 0 ||
                   strcasecmp(codeset, "SHIFT_JISX0213") == 0);
  freelocale(locale);
  return shiftJis;
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

// Errors after which copy_file_range or sendfile cannot do this copy at all,
// so a plainer way is tried.
bool IsUnsupportedCopy(int error) {
  return error == EXDEV || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL ||
         error == EBADF || error == EPERM;
}

enum class CopyStep { Finished, Unsupported, Failed };

// One step of a copy done inside the kernel; answers as write() does.
using KernelCopy = ssize_t (*)(int in, int out, size_t length);

// Lets the file system share blocks where it can.
ssize_t CopyFileRangeStep(int in, int out, size_t length) {
  return copy_file_range(in, nullptr, out, nullptr, length, 0);
}

ssize_t SendfileStep(int in, int out, size_t length) { return sendfile(out, in, nullptr, length); }

// Copies until end of file; sizes from stat are never trusted (/proc reports
// 0). "Unsupported" when this way cannot copy the file at all.
CopyStep CopyInKernel(KernelCopy step, int in, int out, off_t& copied) {
  const size_t kChunk = size_t{1} << 30;
  for (;;) {
    ssize_t n = step(in, out, kChunk);
    if (n > 0) {
      copied += n;
      if (StopRequested()) return CopyStep::Failed;
      continue;
    }
    if (n == 0) return copied == 0 ? CopyStep::Unsupported : CopyStep::Finished;
    if (errno == EINTR) continue;
    return copied == 0 && IsUnsupportedCopy(errno) ? CopyStep::Unsupported : CopyStep::Failed;
  }
}

bool CopyWithReadWrite(int in, int out) {
  const size_t kBufferSize = size_t{1} << 20;
  char* buffer = static_cast<char*>(std::malloc(kBufferSize));
  if (buffer == nullptr) return false;
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer, kBufferSize);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (!WriteAll(out, buffer, static_cast<size_t>(n)) || StopRequested()) {
      ok = false;
      break;
    }
  }
  std::free(buffer);
  return ok;
}

// Both descriptors stand at offset 0. A zero-length answer from the kernel
// copies may mean "not supported here" (pseudo files), so the next way starts
// over from the beginning.
bool CopyContents(int in, int out) {
  off_t copied = 0;
  CopyStep step = CopyInKernel(CopyFileRangeStep, in, out, copied);
  if (step == CopyStep::Unsupported) step = CopyInKernel(SendfileStep, in, out, copied);
  if (step == CopyStep::Finished) return true;
  if (step == CopyStep::Failed) return false;
  if (lseek(in, 0, SEEK_SET) != 0 || lseek(out, 0, SEEK_SET) != 0 || ftruncate(out, 0) != 0) {
    // A pipe-like source that cannot be rewound: read on from here.
    return copied == 0 && CopyWithReadWrite(in, out);
  }
  return CopyWithReadWrite(in, out);
}

bool IsMissingLinkSupport(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == EMLINK || error == ENOSYS ||
         error == EXDEV;
}

}  // namespace

struct PlatformLock {
  std::mutex mutex;
};

bool IsSystemLeadByte(unsigned char byte) {
  static const bool shiftJis = LocaleIsShiftJis();
  return shiftJis && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

bool IsPathSeparator(char c) { return c == '/'; }

bool IsAbsolutePath(const std::string& name) { return !name.empty() && name[0] == '/'; }

bool GetExecutablePath(std::string& path) {
  std::string buffer(4096, '\0');
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      path = buffer;
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
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

void WaitMilliseconds(uint32_t milliseconds) {
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (!StopRequested() && nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void InstallStopHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a signal must cut a wait short
  sigaction(SIGINT, &action, &g_previousInt);
  sigaction(SIGTERM, &action, &g_previousTerm);
  // A copy past the file-size limit must fail with EFBIG and be rolled back,
  // not end the process.
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &g_previousFileSize);
  g_handlerInstalled = true;
}

void RemoveStopHandler() {
  if (!g_handlerInstalled) return;
  sigaction(SIGINT, &g_previousInt, nullptr);
  sigaction(SIGTERM, &g_previousTerm, nullptr);
  sigaction(SIGXFSZ, &g_previousFileSize, nullptr);
  g_handlerInstalled = false;
}

bool StopRequested() { return g_stopRequested != 0; }

void RequestStop() { g_stopRequested = 1; }

bool AppendFile(const std::string& path, const char* text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // Another writer holding the lock keeps us out, as a non-sharing writer
  // does on Windows.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  if (text == nullptr) {
    if (ftruncate(fd, 0) != 0) {
      close(fd);
      return false;
    }
  } else {
    WriteAll(fd, text, std::strlen(text));
  }
  close(fd);
  return true;
}

PlatformLock* CreatePlatformLock() { return new PlatformLock; }
void DeletePlatformLock(PlatformLock* lock) { delete lock; }
void EnterPlatformLock(PlatformLock* lock) { lock->mutex.lock(); }
void LeavePlatformLock(PlatformLock* lock) { lock->mutex.unlock(); }

void ShowFatalBox(const char* text, const char* caption) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n%s\n", caption, text);
  std::fflush(stderr);
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

FileIdentity GetFileIdentity(const std::string& path) {
  FileIdentity identity;
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    identity.valid = true;
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.node = static_cast<uint64_t>(info.st_ino);
  }
  return identity;
}

bool DeleteFileAt(const std::string& path) { return unlink(path.c_str()) == 0; }

bool CopyFileTo(const std::string& source, const std::string& target) {
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat info;
  if (fstat(in, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(in);
    return false;
  }
  int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = CopyContents(in, out);
  // Permission bits and modification time go over as the Windows copy keeps them.
  if (ok) ok = fchmod(out, info.st_mode & 07777) == 0;
  if (ok) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = info.st_mtim;
    futimens(out, times);
  }
  if (close(out) != 0) ok = false;
  close(in);
  return ok;
}

SwapResult SwapIntoPlace(const std::string& staged, const std::string& destination,
                         const std::string& companion) {
  // Exchanging the two names keeps the destination present throughout and,
  // unlike renaming over it, does not make ext4 write the whole new copy back
  // inside the call (which made a large replacement far slower than a cp).
  if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, destination.c_str(), RENAME_EXCHANGE) == 0) {
    if (rename(staged.c_str(), companion.c_str()) == 0) return SwapResult::Replaced;
    // The old file cannot take the companion name: exchange back.
    renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, destination.c_str(), RENAME_EXCHANGE);
    return SwapResult::Failed;
  }
  if (link(destination.c_str(), companion.c_str()) == 0) {
    if (rename(staged.c_str(), destination.c_str()) == 0) return SwapResult::Replaced;
    unlink(companion.c_str());
    return SwapResult::Failed;
  }
  int error = errno;
  if (error == ENOENT && access(destination.c_str(), F_OK) != 0) {
    return rename(staged.c_str(), destination.c_str()) == 0 ? SwapResult::DestinationMissing
                                                            : SwapResult::Failed;
  }
  if (!IsMissingLinkSupport(error)) return SwapResult::Failed;
  // No hard links here: move the old file aside, then put the new one in.
  if (rename(destination.c_str(), companion.c_str()) != 0) return SwapResult::Failed;
  if (rename(staged.c_str(), destination.c_str()) == 0) return SwapResult::Replaced;
  rename(companion.c_str(), destination.c_str());
  return SwapResult::Failed;
}

bool MoveOver(const std::string& staged, const std::string& destination) {
  return rename(staged.c_str(), destination.c_str()) == 0;
}
