#include "platform/os/bundle.h"

#include <gtest/gtest.h>

TEST(BundleTest, BundleForExecutable) {
  struct Case {
    std::string executable, bundle, resources;
  } cases[] = {
      {"/x/Boot.app/Contents/MacOS/boot", "/x/Boot.app", "/x/Boot.app/Contents/Resources"},
      {"/My Apps/B.app/Contents/MacOS/b", "/My Apps/B.app", "/My Apps/B.app/Contents/Resources"},
      {"/opt/boot/boot", "/opt/boot", "/opt/boot"},
      {"/x/Contents/bin/boot", "/x/Contents/bin", "/x/Contents/bin"},
      {"/x/Other/MacOS/boot", "/x/Other/MacOS", "/x/Other/MacOS"},
      {"/boot", "/", "/"},
  };
  for (const Case& c : cases) {
    MainBundle bundle = bundleForExecutable(c.executable);
    EXPECT_EQ(c.bundle, bundle.bundlePath) << c.executable;
    EXPECT_EQ(c.resources, bundle.resourcePath) << c.executable;
  }
}

TEST(BundleTest, MainBundleOfThisProcessIsItsDirectory) {
  std::optional<MainBundle> bundle = mainBundle();
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ('/', bundle->bundlePath[0]);
  EXPECT_EQ(bundle->bundlePath, bundle->resourcePath);
}
