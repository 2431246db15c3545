// Lists the PCI display-class devices of a sysfs-style device tree and names
// them from a PCI ID database the way the usual PCI listing tools do. Plain
// file reading only, so it builds (and is tested) on every system.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/log_file.h"

namespace {

namespace fs = std::filesystem;

// Base class code of display controllers (the top byte of the class code).
constexpr uint32_t kDisplayBaseClass = 0x03;
// What PCI configuration space reads for an id that is not there.
constexpr uint32_t kMissingId = 0xffff;

struct DisplayDevice {
  uint32_t vendorId = kMissingId;
  uint32_t deviceId = kMissingId;
  std::string vendorName;  // empty until found in a database
  std::string deviceName;  // empty until found in a database
};

const char kBlanks[] = " \t\r\n";

std::string TrimTrailingBlanks(const std::string& text) {
  return text.substr(0, text.find_last_not_of(kBlanks) + 1);
}

// True when [begin, end) is nothing but hex digits, read into value.
bool ParseHex(const char* begin, const char* end, uint32_t& value) {
  const std::from_chars_result read = std::from_chars(begin, end, value, 16);
  return read.ec == std::errc() && read.ptr == end;
}

// Reads a sysfs attribute such as "0x030000": an optional "0x", one to
// maxDigits hex digits, then nothing but blanks.
bool ReadAttributeHex(const fs::path& file, size_t maxDigits, uint32_t& value) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return false;
  std::string digits = TrimTrailingBlanks(line);
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.erase(0, 2);
  }
  return !digits.empty() && digits.size() <= maxDigits &&
         ParseHex(digits.data(), digits.data() + digits.size(), value);
}

// Names of the entries of root, sorted; for PCI addresses (fixed-width hex)
// that is bus order. False when root cannot be listed.
bool ListSortedEntryNames(const fs::path& root, std::vector<std::string>& names) {
  std::error_code error;
  fs::directory_iterator entry(root, error);
  if (error) return false;
  while (entry != fs::directory_iterator()) {
    names.push_back(entry->path().filename().string());
    entry.increment(error);
    if (error) return false;
  }
  std::sort(names.begin(), names.end());
  return true;
}

// Reads the ids of the device in folder; false when it is not a display
// device or its class cannot be read.
bool ReadDisplayDevice(const fs::path& folder, DisplayDevice& device) {
  uint32_t classCode = 0;
  if (!ReadAttributeHex(folder / "class", 6, classCode)) return false;
  if ((classCode >> 16) != kDisplayBaseClass) return false;
  if (!ReadAttributeHex(folder / "vendor", 4, device.vendorId)) device.vendorId = kMissingId;
  if (!ReadAttributeHex(folder / "device", 4, device.deviceId)) device.deviceId = kMissingId;
  return true;
}

// Parses an ID database entry "xxxx  Name" starting at text[start]: exactly
// four hex digits, blanks, then the name.
bool ParseDatabaseEntry(const std::string& text, size_t start, uint32_t& id, std::string& name) {
  uint32_t value = 0;
  if (text.size() < start + 5 || !ParseHex(&text[start], &text[start + 4], value) ||
      text.find_first_of(kBlanks, start + 4) != start + 4) {
    return false;
  }
  const size_t nameStart = text.find_first_not_of(kBlanks, start + 4);
  name = nameStart == std::string::npos ? "" : TrimTrailingBlanks(text.substr(nameStart));
  if (name.empty()) return false;
  id = value;
  return true;
}

// Fills in the names of devices from one pass over an ID database: vendor
// lines at column 0, their device lines after one tab; subsystem lines (two
// tabs), comments and the later non-vendor sections are passed over.
void NameFromDatabase(std::istream& database, std::vector<DisplayDevice>& devices) {
  bool inVendor = false;
  uint32_t vendorId = 0;
  std::string line;
  std::string name;
  while (std::getline(database, line)) {
    if (line.empty() || line[0] == '#') continue;
    uint32_t id = 0;
    if (line[0] != '\t') {
      inVendor = ParseDatabaseEntry(line, 0, id, name);
      if (!inVendor) continue;
      vendorId = id;
      for (DisplayDevice& device : devices) {
        if (device.vendorId == id && device.vendorName.empty()) device.vendorName = name;
      }
    } else if (inVendor && line.size() > 1 && line[1] != '\t' &&
               ParseDatabaseEntry(line, 1, id, name)) {
      for (DisplayDevice& device : devices) {
        if (device.vendorId == vendorId && device.deviceId == id && device.deviceName.empty()) {
          device.deviceName = name;
        }
      }
    }
  }
}

std::string HexId(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned>(id));
  return text;
}

std::string Describe(const DisplayDevice& device) {
  if (device.vendorName.empty()) {
    return "Device " + HexId(device.vendorId) + ":" + HexId(device.deviceId);
  }
  if (device.deviceName.empty()) {
    return device.vendorName + " Device " + HexId(device.deviceId);
  }
  return device.vendorName + " " + device.deviceName;
}

}  // namespace

bool ListPciDisplayDevices(const std::string& deviceRoot,
                           const std::vector<std::string>& idDatabases,
                           std::vector<std::string>& list) {
  const fs::path root(deviceRoot);
  std::vector<std::string> names;
  if (!ListSortedEntryNames(root, names)) return false;

  std::vector<DisplayDevice> devices;
  for (const std::string& name : names) {
    DisplayDevice device;
    if (ReadDisplayDevice(root / name, device)) devices.push_back(device);
  }
  if (devices.empty()) return true;

  // Named from the first database that can be read (a folder or an empty
  // file is passed over); unnamed when none can.
  for (const std::string& path : idDatabases) {
    std::ifstream database{fs::path(path)};
    if (database && database.peek() != std::ifstream::traits_type::eof()) {
      NameFromDatabase(database, devices);
      break;
    }
  }
  for (const DisplayDevice& device : devices) list.push_back(Describe(device));
  return true;
}
