// Shared by the fuzz targets: a check that stops the run, and the one
// scratch file per process through which an input reaches the file loader.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Creates an empty file under a random name in the temporary directory;
// opening with "wx" fails on an existing file, so no other process has it.
inline std::string CreateScratchFile(const char* prefix) {
  std::random_device device;
  const std::filesystem::path directory = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%08x%08x.txt", prefix, device(), device());
    const std::string path = (directory / name).string();
    std::FILE* file = std::fopen(path.c_str(), "wx");
    if (file != nullptr) {
      std::fclose(file);
      return path;
    }
    if (errno != EEXIST) break;
  }
  std::fprintf(stderr, "Cannot create a scratch file in %s\n", directory.string().c_str());
  std::abort();
}

// The one scratch file of this process, removed when the process exits.
inline const std::string& ScratchPath(const char* prefix) {
  static const std::string path = CreateScratchFile(prefix);
  static const bool removeAtExit = std::atexit([] { std::remove(path.c_str()); }) == 0;
  (void)removeAtExit;
  return path;
}

inline void WriteScratchFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
    std::fprintf(stderr, "Cannot write %s\n", path.c_str());
    std::abort();
  }
}
