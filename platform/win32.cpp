// Windows implementation of the platform layer (MinGW): the ANSI calls, or
// the wide ones once names are UTF-8 (SetUtf8Names).
// rand_s, the system's unpredictable numbers.
#define _CRT_RAND_S
#include <windows.h>
// CommandLineToArgvW
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

volatile LONG g_stopRequested = 0;
// Names are UTF-8 and reach the system through the wide calls.
bool g_utf8Names = false;
HANDLE g_stopEvent = nullptr;

// Runs on a thread of its own: only raise the flag and wake the wait.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT ||
      type == CTRL_SHUTDOWN_EVENT || type == CTRL_LOGOFF_EVENT) {
    RequestStop();
    return TRUE;
  }
  return FALSE;
}

typedef BOOL(WINAPI* EnumDisplayDevicesFunction)(LPCSTR, DWORD, PDISPLAY_DEVICEA, DWORD);

// Only the members up to StateFlags are asked for.
const DWORD kDisplayDeviceSize = 168;

StepResult Succeeded() { return StepResult(); }

StepResult WithStatus(StepStatus status, DWORD error) {
  return StepResult{status, static_cast<int>(error)};
}

StepResult FailedWith(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return WithStatus(StepStatus::Missing, error);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return WithStatus(StepStatus::Exists, error);
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_NAME:
      return WithStatus(StepStatus::BadName, error);
    default:
      return WithStatus(StepStatus::Failed, error);
  }
}

// Ok for a call that succeeded, else what GetLastError says.
StepResult ResultOf(BOOL done) { return done ? Succeeded() : FailedWith(GetLastError()); }

// Text of a code page as UTF-16; empty where the system cannot convert it.
std::wstring WideOf(UINT codePage, const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  int size = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), length, &wide[0], size);
  return wide;
}

// Wide text in a code page; characters the ANSI one lacks become "?".
std::string TextOf(UINT codePage, const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int size = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), &text[0], size,
                      nullptr, nullptr);
  return text;
}

// The code page of the process's names and text.
UINT NameCodePage() { return g_utf8Names ? CP_UTF8 : CP_ACP; }

