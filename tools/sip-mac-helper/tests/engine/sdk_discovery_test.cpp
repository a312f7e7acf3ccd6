// The SDK root search and the library presence test, on temporary directory
// trees: which rule wins, in which order, and the exact messages.
#include "engine/sdk_discovery.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"

namespace tavirel::engine {
namespace {
namespace fs = std::filesystem;

const std::string kNoRoot =
    "Linphone macOS SDK root missing. Set TAVIREL_LINPHONE_MAC_SDK_ROOT or install SDK into "
    "tools/sip-mac-helper/.sdk/current";

// The program at <tmp>/a/b/bin/helper, the working directory <tmp>/work.
class SdkSearch : public ::testing::Test {
 protected:
  SdkSearchInputs inputs(std::optional<std::string> variable = std::nullopt) const {
    return {std::move(variable), (bin / "helper").string(), work.string()};
  }
  std::string makeCurrent(const fs::path& dir) const {
    fs::create_directories(dir / ".sdk/current");
    return (dir / ".sdk/current").string();
  }

  test::TempDir tmp{"sdk"};
  fs::path bin = tmp.makeDir("a/b/bin");
  fs::path work = tmp.makeDir("work");
};

TEST_F(SdkSearch, VariableIsTakenAsItIsAndEmptyCountsAsUnset) {
  const auto besideProgram = makeCurrent(bin);
  EXPECT_EQ(sdkRootPath(inputs("/nowhere/at/all")), "/nowhere/at/all");
  EXPECT_EQ(frameworkPresenceError(std::string("/nowhere/at/all")),
            "linphone.framework not found under /nowhere/at/all");
  EXPECT_EQ(sdkRootPath(inputs("")), besideProgram);
}

TEST_F(SdkSearch, ProgramDirectoryThenParentThenGrandparentThenWorkingDirectory) {
  EXPECT_EQ(sdkRootPath(inputs()), std::nullopt);
  EXPECT_EQ(frameworkPresenceError(std::nullopt), kNoRoot);
  const auto inWork = makeCurrent(work);
  EXPECT_EQ(sdkRootPath(inputs()), inWork);
  const auto inGrandparent = makeCurrent(bin.parent_path().parent_path());
  EXPECT_EQ(sdkRootPath(inputs()), inGrandparent);
  const auto inParent = makeCurrent(bin.parent_path());
  EXPECT_EQ(sdkRootPath(inputs()), inParent);
  const auto besideProgram = makeCurrent(bin);
  EXPECT_EQ(sdkRootPath(inputs()), besideProgram);
  // Started by a relative path from the working directory.
  const SdkSearchInputs relative{std::nullopt, "../a/b/bin/./helper", work.string()};
  EXPECT_EQ(sdkRootPath(relative), besideProgram);
}

TEST_F(SdkSearch, CurrentMayBeAFileButNotADanglingLink) {
  fs::create_directories(bin / ".sdk");
  fs::create_symlink(tmp / "gone", bin / ".sdk/current");
  fs::create_directories(bin.parent_path() / ".sdk");
  tmp.writeFile("a/b/.sdk/current", "");
  EXPECT_EQ(sdkRootPath(inputs()), (bin.parent_path() / ".sdk/current").string());
}

TEST_F(SdkSearch, LegacyDirectoriesInPlainStringOrderFilesIncluded) {
  fs::create_directories(work / ".sdk/unrelated");
  EXPECT_EQ(sdkRootPath(inputs()), std::nullopt);
  fs::create_directories(work / ".sdk/linphone-sdk-macos-5.10.0");
  fs::create_directories(work / ".sdk/linphone-sdk-macos-5.9.0");
  fs::create_directories(work / ".sdk/Linphone-sdk-macos-9.0.0");  // the prefix is case-sensitive
  EXPECT_EQ(sdkRootPath(inputs()), (work / ".sdk/linphone-sdk-macos-5.9.0").string());

  tmp.writeFile("work/.sdk/linphone-sdk-macos-6.0.0.zip", "not a directory");
  const auto chosen = sdkRootPath(inputs());
  EXPECT_EQ(chosen, (work / ".sdk/linphone-sdk-macos-6.0.0.zip").string());
  EXPECT_EQ(frameworkPresenceError(chosen), "linphone.framework not found under " + *chosen);
}

TEST_F(SdkSearch, LibraryPresence) {
  const fs::path root = tmp.makeDir("sdkroot");
  const fs::path library = root / "linphone-sdk/linux/lib/liblinphone.so";
  const std::string missing = "linphone.framework not found under " + root.string();
  EXPECT_EQ(frameworkPresenceError(root.string()), missing);

  fs::create_directories(library.parent_path());
  fs::create_symlink(root / "gone.so", library);  // a link whose target is gone is no library
  EXPECT_EQ(frameworkPresenceError(root.string()), missing);
  fs::remove(library);
  tmp.writeFile("sdkroot/real.so", "");
  fs::create_symlink(root / "real.so", library);
  EXPECT_EQ(frameworkPresenceError(root.string()), std::nullopt);
  fs::remove(library);
  // Existence is all that counts: the program is linked against the engine at
  // load time, so nothing is ever loaded through this path.
  fs::create_directory(library);
  EXPECT_EQ(frameworkPresenceError(root.string()), std::nullopt);
}

}  // namespace
}  // namespace tavirel::engine
