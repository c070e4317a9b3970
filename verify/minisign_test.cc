#include "verify/minisign.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "tests/test_util.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines, const std::string& end = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

// `text` with its line `index` (from 0) replaced by `line`.
std::string withLine(const std::string& text, size_t index, const std::string& line) {
  std::vector<std::string> lines = linesOf(text);
  lines.at(index) = line;
  return joined(lines);
}

// `text` with the character at `at` of its line `index` replaced by `c`.
std::string withCharacter(const std::string& text, size_t index, size_t at, char c) {
  std::string line = linesOf(text).at(index);
  line.at(at) = c;
  return withLine(text, index, line);
}

// minisign names a key's id at the end of the comment it writes above the key.
std::string keyIdOf(const std::string& publicKeyFile) {
  std::string comment = linesOf(publicKeyFile).at(0);
  return comment.substr(comment.rfind(' ') + 1);
}

}  // namespace

// Two publishers' keys, an archive, and its signatures, all made by the real
// minisign once for the whole test binary.
class MinisignTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<ScratchDir>();
    // Several read pieces, so that a change to the last byte is seen only
    // when every piece is hashed.
    std::string archive(200 * 1024, '\0');
    for (size_t i = 0; i < archive.size(); ++i) archive[i] = static_cast<char>(i * 7 + i / 251);
    writeFile(path("archive.zip"), archive);
    archive.back() ^= 1;
    writeFile(path("changed.zip"), archive);
    for (std::string command : {
             "minisign -G -W -p publisher.pub -s publisher.key",
             "minisign -G -W -p other.pub -s other.key",
             "minisign -S -s publisher.key -m archive.zip -t 'file:archive.zip release 1'",
             "minisign -S -l -s publisher.key -m archive.zip -x archive.zip.legacy",
         }) {
      command = "cd " + scratch_->path() + " && " + command + " </dev/null >/dev/null 2>&1";
      if (std::system(command.c_str()) != 0) setupError_ += "failed: " + command + "\n";
    }
  }

  static void TearDownTestSuite() { scratch_.reset(); }

  void SetUp() override { ASSERT_EQ("", setupError_) << "is minisign installed (scripts/setup)?"; }

  static std::string path(const std::string& name) { return *scratch_ / name; }
  static std::string text(const std::string& name) { return readFile(path(name)); }

 private:
  static std::unique_ptr<ScratchDir> scratch_;
  static std::string setupError_;
};

std::unique_ptr<ScratchDir> MinisignTest::scratch_;
std::string MinisignTest::setupError_;

// The whole check, as a caller makes it: both files parsed, then the archive
// verified.
bool check(const std::string& keyFile, const std::string& signatureFile, const std::string& path,
           std::string* error) {
  MinisignPublicKey key;
  MinisignSignature signature;
  return parseMinisignPublicKey(keyFile, &key, error) &&
         parseMinisignSignature(signatureFile, &signature, error) &&
         verifyMinisignFile(key, signature, path, error);
}

TEST_F(MinisignTest, VerifiesWhatMinisignSignedAndNamesEachFailure) {
  const std::string key = text("publisher.pub");
  const std::string otherKey = text("other.pub");
  const std::string signature = text("archive.zip.minisig");
  const std::string legacy = text("archive.zip.legacy");
  const std::string archive = path("archive.zip");
  const std::string changed = path("changed.zip");
  const std::string signatureLine = linesOf(signature).at(1);
  const std::string keyLine = linesOf(key).at(1);
  struct Case {
    std::string what;
    std::string key;        // the public key file's text
    std::string signature;  // the signature file's text
    std::string file;       // the path checked
    bool verified;
    std::string error;  // a fragment of the error when not verified
  } cases[] = {
      {"prehashed, minisign's default", key, signature, archive, true, ""},
      {"legacy", key, legacy, archive, true, ""},
      {"CRLF line ends", joined(linesOf(key), "\r\n"), joined(linesOf(signature), "\r\n"), archive,
       true, ""},
      {"another publisher's key", otherKey, signature, archive, false,
       "The signature is by key " + keyIdOf(key) + ", not by the trusted key " + keyIdOf(otherKey)},
      {"a changed file, prehashed", key, signature, changed, false,
       "The signature does not hold over " + changed},
      {"a changed file, legacy", key, legacy, changed, false,
       "The signature does not hold over " + changed},
      {"a missing file", key, signature, path("absent.zip"), false,
       "Cannot read " + path("absent.zip") + ": No such file or directory"},
      {"a changed trusted comment", key,
       withLine(signature, 2, "trusted comment: file:archive.zip release 2"), archive, false,
       "The global signature does not hold: the trusted comment \"file:archive.zip release 2\""},
      {"a changed signature byte", key,
       withCharacter(signature, 1, 40, signatureLine[40] == 'A' ? 'B' : 'A'), archive, false,
       "The signature does not hold over " + archive},
      {"a signature in bad base64", key, withCharacter(signature, 1, 40, '!'), archive, false,
       "The signature (line 2) is not valid base64"},
      {"a truncated signature", key,
       withLine(signature, 1, signatureLine.substr(0, signatureLine.size() - 4)), archive, false,
       "The signature (line 2) is 72 bytes, not 74"},
      {"an unknown algorithm", key, withCharacter(signature, 1, 0, 'Q'), archive, false,
       "The signature's algorithm \"AD\" is unknown"},
      {"a signature file cut after two lines", key,
       joined({linesOf(signature).at(0), signatureLine}), archive, false,
       "The signature file has 2 lines, not 4"},
      {"no trusted comment", key, withLine(signature, 2, "file:archive.zip release 1"), archive,
       false, "The signature file's third line does not start with \"trusted comment: \""},
      {"a key file without its comment", keyLine + "\n", signature, archive, false,
       "The public key file has 1 lines, not 2"},
      {"a key in bad base64", withCharacter(key, 1, 10, '-'), signature, archive, false,
       "The public key is not valid base64"},
      {"a truncated key", withLine(key, 1, keyLine.substr(0, keyLine.size() - 4)), signature,
       archive, false, "The public key is 39 bytes, not 42"},
      {"a key of another algorithm", withCharacter(key, 1, 1, 'U'), signature, archive, false,
       "The public key's algorithm is \"ED\", not \"Ed\""},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(c.verified, check(c.key, c.signature, c.file, &error)) << c.what << ": " << error;
    if (c.verified) {
      EXPECT_EQ("", error) << c.what;
    } else {
      EXPECT_NE(std::string::npos, error.find(c.error)) << c.what << ": " << error;
    }
  }
}
