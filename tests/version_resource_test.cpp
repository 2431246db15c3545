// Reads the version resource and the icon back from the built Windows
// executables, straight from the PE file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/harness.h"

namespace {

uint32_t U32(const std::string& data, size_t at) {
  if (at + 4 > data.size()) return 0;
  return static_cast<uint32_t>(static_cast<unsigned char>(data[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(data[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(data[at + 3])) << 24;
}

uint16_t U16(const std::string& data, size_t at) {
  if (at + 2 > data.size()) return 0;
  return static_cast<uint16_t>(static_cast<unsigned char>(data[at]) |
                               static_cast<unsigned char>(data[at + 1]) << 8);
}

std::string Utf16(const std::string& ascii) {
  std::string wide;
  for (char c : ascii) {
    wide += c;
    wide += '\0';
  }
  return wide;
}

// One resource of a PE file, found by type, id and language.
class PeResources {
 public:
  explicit PeResources(const std::string& file) : data(file) {
    uint32_t pe = U32(data, 0x3C);
    if (data.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return;
    uint16_t sections = U16(data, pe + 6);
    uint16_t optionalSize = U16(data, pe + 20);
    size_t optional = pe + 24;
    bool pe32plus = U16(data, optional) == 0x20b;
    uint32_t resourceRva = U32(data, optional + (pe32plus ? 112 : 96) + 2 * 8);
    size_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sections; ++i) {
      size_t section = table + 40u * i;
      uint32_t rva = U32(data, section + 12);
      uint32_t size = U32(data, section + 16);
      if (resourceRva >= rva && resourceRva < rva + size) {
        sectionRva = rva;
        sectionFile = U32(data, section + 20);
        root = sectionFile + (resourceRva - rva);
      }
    }
  }

  bool Valid() const { return root != 0; }

  // The resource's bytes, and its language through language.
  std::string Find(uint32_t type, uint32_t id, uint32_t* language) const {
    uint32_t typeDirectory = Entry(root, type);
    uint32_t nameDirectory = typeDirectory ? Entry(root + (typeDirectory & 0x7FFFFFFF), id) : 0;
    if (!nameDirectory) return "";
    size_t languages = root + (nameDirectory & 0x7FFFFFFF);
    size_t first = languages + 16;
    if (U16(data, languages + 12) + U16(data, languages + 14) == 0) return "";
    *language = U32(data, first);
    size_t entry = root + U32(data, first + 4);
    uint32_t rva = U32(data, entry);
    uint32_t size = U32(data, entry + 4);
    return data.substr(sectionFile + (rva - sectionRva), size);
  }

 private:
  uint32_t Entry(size_t directory, uint32_t id) const {
    size_t named = U16(data, directory + 12);
    size_t ids = U16(data, directory + 14);
    for (size_t i = named; i < named + ids; ++i) {
      size_t entry = directory + 16 + 8 * i;
      if (U32(data, entry) == id) return U32(data, entry + 4);
    }
    return 0;
  }

  const std::string& data;
  size_t root = 0;
  uint32_t sectionRva = 0;
  size_t sectionFile = 0;
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> WindowsExecutables() {
  std::vector<std::string> paths;
  const char* product = std::getenv("KELVO_WIN32_EXE");
  if (product != nullptr && *product != '\0') paths.push_back(product);
  if (TestedProgram().IsWindows()) {
    paths.push_back(TestedProgram().executable);
    paths.push_back(TestedProgram().checker);
  }
  return paths;
}

TEST(VersionResource, CarriesBuild100InJapanese) {
  std::vector<std::string> executables = WindowsExecutables();
  if (executables.empty()) GTEST_SKIP() << "no Windows executable given";
  for (const std::string& path : executables) {
    std::string file = ReadWhole(path);
    PeResources resources(file);
    ASSERT_TRUE(resources.Valid()) << path;
    uint32_t language = 0;
    std::string version = resources.Find(16, 1, &language);
    ASSERT_GE(version.size(), 92u) << path;
    EXPECT_EQ(language, 0x0411u);
    EXPECT_EQ(version.substr(6, 32), Utf16("VS_VERSION_INFO") + std::string(2, '\0'));
    const uint32_t fixed[] = {0xFEEF04BD, 0x00010000, 0x00010000, 0x00640001, 0x00010000,
                              0x00640001, 0x3F,       0,          0x00040004, 1,
                              0,          0,          0};
    for (size_t i = 0; i < sizeof fixed / sizeof fixed[0]; ++i) {
      EXPECT_EQ(U32(version, 40 + 4 * i), fixed[i]) << "fixed word " << i << " of " << path;
    }
    // The third file version component, where the program reads it.
    EXPECT_EQ(U32(version, 52) >> 16, 100u);
    EXPECT_NE(version.find(Utf16("041104b0")), std::string::npos);
    for (const char* key : {"FileVersion", "ProductVersion"}) {
      size_t at = version.find(Utf16(key) + std::string(2, '\0'));
      ASSERT_NE(at, std::string::npos) << key;
      EXPECT_NE(version.find(Utf16("1, 0, 100, 1"), at), std::string::npos) << key;
    }
    EXPECT_NE(version.find(Utf16("kelvo")), std::string::npos);
    size_t translation = version.find(Utf16("Translation"));
    ASSERT_NE(translation, std::string::npos);
    size_t value = (translation + Utf16("Translation").size() + 2 + 3) & ~size_t{3};
    EXPECT_EQ(U16(version, value), 0x0411);
    EXPECT_EQ(U16(version, value + 2), 1200);
  }
}

TEST(VersionResource, IconGroup102Has32And16PixelImagesOf256Colours) {
  std::vector<std::string> executables = WindowsExecutables();
  if (executables.empty()) GTEST_SKIP() << "no Windows executable given";
  for (const std::string& path : executables) {
    std::string file = ReadWhole(path);
    PeResources resources(file);
    uint32_t language = 0;
    std::string group = resources.Find(14, 102, &language);
    ASSERT_GE(group.size(), 6u + 2 * 14) << path;
    EXPECT_EQ(U16(group, 2), 1);
    ASSERT_EQ(U16(group, 4), 2);
    for (int i = 0; i < 2; ++i) {
      size_t entry = 6 + 14 * i;
      int size = i == 0 ? 32 : 16;
      EXPECT_EQ(static_cast<unsigned char>(group[entry]), size);
      EXPECT_EQ(static_cast<unsigned char>(group[entry + 1]), size);
      EXPECT_EQ(U16(group, entry + 6), 8) << "bits per pixel";
      std::string image = resources.Find(3, U16(group, entry + 12), &language);
      ASSERT_FALSE(image.empty());
      EXPECT_EQ(U32(image, 4), static_cast<uint32_t>(size));  // width
      EXPECT_EQ(U16(image, 14), 8);                           // bits per pixel
    }
  }
}

}  // namespace
