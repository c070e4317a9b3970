#include "sourcing/url_file.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(UrlFileTest, TheUrlIsTheFirstLineUntrimmed) {
  struct Case {
    std::string content;
    std::string url;
  } cases[] = {
      {"http://h/a.zip\nhttp://other/\n", "http://h/a.zip"},
      {"http://h/a.zip\r\n", "http://h/a.zip\r"},
      {"http://h/a.zip", "http://h/a.zip"},
      {"  http://h/a.zip \t\n", "  http://h/a.zip \t"},
      {"", ""},
      {"\nhttp://h/a.zip\n", ""},
      {std::string("a\0b\n", 4), std::string("a\0b", 3)},
  };
  ScratchDir scratch;
  for (const Case& c : cases) {
    RecordedMessages::clear();
    writeFile(scratch / "installAgentURL.txt", c.content);
    EXPECT_EQ(c.url,
              readEndpointUrlFile(scratch / "installAgentURL.txt", RecordedMessages::record));
    EXPECT_TRUE(RecordedMessages::messages.empty());
  }
}

TEST(UrlFileTest, MissingFileIsEmptyAndSilent) {
  ScratchDir scratch;
  RecordedMessages::clear();
  EXPECT_EQ("", readEndpointUrlFile(scratch / "installAgentURL.txt", RecordedMessages::record));
  EXPECT_TRUE(RecordedMessages::messages.empty());
}

TEST(UrlFileTest, FileThatCannotBeOpenedIsReported) {
  // A bound socket exists but open(2) refuses it, even for root.
  ScratchDir scratch;
  std::string path = scratch / "installAgentURL.txt";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  RecordedMessages::clear();
  EXPECT_EQ("", readEndpointUrlFile(path, RecordedMessages::record));
  close(fd);
  ASSERT_EQ(1u, RecordedMessages::messages.size());
  EXPECT_EQ("Failed to open install agent URL file", RecordedMessages::messages[0].first);
  EXPECT_TRUE(RecordedMessages::messages[0].second);
}
