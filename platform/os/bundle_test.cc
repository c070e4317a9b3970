#include "platform/os/bundle.h"

#include <gtest/gtest.h>

// The program's real path -> its bundle, resources (where bundle.zip and the
// agent are looked for) and folder.
TEST(BundleTest, ExecutablePathToBundleResourcesAndFolder) {
  struct Case {
    std::string executable, bundle, resources, directory;
  } cases[] = {
      {"/x/Boot.app/Contents/MacOS/boot", "/x/Boot.app", "/x/Boot.app/Contents/Resources", "/x"},
      {"/My Apps/My Tool 2.app/Contents/MacOS/b", "/My Apps/My Tool 2.app",
       "/My Apps/My Tool 2.app/Contents/Resources", "/My Apps"},
      {"/x/Plain/Contents/MacOS/b", "/x/Plain", "/x/Plain/Contents/Resources", "/x"},
      {"/opt/boot/boot", "/opt/boot", "/opt/boot", "/opt"},
      {"/x/Boot.app/Contents/boot", "/x/Boot.app/Contents", "/x/Boot.app/Contents", "/x/Boot.app"},
      {"/x/Boot.app/MacOS/boot", "/x/Boot.app/MacOS", "/x/Boot.app/MacOS", "/x/Boot.app"},
      {"/boot", "/", "/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    std::optional<MainBundle> bundle = bundleForExecutable(c.executable);
    EXPECT_EQ(c.bundle, bundle->bundlePath);
    EXPECT_EQ(c.resources, getBundleLocation(bundle));
    EXPECT_EQ(c.directory, getDirectoryOfExecutable(bundle));
  }
  EXPECT_EQ("", getBundleLocation(std::nullopt));
  EXPECT_EQ("", getDirectoryOfExecutable(std::nullopt));
}
