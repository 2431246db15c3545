// A scratch directory for one unit test: made fresh under the system's
// temporary directory under a name of the test's own, and removed with
// everything in it (read-only entries included) when the test ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix = "kelvo") {
    namespace fs = std::filesystem;
    root = fs::temp_directory_path() / (prefix + "-" + TestName() + "-" + BuildFolderHash());
    RemoveAll(root);
    fs::create_directories(root);
  }
  ~ScratchDirectory() { RemoveAll(root); }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& Path() const { return root; }
  std::string At(const std::string& name) const { return (root / name).string(); }

  // Writes the bytes exactly as given and returns the file's path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path path = root / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    EXPECT_TRUE(out) << path;
    return path.string();
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(root / name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

 private:
  static std::string TestName() {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    return test ? std::string(test->test_suite_name()) + "." + test->name() : "none";
  }
  // The name must be the same in a death test's child process (which runs
  // the test again) and differ between build folders whose tests run side
  // by side; the current folder is the build folder under ctest.
  static std::string BuildFolderHash() {
    std::error_code error;
    return std::to_string(std::hash<std::string>()(std::filesystem::current_path(error).string()));
  }
  // Removes a tree even when it holds read-only entries.
  static void RemoveAll(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(path, error);
  }

  std::filesystem::path root;
};
