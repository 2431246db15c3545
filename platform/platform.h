// The operating system services kelvo uses, one implementation per system
// (posix.cpp, win32.cpp). Nothing outside platform/ includes an OS header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Tells whether a byte starts a double-byte character in some code page.
using LeadByteTest = bool (*)(unsigned char byte);

// --- Text and paths -------------------------------------------------------

// Lead-byte test of the system's ANSI code page (Linux: the locale's
// character set; only Shift_JIS/CP932 has lead bytes).
bool IsSystemLeadByte(unsigned char byte);

// True for the characters that separate directories in a path.
bool IsPathSeparator(char c);

// True for a name that the replacement cycle must not prefix with a base
// directory: "X:\" at the start on Windows, a leading "/" on Linux.
bool IsAbsolutePath(const std::string& name);

// Full path of the running executable; false when the system cannot tell.
bool GetExecutablePath(std::string& path);

// --- Small services -------------------------------------------------------

// Third component of the executable's file version, or 0.
int GetBuildNumber();

// True when the path names any file-system object, a directory included.
bool FileExists(const char* path);

// Writes the local time of day as "HH:MM:SS" into buffer (9 bytes or more).
char* CurrentTimeText(char* buffer);

// Sleeps for the given time; returns early when a stop was requested.
void WaitMilliseconds(uint32_t milliseconds);

// --- Stop requests (Ctrl+C, SIGTERM, console close) ----------------------
// Installed for the replacement cycle; on Linux it also keeps the file-size
// limit signal from ending the process in the middle of a copy.

void InstallStopHandler();
void RemoveStopHandler();
bool StopRequested();
// Lets tests and the program itself raise the same request a signal would.
void RequestStop();

// --- Log file -------------------------------------------------------------

// Opens the file for writing, shared for reading only. A null text creates or
// empties the file; a text is appended at its end. False when the open fails,
// which includes another writer holding the file.
bool AppendFile(const std::string& path, const char* text);

// A lock that serialises the writes of one record.
struct PlatformLock;
PlatformLock* CreatePlatformLock();
void DeletePlatformLock(PlatformLock* lock);
void EnterPlatformLock(PlatformLock* lock);
void LeavePlatformLock(PlatformLock* lock);

// --- Fatal end ------------------------------------------------------------

// Shows a text with a caption and an exclamation icon (Linux: standard error).
void ShowFatalBox(const char* text, const char* caption);
// Ends the process at once with exit status 3, running no destructors.
[[noreturn]] void EndProcessFatally();

// --- Display adapters -----------------------------------------------------

// Appends a description of every display adapter, in the system's order.
// False when the system offers no way to list them.
bool ListDisplayAdapters(std::vector<std::string>& list);

// Appends a description of every PCI display-class device (class 0x03xxxx)
// found under deviceRoot, in bus order, named from the first readable PCI ID
// database of idDatabases, else by numeric ids. False when deviceRoot cannot be
// listed. Plain file reading: the Linux build lists its adapters with it.
bool ListPciDisplayDevices(const std::string& deviceRoot,
                           const std::vector<std::string>& idDatabases,
                           std::vector<std::string>& list);

// --- File steps of a replacement -----------------------------------------

// Identity of an existing file, for telling two names of one file apart.
struct FileIdentity {
  bool valid = false;
  uint64_t device = 0;
  uint64_t node = 0;
};
FileIdentity GetFileIdentity(const std::string& path);

bool DeleteFileAt(const std::string& path);
// Copies source to target, replacing target, keeping permission bits and the
// modification time. On failure target may exist partly; the caller removes it.
bool CopyFileTo(const std::string& source, const std::string& target);

// Puts staged in destination's place and leaves the previous destination
// under companion (which must not exist). Destination is never missing where
// the file system has hard links. Returns false and changes nothing on failure.
enum class SwapResult { Replaced, DestinationMissing, Failed };
SwapResult SwapIntoPlace(const std::string& staged, const std::string& destination,
                         const std::string& companion);

// Puts staged in destination's place without keeping the old destination
// (used when the companion must be left alone). False on failure.
bool MoveOver(const std::string& staged, const std::string& destination);
