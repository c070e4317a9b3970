#include "platform/window_model/window_title.h"

#include <gtest/gtest.h>

TEST(WindowTitleTest, BundleNameOrProgramName) {
  struct Case {
    const char* executable;
    const char* title;
  } cases[] = {
      {"/x/Boot.app/Contents/MacOS/bootstrapper", "Boot"},
      {"/x/My Tool 2.app/Contents/MacOS/bootstrapper", "My Tool 2"},
      {"/x/Plain/Contents/MacOS/bootstrapper", "Plain"},      // a bundle without ".app"
      {"/x/a.app.app/Contents/MacOS/bootstrapper", "a.app"},  // one suffix only
      {"/opt/tools/bootstrapper", "bootstrapper"},            // flat install
      {"/x/Boot.app/Contents/bootstrapper", "bootstrapper"},  // not in MacOS: flat
      {"/x/Boot.app/MacOS/bootstrapper", "bootstrapper"},     // no Contents: flat
      {"/Contents/MacOS/bootstrapper", "Installer"},          // the bundle is the root
      {"/x/.app/Contents/MacOS/bootstrapper", "Installer"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.title, windowTitleForExecutable(c.executable)) << c.executable;
  }
}

TEST(WindowTitleTest, ThisProcessIsAFlatInstall) {
  // The unit tests run from the build folder, outside any bundle.
  EXPECT_EQ("bootstrap_unit_tests", currentWindowTitle());
}
