// Tests of the PCI display device listing on fake device trees and ID
// databases built in a temporary folder.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "platform/log_file.h"
#include "testing/scratch_directory.h"

namespace {

namespace fs = std::filesystem;

// A small ID database in the real file's layout: a header comment, vendors
// with devices and subsystems, and a device class section at the end.
const char* const kDatabase =
    "# List of PCI ID's\n"
    "#\n"
    "# 8086  Commented Out Vendor\n"
    "1002  Advanced Devices\n"
    "\t5916  Wrong Vendor Card\n"
    "\t6780  Tahiti XT\n"
    "\t\t5916 0b0e  Subsystem With A Device Id Shape\n"
    "10de  Green Graphics\n"
    "\t1c82  GP107 [Ti 4GB]\n"
    "\t\t1043 8613  Subsystem Card\n"
    "8086  Intel Corporation\n"
    "\t\t5916 0001  Subsystem Before The Device\n"
    "\t5916  HD Graphics 620\n"
    "\t591b  HD Graphics 630\n"
    "\t9a49  Percent %s %d %% Graphics\n"
    "\n"
    "# List of known device classes\n"
    "C 03  Display controller\n"
    "\t00  VGA compatible controller\n"
    "\t\t00  VGA controller\n";

class PciDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::create_directories(root_));
    database_ = WriteFile(folder_ / "pci.ids", kDatabase);
  }

  static std::string WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path.string();
  }

  // Folder of the device at a PCI address such as "0000:00:02.0". Windows file
  // names cannot hold ':', so it becomes '_', which keeps the sort order.
  fs::path DeviceFolder(std::string address) const {
    for (char& c : address) {
      if (c == ':') c = '_';
    }
    return root_ / address;
  }

  // Adds a device folder with its class, vendor and device files.
  void AddDevice(const std::string& address, const std::string& classCode,
                 const std::string& vendor, const std::string& device) {
    const fs::path folder = DeviceFolder(address);
    ASSERT_TRUE(fs::create_directories(folder));
    WriteFile(folder / "class", classCode + "\n");
    WriteFile(folder / "vendor", vendor + "\n");
    WriteFile(folder / "device", device + "\n");
  }

  std::vector<std::string> List(const std::vector<std::string>& databases) {
    std::vector<std::string> list;
    EXPECT_TRUE(ListPciDisplayDevices(root_.string(), databases, list));
    return list;
  }
  std::vector<std::string> List() { return List({database_}); }

  ScratchDirectory scratch_{"kelvo-pci"};
  fs::path folder_ = scratch_.Path();
  fs::path root_ = folder_ / "devices";
  std::string database_;
};

using Names = std::vector<std::string>;

TEST_F(PciDevicesTest, EmptyTreeGivesEmptyList) { EXPECT_EQ(List(), Names{}); }

TEST_F(PciDevicesTest, OnlyDisplayClassDevicesAreListed) {
  AddDevice("0000:00:00.0", "0x060000", "0x8086", "0x5916");  // host bridge
  AddDevice("0000:00:1f.6", "0x020000", "0x8086", "0x5916");  // network
  AddDevice("0000:00:1f.3", "0x040300", "0x8086", "0x5916");  // audio
  EXPECT_EQ(List(), Names{});

  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5916");  // VGA
  AddDevice("0000:01:00.0", "0x030200", "0x10de", "0x1c82");  // 3D controller
  AddDevice("0000:02:00.0", "0x038000", "0x1002", "0x6780");  // other display
  EXPECT_EQ(List(), (Names{"Intel Corporation HD Graphics 620", "Green Graphics GP107 [Ti 4GB]",
                           "Advanced Devices Tahiti XT"}));
}

TEST_F(PciDevicesTest, DeviceWithUnreadableClassIsSkipped) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5916");
  AddDevice("0000:01:00.0", "0x030000", "0x10de", "0x1c82");
  AddDevice("0000:02:00.0", "garbage", "0x10de", "0x1c82");
  fs::remove(DeviceFolder("0000:01:00.0") / "class");
  WriteFile(root_ / "stray-file", "0x030000\n");
  EXPECT_EQ(List(), Names{"Intel Corporation HD Graphics 620"});
}

