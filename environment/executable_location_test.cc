#include "environment/executable_location.h"

#include <gtest/gtest.h>

namespace {

class FakeProbe : public ExecutableProbe {
 public:
  std::optional<MainBundle> bundle;
  std::optional<std::string> link;  // none: readlink fails
  std::optional<MainBundle> mainBundle() const override { return bundle; }
  bool ownExecutablePath(std::string* path, std::string* error) const override {
    if (!link) *error = "unreadable";
    if (link) *path = *link;
    return link.has_value();
  }
};

}  // namespace

TEST(ExecutableLocationTest, BundleRoute) {
  FakeProbe probe;
  probe.bundle = MainBundle{"/Users/ann/Boot.app", "/Users/ann/Boot.app/Contents/Resources"};
  probe.link = "/somewhere/else/boot";
  EXPECT_EQ("/Users/ann/Boot.app", getPathToExecutable(probe));
  EXPECT_EQ("/Users/ann", getDirectoryOfExecutable(probe));
  EXPECT_EQ("/Users/ann/Boot.app/Contents/Resources", getBundleLocation(probe));

  probe.bundle->resourcePath = "";
  EXPECT_EQ("/Users/ann/Boot.app", getBundleLocation(probe)) << "no resource directory";
}

TEST(ExecutableLocationTest, NoBundleRouteReadsTheLink) {
  FakeProbe probe;
  probe.link = "/opt/boot/bin/boot";
  EXPECT_EQ("/opt/boot/bin/boot", getPathToExecutable(probe));
  EXPECT_EQ("/opt/boot/bin", getDirectoryOfExecutable(probe));
  EXPECT_EQ("/opt/boot/bin", getBundleLocation(probe));

  probe.link = std::nullopt;
  EXPECT_EQ("", getPathToExecutable(probe));
  EXPECT_EQ("", getDirectoryOfExecutable(probe));
  EXPECT_EQ("", getBundleLocation(probe));
}

TEST(ExecutableLocationTest, LongLinkIsCutTo1023Bytes) {
  FakeProbe probe;
  probe.link = "/" + std::string(1500, 'a') + "/boot";
  EXPECT_EQ(1023u, getPathToExecutable(probe).size());
  EXPECT_EQ(probe.link->substr(0, 1023), getPathToExecutable(probe));
  EXPECT_EQ("", getDirectoryOfExecutable(probe)) << "the cut path's only separator is its first";
}

TEST(ExecutableLocationTest, DirectoryEndsBeforeTheLastSlashOrBackslash) {
  FakeProbe probe;
  struct Case {
    std::string path, directory;
  } cases[] = {
      {"/Boot.app", ""}, {"/a/b/", "/a/b"}, {"/a//b", "/a/"}, {"/a/b\\c", "/a/b"},
      {"a\\b", "a"},     {"Boot", "Boot"},  {"", ""},
  };
  for (const Case& c : cases) {
    probe.link = c.path;
    EXPECT_EQ(c.directory, getDirectoryOfExecutable(probe)) << c.path;
  }
}

TEST(ExecutableLocationTest, RealProbeFindsThisTestProgram) {
  std::string path = getPathToExecutable();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ('/', path[0]);
  EXPECT_EQ(getBundleLocation(), path) << "a flat install is its own bundle and resources";
}
