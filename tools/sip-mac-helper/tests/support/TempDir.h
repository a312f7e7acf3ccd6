// A private directory for one test object, removed with everything in it
// when the object goes away.
//
// Set TAVIREL_KEEP_TEMP=1 to keep the directories of a run for inspection
// (configuration files, logs, the helper's HOME).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tavirel::test {

class TempDir {
 public:
  // Creates a fresh directory (mode 0700) under $TMPDIR or /tmp, named after
  // `prefix`. Kept short on purpose: it may hold UNIX socket paths, which
  // are limited to 107 bytes. Throws std::runtime_error on failure.
  explicit TempDir(std::string_view prefix = "tavirel");
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Path of `name` inside the directory; creates nothing.
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

  // Creates (or replaces) the file `name` inside the directory with
  // `content` and returns its path. Throws std::runtime_error on failure.
  std::filesystem::path writeFile(std::string_view name, std::string_view content) const;

  // Creates the subdirectory `name` (and its parents) with mode 0700.
  std::filesystem::path makeDir(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// Reads a whole file; throws std::runtime_error when it cannot be opened.
std::string readFile(const std::filesystem::path& file);

}  // namespace tavirel::test