TEST_F(PciDevicesTest, DevicesWithTheSameNameGiveEqualEntries) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5916");
  AddDevice("0000:01:00.0", "0x030000", "0x8086", "0x5916");
  EXPECT_EQ(List(), Names(2, "Intel Corporation HD Graphics 620"));
}

TEST_F(PciDevicesTest, ListIsInBusOrderWhateverTheCreationOrder) {
  AddDevice("0000:0a:00.0", "0x030000", "0x8086", "0x5916");
  AddDevice("0000:00:02.0", "0x030000", "0x10de", "0x1c82");
  AddDevice("0001:00:00.0", "0x030000", "0x1002", "0x6780");
  AddDevice("0000:01:00.0", "0x030000", "0x8086", "0x591b");
  EXPECT_EQ(List(), (Names{"Green Graphics GP107 [Ti 4GB]", "Intel Corporation HD Graphics 630",
                           "Intel Corporation HD Graphics 620", "Advanced Devices Tahiti XT"}));
}

TEST_F(PciDevicesTest, IdsAreMatchedWhateverTheirCase) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x591B");
  AddDevice("0000:01:00.0", "0x030000", "0x10DE", "0x1C82");
  EXPECT_EQ(List(), (Names{"Intel Corporation HD Graphics 630", "Green Graphics GP107 [Ti 4GB]"}));

  const std::string upperCase = WriteFile(folder_ / "upper.ids",
                                          "10DE  Green Graphics\n"
                                          "\t1C82  GP107 [Ti 4GB]\n");
  EXPECT_EQ(List({upperCase}), (Names{"Device 8086:591b", "Green Graphics GP107 [Ti 4GB]"}));
}

TEST_F(PciDevicesTest, UnknownIdsAreShownAsNumbers) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5917");  // vendor known only
  AddDevice("0000:01:00.0", "0x030000", "0x1af4", "0x0050");  // vendor unknown
  EXPECT_EQ(List(), (Names{"Intel Corporation Device 5917", "Device 1af4:0050"}));
}

TEST_F(PciDevicesTest, WithoutReadableDatabaseIdsAreShownAsNumbers) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5916");
  const std::string missing = (folder_ / "missing.ids").string();
  const Names numeric{"Device 8086:5916"};
  EXPECT_EQ(List({missing}), numeric);
  EXPECT_EQ(List({}), numeric);
  EXPECT_EQ(List({folder_.string()}), numeric);  // a folder is not a database
}

TEST_F(PciDevicesTest, FirstReadableDatabaseIsUsed) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5916");
  const std::string missing = (folder_ / "missing.ids").string();
  const std::string other = WriteFile(folder_ / "other.ids",
                                      "8086  Other Name\n"
                                      "\t5916  Other Card\n");
  EXPECT_EQ(List({missing, database_, other}), Names{"Intel Corporation HD Graphics 620"});
  EXPECT_EQ(List({missing, other, database_}), Names{"Other Name Other Card"});
}

TEST_F(PciDevicesTest, DatabaseWithWindowsLineEndsIsRead) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5916");
  const std::string crlf = WriteFile(folder_ / "crlf.ids",
                                     "# comment\r\n"
                                     "8086  Intel Corporation\r\n"
                                     "\t5916  HD Graphics 620\r\n");
  EXPECT_EQ(List({crlf}), Names{"Intel Corporation HD Graphics 620"});
}

TEST_F(PciDevicesTest, PercentInNameIsKept) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x9a49");
  EXPECT_EQ(List(), Names{"Intel Corporation Percent %s %d %% Graphics"});
}

TEST_F(PciDevicesTest, EntriesAreAppended) {
  AddDevice("0000:00:02.0", "0x030000", "0x8086", "0x5916");
  Names list{"earlier"};
  EXPECT_TRUE(ListPciDisplayDevices(root_.string(), {database_}, list));
  EXPECT_EQ(list, (Names{"earlier", "Intel Corporation HD Graphics 620"}));
}

TEST_F(PciDevicesTest, UnlistableRootGivesFalse) {
  Names list;
  EXPECT_FALSE(ListPciDisplayDevices((folder_ / "missing").string(), {database_}, list));
  EXPECT_FALSE(ListPciDisplayDevices(database_, {database_}, list));  // a file, not a folder
  EXPECT_EQ(list, Names{});
}

}  // namespace