// The full path of a name, through GetFullPathNameA or GetFullPathNameW; the
// name itself where the system cannot tell.
template <typename Text, typename Character>
Text FullPathOf(const Text& name,
                DWORD(WINAPI* get)(const Character*, DWORD, Character*, Character**)) {
  DWORD size = get(name.c_str(), 0, nullptr, nullptr);
  Text full(size, Character());
  DWORD length = size == 0 ? 0 : get(name.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return name;
  full.resize(length);
  return full;
}

// A UTF-8 name for the wide calls. One of MAX_PATH characters or more is
// made full and takes the "\\?\" prefix, which lifts that limit.
std::wstring WideName(const std::string& name) {
  std::wstring wide = WideOf(CP_UTF8, name);
  if (wide.size() < MAX_PATH || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  const std::wstring full = FullPathOf(wide, GetFullPathNameW);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Calls in the process's name form: ANSI, or wide from UTF-8.
HANDLE OpenName(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags) {
  if (!g_utf8Names) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  }
  return CreateFileW(WideName(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
}

DWORD AttributesOf(const std::string& path) {
  return g_utf8Names ? GetFileAttributesW(WideName(path).c_str())
                     : GetFileAttributesA(path.c_str());
}

BOOL MoveName(const std::string& from, const std::string& to, DWORD flags) {
  return g_utf8Names ? MoveFileExW(WideName(from).c_str(), WideName(to).c_str(), flags)
                     : MoveFileExA(from.c_str(), to.c_str(), flags);
}

// A search for pattern; name gets each entry found.
struct Search {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string name;
  WIN32_FIND_DATAA ansi;
  WIN32_FIND_DATAW wide;
  explicit Search(const std::string& pattern) {
    handle = g_utf8Names ? FindFirstFileW(WideName(pattern).c_str(), &wide)
                         : FindFirstFileA(pattern.c_str(), &ansi);
    Take();
  }
  ~Search() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
  bool Next() {
    if (!(g_utf8Names ? FindNextFileW(handle, &wide) : FindNextFileA(handle, &ansi))) return false;
    Take();
    return true;
  }
  void Take() {
    if (handle != INVALID_HANDLE_VALUE)
      name = g_utf8Names ? TextOf(CP_UTF8, wide.cFileName) : std::string(ansi.cFileName);
  }
};

// Opens an existing name as asked and closes it again: whether it can be
// opened so.
StepResult TryOpening(const std::string& path, DWORD access, DWORD share, DWORD flags) {
  HANDLE handle = OpenName(path, access, share, OPEN_EXISTING, flags);
  if (handle == INVALID_HANDLE_VALUE) return FailedWith(GetLastError());
  CloseHandle(handle);
  return Succeeded();
}

// Identity (and number of names) of the file a handle opened with flags shows.
FileIdentity IdentityOf(const std::string& path, DWORD flags, uint64_t* links) {
  FileIdentity identity;
  HANDLE file = OpenName(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         OPEN_EXISTING, flags);
  if (file == INVALID_HANDLE_VALUE) return identity;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info)) {
    identity.valid = true;
    identity.device = info.dwVolumeSerialNumber;
    identity.node = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    if (links != nullptr) *links = info.nNumberOfLinks;
  }
  CloseHandle(file);
  return identity;
}

bool WriteAll(HANDLE out, const char* data, DWORD length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, length, &written, nullptr) || written == 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

// True when nothing is left to read from in (its position is at its size).
bool AtEnd(HANDLE in) {
  LARGE_INTEGER size, at, none;
  none.QuadPart = 0;
  return GetFileSizeEx(in, &size) && SetFilePointerEx(in, none, &at, FILE_CURRENT) &&
         at.QuadPart >= size.QuadPart;
}

// Copies to the end in chunks; a stop request ends it between two chunks
// unless the copy is complete.
StepResult CopyHandle(HANDLE in, HANDLE out) {
  const DWORD kBufferSize = 1 << 20;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]);
  if (!buffer) return WithStatus(StepStatus::Failed, ERROR_NOT_ENOUGH_MEMORY);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.get(), kBufferSize, &got, nullptr))
      return AtSource(FailedWith(GetLastError()));
    if (got == 0) return Succeeded();
    if (!WriteAll(out, buffer.get(), got)) return FailedWith(GetLastError());
    // A stop cuts short only a copy with more to copy.
    if (StopRequested() && !AtEnd(in))
      return WithStatus(StepStatus::Stopped, ERROR_OPERATION_ABORTED);
  }
}

}  // namespace

bool IsSystemLeadByte(unsigned char value) {
  return !g_utf8Names && IsDBCSLeadByte(value) != FALSE;
}

void SetUtf8Names(bool on) { g_utf8Names = on; }

bool Utf8Names() { return g_utf8Names; }

std::FILE* OpenStream(const char* path, const char* mode) {
  if (!g_utf8Names) return std::fopen(path, mode);
  return _wfopen(WideName(path).c_str(), WideOf(CP_UTF8, mode).c_str());
}

