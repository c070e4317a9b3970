#include "launch/shell_quote.h"

#include <gtest/gtest.h>

#include "platform/os/file_system.h"
#include "tests/test_util.h"

namespace {

// Words that a shell would misread if they were not quoted and escaped.
// clang-format off
const std::vector<std::string> kHostileWords = {
    "My Disk", "tab\there", " lead", "trail ", "say \"hi\"", "it's", "$HOME", "$(touch pwned)",
    "`touch pwned`", "back\\slash", "end\\", "a;b", "*", "line\nbreak", "Ünïcødé ✓",
    "x\"; rm -rf ~; \"", "a&b|c>d<e", "~user", "#comment", "!bang", "{a,b}", "[ab]", "?", "\\\"",
    "$", "plain", "-installbundle", "a=b"};
// clang-format on

// What `sh` makes of `commandWords` as the arguments of a recording script,
// NUL-separated; it runs in `scratch`, where a word that ran a command leaves
// its trace.
std::string shellReadsBack(const ScratchDir& scratch, const std::string& commandWords) {
  writeFile(scratch / "record.sh", "printf '%s\\0' \"$@\" > \"$0.out\"\n");
  std::string command = "cd " + scratch.path() + " && sh record.sh " + commandWords;
  EXPECT_EQ(0, call_system("sh", command)) << command;
  return readFile(scratch / "record.sh.out");
}

}  // namespace

// Each word alone (smart_quote) and all of them as a program's arguments
// (argv2cmdline, which skips argv[0]) reach the script exactly, and run nothing.
TEST(ShellQuoteTest, ShellReadsEveryWordBackUnchanged) {
  std::string quoted, expected;
  std::vector<const char*> argv = {"prog", ""};  // an empty argument is kept
  for (const std::string& word : kHostileWords) {
    quoted += smart_quote(word) + " ";
    expected += word + '\0';
    argv.push_back(word.c_str());
  }
  const std::pair<std::string, std::string> cases[] = {
      {quoted, expected}, {argv2cmdline(argv.size(), argv.data()), '\0' + expected}};
  for (const auto& [words, words_read] : cases) {
    ScratchDir scratch;
    EXPECT_EQ(words_read, shellReadsBack(scratch, words));
    EXPECT_EQ(2u, directoryEntries(scratch.path()).size()) << "a word ran a command";
  }
  EXPECT_EQ("", argv2cmdline(1, argv.data()));
}
