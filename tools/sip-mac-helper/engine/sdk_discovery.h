// Where the SIP SDK lives: the search for its root directory and the test
// that the engine library is there. Nothing here loads anything; the program
// is linked against the engine at load time, and this only decides what
// INITIALIZE reports and whether it goes on.
//
// The search is pure over its inputs (variable, program path, working
// directory) so it can be checked with temporary directories.
#pragma once

#include <optional>
#include <string>

namespace tavirel::engine {

inline constexpr const char* kSdkRootVariable = "TAVIREL_LINPHONE_MAC_SDK_ROOT";
// Directory names searched beside the program and in the working directory.
inline constexpr const char* kCurrentSdkDir = ".sdk/current";
inline constexpr const char* kLegacySdkPrefix = "linphone-sdk-macos-";
// The engine library under the SDK root, in this platform's layout.
inline constexpr const char* kEngineLibraryRelativePath = "linphone-sdk/linux/lib/liblinphone.so";
// Where the engine looks for its media plugins, under the SDK root. The
// layouts we ship hold none there: the codecs the helper keeps (PCMA, PCMU,
// G729) are built into the engine, and the system's plugins are for video
// (display, codecs), which the helper never uses but would otherwise load
// with their toolkits at every start.
inline constexpr const char* kEnginePluginsRelativePath = "linphone-sdk/linux/lib/mediastreamer/plugins";

inline constexpr const char* kSdkRootMissingMessage =
    "Linphone macOS SDK root missing. Set TAVIREL_LINPHONE_MAC_SDK_ROOT or install SDK into "
    "tools/sip-mac-helper/.sdk/current";
inline constexpr const char* kFrameworkMissingPrefix = "linphone.framework not found under ";

struct SdkSearchInputs {
  // Value of kSdkRootVariable; absent when unset. Empty counts as unset.
  std::optional<std::string> variable;
  // The program's path as started (argv[0]); relative paths are taken
  // against `workingDirectory`.
  std::string executablePath;
  std::string workingDirectory;
};

// The SDK root, first rule that yields one: the variable as it is (not
// tested); ".sdk/current" beside the program, in its parent, in its
// grandparent, in the working directory (the first that exists); the latest
// legacy directory in the working directory's ".sdk".
std::optional<std::string> sdkRootPath(const SdkSearchInputs& inputs);

// The entry of `directory` whose name starts with kLegacySdkPrefix and sorts
// last in plain byte order (so "5.9.0" beats "5.10.0"), files included.
// Absent when the directory cannot be listed or nothing matches.
std::optional<std::string> latestLegacySdkRoot(const std::string& directory);

// Null when the engine library exists under `root` (a link counts when its
// target exists); otherwise the message INITIALIZE answers with.
std::optional<std::string> frameworkPresenceError(const std::optional<std::string>& root);

// The inputs of this process: the variable, `executablePath`, getcwd().
SdkSearchInputs processSdkSearchInputs(const std::string& executablePath);

}  // namespace tavirel::engine