void WriteText(std::FILE* stream, const char* text) {
  HANDLE out = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (g_utf8Names && GetConsoleMode(out, &mode)) {
    std::fflush(stream);
    const std::wstring wide = WideOf(CP_UTF8, text);
    DWORD written = 0;
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fputs(text, stream);
}

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

char SystemSeparator() { return '\\'; }

bool IsAbsolutePath(const std::string& name) {
  return name.size() >= 3 && name[1] == ':' && name[2] == '\\';
}

bool HasDriveLetters() { return true; }

std::string AbsolutePathOf(const std::string& path) {
  if (path.empty()) return path;
  if (g_utf8Names) return TextOf(CP_UTF8, FullPathOf(WideOf(CP_UTF8, path), GetFullPathNameW));
  return FullPathOf(path, GetFullPathNameA);
}

bool NamesHaveStreams() { return true; }

bool DropsTrailingDotsAndBlanks() { return true; }

bool IsReservedDeviceName(const std::string& path) {
  const std::string file = path.substr(CutPath(path).directoryEnd);
  std::string name = file.substr(0, file.find('.'));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (name == "con" || name == "prn" || name == "aux" || name == "nul") return true;
  return name.size() == 4 && (name.compare(0, 3, "com") == 0 || name.compare(0, 3, "lpt") == 0) &&
         name[3] >= '1' && name[3] <= '9';
}

const char* ExecutableSuffix() { return ".exe"; }

bool GetExecutablePath(std::string& path) {
  if (g_utf8Names) {
    std::wstring wide(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, &wide[0], static_cast<DWORD>(wide.size()));
    if (length == 0 || length >= wide.size()) return false;
    wide.resize(length);
    path = TextOf(CP_UTF8, wide);
    return true;
  }
  std::string buffer(4096, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0) return false;
    if (length < buffer.size()) {
      buffer.resize(length);
      path = buffer;
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

int GetBuildNumber() {
  HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
  HGLOBAL handle = LoadResource(nullptr, info);
  const unsigned char* block = static_cast<const unsigned char*>(LockResource(handle));
  if (block == nullptr) return 0;
  // dwFileVersionLS of the fixed part, 52 bytes into the block.
  DWORD fileVersionLow;
  std::memcpy(&fileVersionLow, block + 52, sizeof fileVersionLow);
  return static_cast<int>(fileVersionLow >> 16);
}

bool FileExists(const char* path) {
  return path != nullptr && AttributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

char* CurrentTimeText(char* buffer) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::snprintf(buffer, 9, "%02u:%02u:%02u", static_cast<unsigned>(now.wHour % 100),
                static_cast<unsigned>(now.wMinute % 100), static_cast<unsigned>(now.wSecond % 100));
  return buffer;
}

uint64_t SecondsSinceEpoch() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const uint64_t kTicksTo1970 = 116444736000000000ull;  // 100 ns ticks from 1601
  return ticks < kTicksTo1970 ? 0 : (ticks - kTicksTo1970) / 10000000ull;
}

// Handles are bounded only by memory.
uint32_t RaiseOpenFileLimit() { return 0; }

bool HoldRunLock(const std::string& programDirectory) {
  // A named mutex per folder, named after a hash of the folder as the system
  // compares names, in UTF-8 whatever the form of the run's names (a run of
  // an ANSI script and one of a Unicode script exclude each other); the
  // system closes it when the process ends.
  std::string folded = FoldEntryName(programDirectory);
  if (!g_utf8Names) folded = TextOf(CP_UTF8, WideOf(CP_ACP, folded));
  uint64_t hash = 14695981039346656037ull;
  for (char c : folded) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  HANDLE mutex = nullptr;
  // Without the right to name global objects: this session's namespace.
  for (const char* space : {"Global", "Local"}) {
    char name[64];
    std::snprintf(name, sizeof name, "%s\\kelvo-run-%016llx", space,
                  static_cast<unsigned long long>(hash));
    mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex != nullptr) break;
  }
  if (mutex == nullptr) return true;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  return true;
}

std::string ConvertUtf16Text(const std::string& bytes, bool bigEndian) {
  std::wstring wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned char first = static_cast<unsigned char>(bytes[i]);
    unsigned char second = static_cast<unsigned char>(bytes[i + 1]);
    wide += static_cast<wchar_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  }
  return TextOf(NameCodePage(), wide);
}

std::string ConvertUtf8Text(const std::string& bytes) {
  if (g_utf8Names) return bytes;
  const std::wstring wide = WideOf(CP_UTF8, bytes);
  return wide.empty() ? bytes : TextOf(CP_ACP, wide);
}

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

void WaitMilliseconds(uint32_t milliseconds) {
  if (StopRequested()) return;
  if (g_stopEvent != nullptr) {
    WaitForSingleObject(g_stopEvent, milliseconds);
  } else {
    Sleep(milliseconds);
  }
}

StopHandler::StopHandler() {
  if (g_stopEvent == nullptr) g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  installed = g_stopEvent != nullptr && SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}

StopHandler::~StopHandler() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

bool StopRequested() { return InterlockedCompareExchange(&g_stopRequested, 0, 0) != 0; }

void RequestStop() {
  InterlockedExchange(&g_stopRequested, 1);
  if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
}

