#include "platform/window_model/window_state.h"

#include <gtest/gtest.h>

TEST(WindowTitleTest, ExecutablePathToTitle) {
  const std::pair<std::string, std::string> cases[] = {
      {"/x/Boot.app/Contents/MacOS/boot", "Boot"},
      {"/My Apps/My Tool 2.app/Contents/MacOS/b", "My Tool 2"},
      {"/x/Plain/Contents/MacOS/b", "Plain"},
      {"/x/a.app.app/Contents/MacOS/b", "a.app"},
      {"/x/.app/Contents/MacOS/b", "Installer"},
      {"/opt/boot/boot", "boot"},
      {"/x/Boot.app/Contents/boot", "boot"},
      {"/x/Boot.app/MacOS/boot", "boot"},
      {"/boot", "boot"},
  };
  for (const auto& [executable, title] : cases) {
    EXPECT_EQ(title, windowTitleForExecutable(executable)) << executable;
  }
}
