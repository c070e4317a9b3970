#include "platform/window/gtk_module_path.h"

#include <gtest/gtest.h>

#include "platform/window/toolkit.h"

TEST(GtkModulePathTest, DisplayIsNamedBySetNonEmptyVariables) {
  struct Case {
    const char* display;
    const char* wayland;
    bool names;
  } cases[] = {
      {nullptr, nullptr, false},
      {"", "", false},
      {"", nullptr, false},
      {":0", nullptr, true},
      {nullptr, "wayland-0", true},
      {"", "wayland-0", true},
      {":1", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.names, namesDisplay(c.display, c.wayland))
        << (c.display ? c.display : "(unset)") << " " << (c.wayland ? c.wayland : "(unset)");
  }
}

TEST(GtkModulePathTest, BesideTheProgramThenInTheInstallsLibraryFolder) {
  struct Case {
    const char* executable;
    const char* libdir;
    std::vector<std::string> candidates;
  } cases[] = {
      {"/build/bootstrapper",
       "lib",
       {"/build/bootstrapper-gtk.so", "/build/../lib/bootstrapper/bootstrapper-gtk.so"}},
      {"/opt/x/bin/bootstrapper",
       "lib/x86_64-linux-gnu",
       {"/opt/x/bin/bootstrapper-gtk.so",
        "/opt/x/bin/../lib/x86_64-linux-gnu/bootstrapper/bootstrapper-gtk.so"}},
      {"/a/Boot.app/Contents/MacOS/bootstrapper",
       "lib64",
       {"/a/Boot.app/Contents/MacOS/bootstrapper-gtk.so",
        "/a/Boot.app/Contents/MacOS/../lib64/bootstrapper/bootstrapper-gtk.so"}},
      {"/usr/bin/bootstrapper",
       "/usr/lib64",  // an absolute library folder is not relative to the program
       {"/usr/bin/bootstrapper-gtk.so", "/usr/lib64/bootstrapper/bootstrapper-gtk.so"}},
      {"/bootstrapper",
       "lib",
       {"/bootstrapper-gtk.so", "/../lib/bootstrapper/bootstrapper-gtk.so"}},
      {"", "lib", {}},  // the executable's path could not be read
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.candidates, gtkModuleCandidates(c.executable, c.libdir)) << c.executable;
  }
}

TEST(GtkModulePathTest, RefusesModulesWithoutEntryPointsOrOfAnotherVersion) {
  int same = kGtkModuleInterfaceVersion;
  int other = kGtkModuleInterfaceVersion + 1;
  EXPECT_EQ("", gtkModuleRefusal(&same, true));
  EXPECT_EQ("not a bootstrapper GTK module (no bootstrapGtkModuleInterface)",
            gtkModuleRefusal(nullptr, true));
  EXPECT_EQ("not a bootstrapper GTK module (no bootstrapGtkModuleInterface)",
            gtkModuleRefusal(nullptr, false));
  EXPECT_EQ("not a bootstrapper GTK module (no bootstrapOpenGtkToolkit)",
            gtkModuleRefusal(&same, false));
  EXPECT_EQ("built for interface version " + std::to_string(other) +
                ", this program needs version " + std::to_string(same),
            gtkModuleRefusal(&other, true));
}

TEST(GtkModulePathTest, FailureLineNamesThePathOnce) {
  struct Case {
    const char* reason;
    const char* line;
  } cases[] = {
      {"/b/bootstrapper-gtk.so: invalid ELF header",
       "The GTK window cannot be loaded from /b/bootstrapper-gtk.so: invalid ELF header; using the "
       "terminal window"},
      {"libgtk-3.so.0: cannot open shared object file: No such file or directory",
       "The GTK window cannot be loaded from /b/bootstrapper-gtk.so: libgtk-3.so.0: cannot open "
       "shared object file: No such file or directory; using the terminal window"},
      {"/b/bootstrapper-gtk.so.old: file too short",  // another file: its path stays
       "The GTK window cannot be loaded from /b/bootstrapper-gtk.so: /b/bootstrapper-gtk.so.old: "
       "file too short; using the terminal window"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, gtkModuleFailureLine("/b/bootstrapper-gtk.so", c.reason));
  }
}