bool AppendFile(const std::string& path, const char* text) {
  // Shared for reading only: another writer keeps us out.
  HANDLE file = OpenName(path, GENERIC_WRITE, FILE_SHARE_READ,
                         text == nullptr ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (text != nullptr) {
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  }
  CloseHandle(file);
  return true;
}

// The open itself empties the file (CREATE_ALWAYS): nothing can refuse it after.
bool EmptyFile(const std::string& path, StepResult& emptied) {
  emptied = Succeeded();
  if (AppendFile(path, nullptr)) return true;
  emptied = FailedWith(GetLastError());
  return false;
}

std::string LogFailureText(const StepResult& result) {
  if (result.error == ERROR_SHARING_VIOLATION || result.error == ERROR_LOCK_VIOLATION)
    return "another program holds it open for writing";
  return ErrorText(result.error);
}

// The text is in code page 932 whatever the system's: shown as UTF-16 it
// reads right on any system. The reason, in the system's code page, follows
// after an empty line.
void ShowFatalBox(const char* text, const char* caption, const char* reason) {
  std::fflush(stdout);
  std::wstring wide = WideOf(932, text);
  if (reason != nullptr && reason[0] != '\0') wide += L"\n\n" + WideOf(NameCodePage(), reason);
  MessageBoxW(nullptr, wide.c_str(), WideOf(NameCodePage(), caption).c_str(),
              MB_OK | MB_ICONEXCLAMATION);
}

std::string ConsoleTextOf932(const char* text, const char*) { return text; }

void EndProcessFatally() {
  std::fflush(stdout);
  std::abort();  // the runtime's abnormal end: exit status 3
}

bool ListDisplayAdapters(std::vector<std::string>& list) {
  HMODULE library = LoadLibraryA("user32.dll");
  if (library == nullptr) return false;
  EnumDisplayDevicesFunction enumerate = reinterpret_cast<EnumDisplayDevicesFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, "EnumDisplayDevicesA")));
  for (DWORD index = 0; enumerate != nullptr; ++index) {
    DISPLAY_DEVICEA device = {};
    device.cb = kDisplayDeviceSize;
    if (!enumerate(nullptr, index, &device, 0)) break;
    list.push_back(
        std::string(device.DeviceString, strnlen(device.DeviceString, sizeof device.DeviceString)));
  }
  FreeLibrary(library);
  return enumerate != nullptr;
}

std::string ErrorText(int error) {
  wchar_t buffer[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error), 0, buffer, 512, nullptr);
  // In the process's text, without the full stop and line end the system
  // ends its text with.
  std::string text = TextOf(NameCodePage(), std::wstring(buffer, length));
  text.erase(text.find_last_not_of("\r\n .") + 1);
  return text.empty() ? "error " + std::to_string(error) : text;
}

