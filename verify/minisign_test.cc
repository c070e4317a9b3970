#include "verify/minisign.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/os/file_system.h"
#include "tests/test_util.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The file `text` with its line `index` (from 0) replaced by `line`, and
// every line ended by `end`.
std::string changed(const std::string& text, size_t index, const std::string& line,
                    const std::string& end = "\n") {
  std::vector<std::string> lines = linesOf(text);
  lines.at(index) = line;
  std::string file;
  for (const std::string& each : lines) file += each + end;
  return file;
}

// `line` with its character at `at` replaced by `c`.
std::string with(std::string line, size_t at, char c) {
  line.at(at) = c;
  return line;
}

}  // namespace

// Two publishers' keys, an archive, and its signatures, made by the real
// minisign; every case is the whole check as a caller makes it.
TEST(MinisignTest, VerifiesWhatMinisignSignedAndNamesEachFailure) {
  TempDir temp("");
  const std::string dir = temp.getDir() + "/";
  // Several read pieces, so that a change to the last byte is seen only when
  // every piece is hashed.
  std::string bytes(200 * 1024, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  writeFile(dir + "archive.zip", bytes);
  bytes.back() ^= 1;
  writeFile(dir + "changed.zip", bytes);
  const std::string make =
      "exec </dev/null >/dev/null 2>&1; cd " + dir +
      " && minisign -G -W -p publisher.pub -s publisher.key"
      " && minisign -G -W -p other.pub -s other.key"
      " && minisign -S -s publisher.key -m archive.zip -t 'file:archive.zip release 1'"
      " && minisign -S -l -s publisher.key -m archive.zip -x archive.zip.legacy";
  ASSERT_EQ(0, std::system(make.c_str())) << "is minisign installed?";
  const std::string key = readFile(dir + "publisher.pub"), otherKey = readFile(dir + "other.pub");
  const std::string signature = readFile(dir + "archive.zip.minisig");
  const std::string archive = dir + "archive.zip", changedFile = dir + "changed.zip";
  const std::string signatureLine = linesOf(signature).at(1), keyLine = linesOf(key).at(1);
  const std::string legacy = readFile(dir + "archive.zip.legacy"), absent = dir + "absent.zip";
  const std::string doesNotHold = "The signature does not hold over ";
  // minisign names a key's id at the end of the comment it writes above the key.
  auto keyId = [](const std::string& keyFile) {
    return keyFile.substr(keyFile.find('\n') - 16, 16);
  };
  // The public key file, the signature file, the path checked, and a
  // fragment of the error ("" when verified).
  const std::string cases[][4] = {
      {key, signature, archive, ""},
      {key, legacy, archive, ""},
      {changed(key, 1, keyLine, "\r\n"), changed(signature, 1, signatureLine, "\r\n"), archive, ""},
      {otherKey, signature, archive,
       "The signature is by key " + keyId(key) + ", not by the trusted key " + keyId(otherKey)},
      {key, signature, changedFile, doesNotHold + changedFile},
      {key, legacy, changedFile, doesNotHold + changedFile},
      {key, signature, absent, "Cannot read " + absent + ": No such file or directory"},
      {key, changed(signature, 2, "trusted comment: file:archive.zip release 2"), archive,
       "The global signature does not hold: the trusted comment \"file:archive.zip release 2\""},
      {key, changed(signature, 1, with(signatureLine, 40, signatureLine[40] == 'A' ? 'B' : 'A')),
       archive, doesNotHold + archive},
      {key, changed(signature, 1, with(signatureLine, 40, '!')), archive,
       "The signature (line 2) is not valid base64"},
      {key, changed(signature, 1, signatureLine.substr(0, signatureLine.size() - 4)), archive,
       "The signature (line 2) is 72 bytes, not 74"},
      {key, changed(signature, 1, with(signatureLine, 0, 'Q')), archive,
       "The signature's algorithm \"AD\" is unknown"},
      {key, linesOf(signature).at(0) + "\n" + signatureLine + "\n", archive,
       "The signature file has 2 lines, not 4"},
      {key, changed(signature, 2, "file:archive.zip release 1"), archive,
       "The signature file's third line does not start with \"trusted comment: \""},
      {keyLine + "\n", signature, archive, "The public key file has 1 lines, not 2"},
      {changed(key, 1, with(keyLine, 10, '-')), signature, archive,
       "The public key is not valid base64"},
      {changed(key, 1, keyLine.substr(0, keyLine.size() - 4)), signature, archive,
       "The public key is 39 bytes, not 42"},
      {changed(key, 1, with(keyLine, 1, 'U')), signature, archive,
       "The public key's algorithm is \"ED\", not \"Ed\""},
  };
  for (const auto& [keyText, signatureText, file, expected] : cases) {
    SCOPED_TRACE(expected);
    MinisignPublicKey parsedKey;
    MinisignSignature parsedSignature;
    std::string error;
    bool verified = parseMinisignPublicKey(keyText, &parsedKey, &error) &&
                    parseMinisignSignature(signatureText, &parsedSignature, &error) &&
                    verifyMinisignFile(parsedKey, parsedSignature, file, &error);
    EXPECT_EQ(expected.empty(), verified) << error;
    EXPECT_NE(std::string::npos, error.find(expected)) << error;
  }
}
