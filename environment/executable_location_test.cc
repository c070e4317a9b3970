#include "environment/executable_location.h"

#include <gtest/gtest.h>

#include "platform/window_model/window_title.h"

namespace {

class FakeProbe : public ExecutableProbe {
 public:
  std::optional<MainBundle> bundle;
  std::optional<std::string> link;  // none: readlink fails
  std::optional<MainBundle> mainBundle() const override { return bundle; }
  bool ownExecutablePath(std::string* path, std::string* error) const override {
    if (link) *path = *link;
    else *error = "unreadable";
    return link.has_value();
  }
};

}  // namespace

// The program's real path -> its bundle, resources (where bundle.zip and the
// agent are looked for), folder and the window's title.
TEST(ExecutableLocationTest, ExecutablePathToBundleResourcesAndTitle) {
  struct Case {
    std::string executable, bundle, resources, directory, title;
  } cases[] = {
      {"/x/Boot.app/Contents/MacOS/boot", "/x/Boot.app", "/x/Boot.app/Contents/Resources", "/x",
       "Boot"},
      {"/My Apps/My Tool 2.app/Contents/MacOS/b", "/My Apps/My Tool 2.app",
       "/My Apps/My Tool 2.app/Contents/Resources", "/My Apps", "My Tool 2"},
      {"/x/Plain/Contents/MacOS/b", "/x/Plain", "/x/Plain/Contents/Resources", "/x", "Plain"},
      {"/x/a.app.app/Contents/MacOS/b", "/x/a.app.app", "/x/a.app.app/Contents/Resources", "/x",
       "a.app"},
      {"/x/.app/Contents/MacOS/b", "/x/.app", "/x/.app/Contents/Resources", "/x", "Installer"},
      {"/opt/boot/boot", "/opt/boot", "/opt/boot", "/opt", "boot"},
      {"/x/Boot.app/Contents/boot", "/x/Boot.app/Contents", "/x/Boot.app/Contents", "/x/Boot.app",
       "boot"},
      {"/x/Boot.app/MacOS/boot", "/x/Boot.app/MacOS", "/x/Boot.app/MacOS", "/x/Boot.app", "boot"},
      {"/boot", "/", "/", "", "boot"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    FakeProbe probe;
    probe.bundle = bundleForExecutable(c.executable);
    probe.link = "/elsewhere/boot";  // the bundle wins
    EXPECT_EQ(c.bundle, getPathToExecutable(probe));
    EXPECT_EQ(c.resources, getBundleLocation(probe));
    EXPECT_EQ(c.directory, getDirectoryOfExecutable(probe));
    EXPECT_EQ(c.title, windowTitleForExecutable(c.executable));
  }
}

TEST(ExecutableLocationTest, WithoutABundleTheLinkDecides) {
  FakeProbe probe;
  probe.bundle = MainBundle{"/b/Boot.app", ""};
  EXPECT_EQ("/b/Boot.app", getBundleLocation(probe)) << "no resource directory";
  probe.bundle = std::nullopt;
  probe.link = "/opt/boot/bin/boot";
  EXPECT_EQ("/opt/boot/bin", getBundleLocation(probe));
  probe.link = "/" + std::string(1500, 'a') + "/boot";
  EXPECT_EQ(probe.link->substr(0, 1023), getPathToExecutable(probe));
  probe.link = std::nullopt;
  EXPECT_EQ("", getBundleLocation(probe));
  // This test program runs flat, from the build folder.
  EXPECT_EQ(getBundleLocation(), getPathToExecutable());
  EXPECT_EQ('/', getPathToExecutable()[0]);
}
