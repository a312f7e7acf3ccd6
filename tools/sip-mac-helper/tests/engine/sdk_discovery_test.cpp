// The SDK root search and the library presence test, on temporary directory
// trees: which rule wins, in which order, and the exact messages.
#include "engine/sdk_discovery.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"

namespace tavirel::engine {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

// A tree with the program at <root>/a/b/bin/helper and an empty working
// directory at <root>/work.
class SdkSearch : public ::testing::Test {
 protected:
  SdkSearch() {
    bin = tmp.makeDir("a/b/bin");
    work = tmp.makeDir("work");
  }

  SdkSearchInputs inputs(std::optional<std::string> variable = std::nullopt) const {
    return {std::move(variable), (bin / "helper").string(), work.string()};
  }

  std::string makeCurrent(const fs::path& dir) const {
    fs::create_directories(dir / ".sdk/current");
    return (dir / ".sdk/current").string();
  }

  TempDir tmp{"sdk"};
  fs::path bin, work;
};

TEST_F(SdkSearch, VariableIsTakenAsItIsWithoutLookingAtTheDisk) {
  makeCurrent(bin);
  EXPECT_EQ(sdkRootPath(inputs("/nowhere/at/all")), "/nowhere/at/all");
  EXPECT_EQ(frameworkPresenceError(std::string("/nowhere/at/all")),
            "linphone.framework not found under /nowhere/at/all");
}

TEST_F(SdkSearch, EmptyVariableCountsAsUnset) {
  const auto besideProgram = makeCurrent(bin);
  EXPECT_EQ(sdkRootPath(inputs("")), besideProgram);
}

TEST_F(SdkSearch, ProgramDirectoryThenParentThenGrandparentThenWorkingDirectory) {
  const auto inWork = makeCurrent(work);
  EXPECT_EQ(sdkRootPath(inputs()), inWork);
  const auto inGrandparent = makeCurrent(bin.parent_path().parent_path());
  EXPECT_EQ(sdkRootPath(inputs()), inGrandparent);
  const auto inParent = makeCurrent(bin.parent_path());
  EXPECT_EQ(sdkRootPath(inputs()), inParent);
  const auto besideProgram = makeCurrent(bin);
  EXPECT_EQ(sdkRootPath(inputs()), besideProgram);
}

TEST_F(SdkSearch, RelativeProgramPathIsTakenAgainstTheWorkingDirectory) {
  // Started as "../a/b/bin/./helper" from <root>/work.
  const auto besideProgram = makeCurrent(bin);
  const SdkSearchInputs relative{std::nullopt, "../a/b/bin/./helper", work.string()};
  EXPECT_EQ(fs::path(*sdkRootPath(relative)), fs::path(besideProgram).lexically_normal());
}

TEST_F(SdkSearch, CurrentAsAPlainFileOrALinkToADirectoryCounts) {
  fs::create_directories(bin / ".sdk");
  tmp.writeFile("a/b/bin/.sdk/current", "");
  EXPECT_EQ(sdkRootPath(inputs()), (bin / ".sdk/current").string());

  fs::create_directories(bin.parent_path() / ".sdk");
  fs::create_directory_symlink(work, bin.parent_path() / ".sdk/current");
  fs::remove(bin / ".sdk/current");
  EXPECT_EQ(sdkRootPath(inputs()), (bin.parent_path() / ".sdk/current").string());
}

TEST_F(SdkSearch, DanglingCurrentLinkIsSkipped) {
  fs::create_directories(bin / ".sdk");
  fs::create_symlink(tmp / "gone", bin / ".sdk/current");
  const auto inWork = makeCurrent(work);
  EXPECT_EQ(sdkRootPath(inputs()), inWork);
}

TEST_F(SdkSearch, LegacyDirectoriesInPlainStringOrder) {
  fs::create_directories(work / ".sdk/linphone-sdk-macos-5.10.0");
  fs::create_directories(work / ".sdk/linphone-sdk-macos-5.9.0");
  fs::create_directories(work / ".sdk/other-sdk-9.9.9");
  EXPECT_EQ(sdkRootPath(inputs()), (work / ".sdk/linphone-sdk-macos-5.9.0").string());
}

TEST_F(SdkSearch, LegacyPrefixIsCaseSensitiveAndFilesTakePart) {
  fs::create_directories(work / ".sdk/linphone-sdk-macos-5.1.0");
  fs::create_directories(work / ".sdk/Linphone-sdk-macos-9.0.0");
  tmp.writeFile("work/.sdk/linphone-sdk-macos-6.0.0.zip", "not a directory");
  const auto chosen = sdkRootPath(inputs());
  EXPECT_EQ(chosen, (work / ".sdk/linphone-sdk-macos-6.0.0.zip").string());
  EXPECT_EQ(frameworkPresenceError(chosen), "linphone.framework not found under " + *chosen);
}

TEST_F(SdkSearch, NothingFoundGivesTheMissingRootMessage) {
  EXPECT_EQ(sdkRootPath(inputs()), std::nullopt);
  EXPECT_EQ(latestLegacySdkRoot((work / ".sdk").string()), std::nullopt);  // no such directory
  fs::create_directories(work / ".sdk/unrelated");
  EXPECT_EQ(sdkRootPath(inputs()), std::nullopt);
  EXPECT_EQ(frameworkPresenceError(std::nullopt),
            "Linphone macOS SDK root missing. Set TAVIREL_LINPHONE_MAC_SDK_ROOT or install SDK "
            "into tools/sip-mac-helper/.sdk/current");
}

TEST_F(SdkSearch, LibraryPresence) {
  const fs::path root = tmp.makeDir("sdkroot");
  const std::string expectedMessage = "linphone.framework not found under " + root.string();
  EXPECT_EQ(frameworkPresenceError(root.string()), expectedMessage);

  fs::create_directories(root / "linphone-sdk/linux/lib");
  const fs::path library = root / "linphone-sdk/linux/lib/liblinphone.so";
  // A link whose target is gone is no library.
  fs::create_symlink(root / "missing.so", library);
  EXPECT_EQ(frameworkPresenceError(root.string()), expectedMessage);
  fs::remove(library);

  tmp.writeFile("sdkroot/real.so", "");
  fs::create_symlink(root / "real.so", library);
  EXPECT_EQ(frameworkPresenceError(root.string()), std::nullopt);
  fs::remove(library);

  // Existence is all that is tested: the program is linked against the engine
  // at load time, so whatever sits there is never loaded through this path.
  fs::create_directory(library);
  EXPECT_EQ(frameworkPresenceError(root.string()), std::nullopt);
}

}  // namespace
}  // namespace tavirel::engine
