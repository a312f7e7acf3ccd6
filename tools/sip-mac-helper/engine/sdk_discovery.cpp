#include "engine/sdk_discovery.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tavirel::engine {
namespace fs = std::filesystem;
namespace {

// Follows links: a dangling link is not there, as for the platform's own
// existence test. Errors (permissions, too long) count as absent.
bool existsAt(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

}  // namespace

std::optional<std::string> latestLegacySdkRoot(const std::string& directory) {
  std::error_code error;
  fs::directory_iterator entries(directory, error);
  if (error) return std::nullopt;
  std::vector<std::string> names;
  for (; entries != fs::directory_iterator(); entries.increment(error)) {
    if (error) return std::nullopt;
    std::string name = entries->path().filename().string();
    if (name.starts_with(kLegacySdkPrefix)) names.push_back(std::move(name));
  }
  if (error || names.empty()) return std::nullopt;
  // Plain character order on purpose: it is the order the legacy installs
  // were always picked in, even where it disagrees with version order.
  const auto latest = std::max_element(names.begin(), names.end());
  return (fs::path(directory) / *latest).string();
}

std::optional<std::string> sdkRootPath(const SdkSearchInputs& inputs) {
  if (inputs.variable && !inputs.variable->empty()) return *inputs.variable;

  const fs::path workingDirectory(inputs.workingDirectory);
  fs::path executable(inputs.executablePath);
  if (executable.is_relative()) executable = workingDirectory / executable;
  // Lexical, like the platform's path standardisation: links stay as they are.
  executable = executable.lexically_normal();
  const fs::path executableDirectory = executable.parent_path();

  const fs::path candidates[] = {
      executableDirectory / kCurrentSdkDir,
      executableDirectory.parent_path() / kCurrentSdkDir,
      executableDirectory.parent_path().parent_path() / kCurrentSdkDir,
      workingDirectory / kCurrentSdkDir,
  };
  for (const auto& candidate : candidates)
    if (existsAt(candidate)) return candidate.string();

  return latestLegacySdkRoot((workingDirectory / ".sdk").string());
}

std::optional<std::string> frameworkPresenceError(const std::optional<std::string>& root) {
  if (!root) return std::string(kSdkRootMissingMessage);
  if (existsAt(fs::path(*root) / kEngineLibraryRelativePath)) return std::nullopt;
  return kFrameworkMissingPrefix + *root;
}

SdkSearchInputs processSdkSearchInputs(const std::string& executablePath) {
  SdkSearchInputs inputs;
  if (const char* value = std::getenv(kSdkRootVariable)) inputs.variable = value;
  inputs.executablePath = executablePath;
  std::error_code error;
  const fs::path cwd = fs::current_path(error);
  // Without a working directory the relative rules simply find nothing.
  inputs.workingDirectory = error ? std::string() : cwd.string();
  return inputs;
}

}  // namespace tavirel::engine
