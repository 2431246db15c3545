// A scratch directory for one unit test: made fresh and exclusively under
// the system's temporary directory under a name nobody can guess, and
// removed with everything in it (read-only entries included) when the test
// ends.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix = "kelvo") {
    const std::string handover = HandoverName();
    root = Inherited(handover);
    if (!root.empty()) {
      // The child of a death test that runs the test again from its start
      // sets it up again in the parent's directory.
      EmptyAll(root);
      return;
    }
    root = MakeUnique(prefix);
    SetEnvironment(handover, Handover(root));
  }
  ~ScratchDirectory() {
    EmptyAll(root);
    std::error_code error;
    std::filesystem::remove(root, error);
  }
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

  // A death test's child process that starts anew (always on Windows) runs
  // the test again from its start; the parent hands each of the test's
  // directories over in the environment, under its place in the test:
  // "KELVO_SCRATCH_<n>" holds the test's name and the path.
  static std::string HandoverName() {
    // Counted anew for each run of a test (--gtest_repeat runs one again).
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string run =
        TestName() + "@" + std::to_string(test ? test->result()->start_timestamp() : 0);
    static std::string counted;
    static int made = 0;
    if (run != counted) {
      counted = run;
      made = 0;
    }
    return "KELVO_SCRATCH_" + std::to_string(made++);
  }
  static std::string Handover(const std::filesystem::path& path) {
    return TestName() + "\t" + path.string();
  }
  // The parent's directory, only in a death test's child process and only
  // for the same test; empty otherwise.
  static std::filesystem::path Inherited(const std::string& handover) {
    if (GTEST_FLAG_GET(internal_run_death_test).empty()) return {};
    const char* value = std::getenv(handover.c_str());
    const std::string prefix = TestName() + "\t";
    if (value == nullptr || std::string(value).compare(0, prefix.size(), prefix) != 0) return {};
    return std::filesystem::path(std::string(value).substr(prefix.size()));
  }
  static void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
  }

  // Creates a directory that did not exist before under a name nobody can
  // guess; mkdtemp makes it readable by its owner only.
  static std::filesystem::path MakeUnique(const std::string& prefix) {
    namespace fs = std::filesystem;
    const fs::path temporary = fs::temp_directory_path();
#ifndef _WIN32
    std::string pattern = (temporary / (prefix + "-XXXXXX")).string();
    if (mkdtemp(&pattern[0]) != nullptr) return pattern;
    const int error = errno;
#else
    int error = EEXIST;
    // The current user's own temporary folder; a taken name is tried anew,
    // since creating a directory never opens an existing one.
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, "-%08x%08x", static_cast<unsigned>(device()),
                    static_cast<unsigned>(device()));
      const fs::path path = temporary / (prefix + suffix);
      std::error_code made;
      if (fs::create_directory(path, made)) return path;
      if (made) {
        error = made.value();
        break;
      }
    }
#endif
    // The test fails with this.
    throw fs::filesystem_error("cannot make a scratch directory", temporary,
                               std::error_code(error, std::generic_category()));
  }

  // Removes everything inside a directory, read-only entries included, and
  // keeps the directory itself.
  static void EmptyAll(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_symlink(error))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    error.clear();
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }

  std::filesystem::path root;
};