FileIdentity GetFileIdentity(const std::string& path) {
  return IdentityOf(path, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

StepResult ReadEntry(const std::string& path, EntryInfo& info) {
  info = EntryInfo();
  DWORD attributes = AttributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Succeeded();
    return FailedWith(error);
  }
  info.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FileKind::Link
              : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? FileKind::Folder
                                                          : FileKind::Regular;
  info.identity =
      IdentityOf(path, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &info.links);
  return Succeeded();
}

// The name without a stream part and without trailing dots and blanks.
// Colons, dots, blanks and wildcards are below 0x40, so never the second
// byte of a double-byte character.
static std::string PlainEntryName(const std::string& name) {
  std::string entry = name.substr(0, name.find(':'));
  while (!entry.empty() && (entry.back() == '.' || entry.back() == ' ')) entry.pop_back();
  return entry;
}

// A "~" may be part of a short name (or the second byte of a double-byte
// character, which costs a lookup all the same).
static bool MayBeShortName(const std::string& entry) {
  return entry.find('~') != std::string::npos && entry.find_first_of("*?") == std::string::npos;
}

std::string EntryName(const std::string& folder, const std::string& name) {
  std::string entry = PlainEntryName(name);
  if (!MayBeShortName(entry)) return entry;
  Search search(folder + entry);
  return search.handle == INVALID_HANDLE_VALUE ? entry : search.name;
}

std::string FoldEntryName(const std::string& name) {
  if (g_utf8Names) {
    std::wstring wide = WideOf(CP_UTF8, name);
    if (!wide.empty()) CharUpperBuffW(&wide[0], static_cast<DWORD>(wide.size()));
    return TextOf(CP_UTF8, wide);
  }
  std::string folded = name;
  if (!folded.empty()) CharUpperBuffA(&folded[0], static_cast<DWORD>(folded.size()));
  return folded;
}

StepResult LookAtNewName(const std::string& path, NewNameStep step) {
  const DWORD attributes = step == NewNameStep::Create || g_utf8Names
                               ? AttributesOf(path)
                               : GetFileAttributesW(WideOf(CP_ACP, path).c_str());
  const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
  if (error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME) return FailedWith(error);
  return Succeeded();
}

StepResult CreateAnonymousFile(const std::string&, NewFile&) {
  return WithStatus(StepStatus::Unsupported, ERROR_NOT_SUPPORTED);
}

StepResult CreateNewFile(const std::string& path, NewFile& file) {
  // CREATE_NEW fails on any existing name, a symbolic link included. The
  // handle shares nothing: while it is open, a sweep finds the file held.
  HANDLE handle = OpenName(path, GENERIC_WRITE, 0, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (handle == INVALID_HANDLE_VALUE) return FailedWith(GetLastError());
  file.handle = reinterpret_cast<intptr_t>(handle);
  return Succeeded();
}

StepResult CopyInto(const std::string& source, NewFile& file, const EntryInfo&) {
  DWORD attributes = AttributesOf(source);
  if (attributes == INVALID_FILE_ATTRIBUTES) return AtSource(FailedWith(GetLastError()));
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return AtSource(WithStatus(StepStatus::WrongKind, ERROR_DIRECTORY));
  }
  HANDLE in = OpenName(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN);
  if (in == INVALID_HANDLE_VALUE) return AtSource(FailedWith(GetLastError()));
  StepResult result;
  if (GetFileType(in) != FILE_TYPE_DISK) {
    result = AtSource(WithStatus(StepStatus::WrongKind, ERROR_BAD_FILE_TYPE));
  }
  // The copy is a new file: its time is now and it carries no attribute of
  // the source's, read-only included.
  if (result.Ok()) result = CopyHandle(in, reinterpret_cast<HANDLE>(file.handle));
  LARGE_INTEGER size;
  if (result.Ok() && GetFileSizeEx(in, &size)) file.bytes = static_cast<uint64_t>(size.QuadPart);
  CloseHandle(in);
  return result;
}

StepResult NameAnonymousFile(const NewFile&, const std::string&) {
  return WithStatus(StepStatus::Unsupported, ERROR_NOT_SUPPORTED);
}

StepResult CloseNewFile(NewFile& file) {
  if (file.handle == -1) return Succeeded();
  HANDLE handle = reinterpret_cast<HANDLE>(file.handle);
  file.handle = -1;
  return ResultOf(CloseHandle(handle));
}

StepResult ReadyToRename(NewFile& file) { return CloseNewFile(file); }

StepResult FlushNewFile(const NewFile& file) {
  return ResultOf(FlushFileBuffers(reinterpret_cast<HANDLE>(file.handle)));
}

// Windows has no flush of a whole volume that a user may call.
StepResult FlushNewFiles(const std::vector<const NewFile*>& files) {
  for (const NewFile* file : files) {
    StepResult result = FlushNewFile(*file);
    if (!result.Ok()) return result;
  }
  return Succeeded();
}

StepResult FlushFolder(const std::string&) { return Succeeded(); }

StepResult ExchangeNames(const std::string&, const std::string&) {
  return WithStatus(StepStatus::Unsupported, ERROR_NOT_SUPPORTED);
}

StepResult MakeSecondName(const std::string& existing, const std::string& name) {
  // A file another program holds without letting it be deleted could be
  // neither replaced nor rid of its second name: refuse it before linking.
  HANDLE file = OpenName(existing, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) return FailedWith(GetLastError());
  BOOL linked = g_utf8Names
                    ? CreateHardLinkW(WideName(name).c_str(), WideName(existing).c_str(), nullptr)
                    : CreateHardLinkA(name.c_str(), existing.c_str(), nullptr);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (linked) return Succeeded();
  if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
      error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_TOO_MANY_LINKS) {
    return WithStatus(StepStatus::Unsupported, static_cast<int>(error));
  }
  return FailedWith(error);
}

// Another program that has the file open for a moment (a second run, a
// virus scanner, an indexer) makes a move fail with a sharing violation or
// a denied access: the move is tried again for up to half a second.
static StepResult MoveAllowingForOthers(const std::string& from, const std::string& to,
                                        DWORD flags) {
  StepResult result;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (attempt > 0) Sleep(25);
    result = ResultOf(MoveName(from, to, flags));
    if (result.Ok() ||
        (result.error != ERROR_SHARING_VIOLATION && result.error != ERROR_LOCK_VIOLATION &&
         result.error != ERROR_ACCESS_DENIED))
      break;
  }
  return result;
}

