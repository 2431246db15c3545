// Windows implementation of the platform layer (MinGW, ANSI calls).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

volatile LONG g_stopRequested = 0;
HANDLE g_stopEvent = nullptr;
bool g_handlerInstalled = false;

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

}  // namespace

struct PlatformLock {
  CRITICAL_SECTION section;
};

bool IsSystemLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAbsolutePath(const std::string& name) {
  return name.size() >= 3 && name[1] == ':' && name[2] == '\\';
}

bool GetExecutablePath(std::string& path) {
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
  return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

char* CurrentTimeText(char* buffer) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::snprintf(buffer, 9, "%02u:%02u:%02u", static_cast<unsigned>(now.wHour % 100),
                static_cast<unsigned>(now.wMinute % 100), static_cast<unsigned>(now.wSecond % 100));
  return buffer;
}

void WaitMilliseconds(uint32_t milliseconds) {
  if (StopRequested()) return;
  if (g_stopEvent != nullptr) {
    WaitForSingleObject(g_stopEvent, milliseconds);
  } else {
    Sleep(milliseconds);
  }
}

void InstallStopHandler() {
  if (g_stopEvent == nullptr) g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  g_handlerInstalled = true;
}

void RemoveStopHandler() {
  if (!g_handlerInstalled) return;
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_handlerInstalled = false;
}

bool StopRequested() { return InterlockedCompareExchange(&g_stopRequested, 0, 0) != 0; }

void RequestStop() {
  InterlockedExchange(&g_stopRequested, 1);
  if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
}

bool AppendFile(const std::string& path, const char* text) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  text == nullptr ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (text != nullptr) {
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  }
  CloseHandle(file);
  return true;
}

PlatformLock* CreatePlatformLock() {
  PlatformLock* lock = new PlatformLock;
  InitializeCriticalSection(&lock->section);
  return lock;
}

void DeletePlatformLock(PlatformLock* lock) {
  DeleteCriticalSection(&lock->section);
  delete lock;
}

void EnterPlatformLock(PlatformLock* lock) { EnterCriticalSection(&lock->section); }
void LeavePlatformLock(PlatformLock* lock) { LeaveCriticalSection(&lock->section); }

void ShowFatalBox(const char* text, const char* caption) {
  std::fflush(stdout);
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONEXCLAMATION);
}

void EndProcessFatally() {
  std::fflush(stdout);
  std::abort();  // the runtime's abnormal end: exit status 3
}

bool ListDisplayAdapters(std::vector<std::string>& list) {
  HMODULE library = LoadLibraryA("user32.dll");
  if (library == nullptr) return false;
  EnumDisplayDevicesFunction enumerate = reinterpret_cast<EnumDisplayDevicesFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, "EnumDisplayDevicesA")));
  if (enumerate == nullptr) {
    FreeLibrary(library);
    return false;
  }
  for (DWORD index = 0;; ++index) {
    DISPLAY_DEVICEA device;
    std::memset(&device, 0, sizeof device);
    device.cb = kDisplayDeviceSize;
    if (!enumerate(nullptr, index, &device, 0)) break;
    list.push_back(
        std::string(device.DeviceString, strnlen(device.DeviceString, sizeof device.DeviceString)));
  }
  FreeLibrary(library);
  return true;
}

FileIdentity GetFileIdentity(const std::string& path) {
  FileIdentity identity;
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return identity;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info)) {
    identity.valid = true;
    identity.device = info.dwVolumeSerialNumber;
    identity.node = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  CloseHandle(file);
  return identity;
}

bool DeleteFileAt(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

bool CopyFileTo(const std::string& source, const std::string& target) {
  return CopyFileA(source.c_str(), target.c_str(), FALSE) != FALSE;
}

SwapResult SwapIntoPlace(const std::string& staged, const std::string& destination,
                         const std::string& companion) {
  if (GetFileAttributesA(destination.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return MoveFileA(staged.c_str(), destination.c_str()) ? SwapResult::DestinationMissing
                                                          : SwapResult::Failed;
  }
  // A second name for the old file, then one rename over the destination:
  // the destination name is never missing. ReplaceFileA is not that careful
  // everywhere (it may move the old file away first), so it comes second.
  if (CreateHardLinkA(companion.c_str(), destination.c_str(), nullptr)) {
    if (MoveFileExA(staged.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return SwapResult::Replaced;
    }
    DeleteFileA(companion.c_str());
    return SwapResult::Failed;
  }
  if (ReplaceFileA(destination.c_str(), staged.c_str(), companion.c_str(),
                   REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    return SwapResult::Replaced;
  }
  if (GetFileAttributesA(destination.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // The call failed after moving the old file to the backup name: undo it.
    MoveFileA(companion.c_str(), destination.c_str());
    return SwapResult::Failed;
  }
  // Where the file system cannot replace in one call: move the old file
  // aside, put the new one in, and move the old one back if that fails.
  if (!MoveFileA(destination.c_str(), companion.c_str())) return SwapResult::Failed;
  if (MoveFileExA(staged.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return SwapResult::Replaced;
  }
  MoveFileA(companion.c_str(), destination.c_str());
  return SwapResult::Failed;
}

bool MoveOver(const std::string& staged, const std::string& destination) {
  return MoveFileExA(staged.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}
