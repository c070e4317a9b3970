#include "launch/shell_quote.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

// Words that a shell would misread if they were not quoted and escaped.
const std::vector<std::string> kHostileWords = {
    "My Disk",
    "tab\there",
    " lead",
    "trail ",
    "say \"hi\"",
    "it's",
    "$HOME",
    "$(touch pwned)",
    "`touch pwned`",
    "back\\slash",
    "end\\",
    "a;b",
    "*",
    "line\nbreak",
    "Ünïcødé ✓",
    "x\"; rm -rf ~; \"",
    "a&b|c>d<e",
    "~user",
    "#comment",
    "!bang",
    "{a,b}",
    "[ab]",
    "?",
    "\\\"",
    "$",
};

// What `sh` makes of `commandWords` as the arguments of a recording script,
// NUL-separated. The command runs in `scratch`, so a word that ran a command
// leaves its trace there.
std::string shellReadsBack(const ScratchDir& scratch, const std::string& commandWords) {
  std::string script = scratch / "record.sh";
  writeFile(script, "printf '%s\\0' \"$@\" > \"$0.out\"\n");
  std::string command = "cd " + scratch.path() + " && sh record.sh " + commandWords;
  int status = call_system("sh", command);
  EXPECT_EQ(0, status) << command;
  return readFile(script + ".out");
}

}  // namespace

TEST(ShellQuoteTest, PlainWordsStayUnchanged) {
  for (std::string word : {"", "/Users/ann/Boot.app", "unzip", "-installbundle", "a=b",
                           "v1.2_3+4@5%6:7,8^", "Développement"}) {
    EXPECT_EQ(word, smart_quote(word));
  }
}

TEST(ShellQuoteTest, BlanksAndTabsAreJustWrapped) {
  EXPECT_EQ("\"/Users/ann/My Disk/Boot.app\"", smart_quote("/Users/ann/My Disk/Boot.app"));
  EXPECT_EQ("\"\t\"", smart_quote("\t"));
  EXPECT_EQ("\" x \"", smart_quote(" x "));
}

TEST(ShellQuoteTest, SpecialCharactersAreEscapedInsideTheQuotes) {
  EXPECT_EQ("\"a \\\"b\\\"\"", smart_quote("a \"b\""));
  EXPECT_EQ("\"\\$HOME\"", smart_quote("$HOME"));
  EXPECT_EQ("\"\\`id\\`\"", smart_quote("`id`"));
  EXPECT_EQ("\"c:\\\\x\"", smart_quote("c:\\x"));
  EXPECT_EQ("\"a;b\"", smart_quote("a;b"));
}

TEST(ShellQuoteTest, ShellReadsEveryQuotedWordBackUnchanged) {
  ScratchDir scratch;
  std::string words, expected;
  for (const std::string& word : kHostileWords) {
    words += smart_quote(word) + " ";
    expected += word + std::string(1, '\0');
  }
  EXPECT_EQ(expected, shellReadsBack(scratch, words));
  EXPECT_EQ(std::vector<std::string>({"record.sh", "record.sh.out"}), listDir(scratch.path()))
      << "no word ran a command";
}

TEST(ShellQuoteTest, ArgvSkipsTheProgramAndQuotesEveryArgument) {
  const char* none[] = {"prog"};
  EXPECT_EQ("", argv2cmdline(1, none));
  EXPECT_EQ("", argv2cmdline(0, none));
  const char* two[] = {"prog", "-v", "My File"};
  EXPECT_EQ("\"-v\" \"My File\" ", argv2cmdline(3, two));
  EXPECT_EQ(15u, argv2cmdline(3, two).size());
  const char* empty[] = {"prog", ""};
  EXPECT_EQ("\"\" ", argv2cmdline(2, empty));
}

TEST(ShellQuoteTest, ShellReadsEveryForwardedArgumentBackUnchanged) {
  ScratchDir scratch;
  std::vector<const char*> argv = {"prog", ""};
  std::string expected = std::string(1, '\0');
  for (const std::string& word : kHostileWords) {
    argv.push_back(word.c_str());
    expected += word + std::string(1, '\0');
  }
  EXPECT_EQ(expected, shellReadsBack(scratch, argv2cmdline(argv.size(), argv.data())));
  EXPECT_EQ(std::vector<std::string>({"record.sh", "record.sh.out"}), listDir(scratch.path()));
}

TEST(ShellQuoteTest, CallSystemGivesTheRawStatus) {
  EXPECT_EQ(0, call_system("sh", "exit 0"));
  int status = call_system("sh", "exit 3");
  EXPECT_NE(0, status);
  EXPECT_NE(3, status);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(3, WEXITSTATUS(status));
}