StepResult RenameOver(const std::string& from, const std::string& to) {
  return MoveAllowingForOthers(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

StepResult RenameToFree(const std::string& from, const std::string& to) {
  return ResultOf(MoveName(from, to, MOVEFILE_WRITE_THROUGH));
}

StepResult DeleteName(const std::string& path) {
  return ResultOf(g_utf8Names ? DeleteFileW(WideName(path).c_str()) : DeleteFileA(path.c_str()));
}

// The C runtime's arguments are in the ANSI code page, where a character
// beyond it is lost; the wide command line has it.
std::string ArgumentInUtf8(int index, const char* given) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::string argument = TextOf(CP_UTF8, WideOf(CP_ACP, given));
  if (wide != nullptr && index < count && TextOf(CP_ACP, wide[index]) == given)
    argument = TextOf(CP_UTF8, wide[index]);
  LocalFree(wide);
  return argument;
}

uint32_t ProcessNumber() { return static_cast<uint32_t>(GetCurrentProcessId()); }

StepResult DeleteUnheldHelperFile(const std::string& path, bool& held) {
  held = false;
  // Sharing nothing, the open fails while any other handle is open on the
  // file, the one its run writes it through above all. A reparse point is
  // opened itself, and a folder not at all (no backup semantics).
  HANDLE file =
      OpenName(path, DELETE | FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FailedWith(error);
    held = true;  // in use (a sharing violation), or cannot tell
    return Succeeded();
  }
  StepResult result;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) {
    held = true;
  } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    result = WithStatus(StepStatus::WrongKind, ERROR_BAD_FILE_TYPE);
  } else {
    // Deleted as this handle closes: nobody can open the file in between.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
      result = FailedWith(GetLastError());
    }
  }
  CloseHandle(file);
  return result;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
  std::string pattern = folder;
  if (!pattern.empty() && !IsPathSeparator(pattern.back())) pattern += '\\';
  pattern += '*';
  Search search(pattern);
  if (search.handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if (search.name != "." && search.name != "..") names.push_back(search.name);
  } while (search.Next());
  return true;
}

uint32_t UnpredictableNumber() {
  unsigned int number = 0;
  if (rand_s(&number) == 0) return number;
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<uint32_t>(counter.LowPart) ^ (GetCurrentProcessId() << 16);
}

StepResult CheckReadable(const std::string& path) {
  DWORD attributes = AttributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FailedWith(GetLastError());
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return WithStatus(StepStatus::WrongKind, ERROR_DIRECTORY);
  return TryOpening(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_ATTRIBUTE_NORMAL);
}

StepResult CheckWritableFolder(const std::string& folder) {
  // Asking for the right to add a file checks the folder's access list
  // without creating anything.
  return TryOpening(folder.empty() ? "." : folder, FILE_ADD_FILE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    FILE_FLAG_BACKUP_SEMANTICS);
}

std::string ProgramFolderThrough(const std::string& path) {
  if (AttributesOf(path) == INVALID_FILE_ATTRIBUTES) return std::string();
  return FolderOf(path);
}

std::string CurrentFolder() {
  if (g_utf8Names) {
    wchar_t wide[32768];
    DWORD length = GetCurrentDirectoryW(32768, wide);
    return length == 0 || length >= 32768 ? "." : TextOf(CP_UTF8, std::wstring(wide, length));
  }
  char folder[MAX_PATH + 1];
  DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return ".";
  return std::string(folder, length);
}

std::string SystemCharacterSet() { return g_utf8Names ? "UTF-8" : std::to_string(GetACP()); }

bool SystemTextIsAnsiCodePage() { return !g_utf8Names; }

bool IsValidSystemText(const std::string& text) {
  if (text.empty()) return true;
  return MultiByteToWideChar(NameCodePage(), MB_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), nullptr, 0) != 0;
}

StepResult CheckWritableFile(const std::string& path) {
  // Opened for writing and closed again, sharing as the log does: a program
  // that holds the file without sharing makes this fail as it makes the log.
  return TryOpening(path, GENERIC_WRITE, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
}
