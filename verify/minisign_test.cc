#include "verify/minisign.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "platform/os/file_system.h"
#include "tests/test_util.h"

namespace {

// The file `text` with the characters [from, to) of its line `index` (from 0)
// replaced by `by`.
std::string changed(std::string text, size_t index, size_t from, size_t to, const std::string& by) {
  size_t start = 0;
  while (index-- > 0) start = text.find('\n', start) + 1;
  return text.replace(start + from, to - from, by);
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
  const char* flipped = signature[signature.find('\n') + 41] == 'A' ? "B" : "A";
  const std::string legacy = readFile(dir + "archive.zip.legacy"), absent = dir + "absent.zip";
  const std::string doesNotHold = "The signature does not hold over ";
  // minisign names a key's id at the end of the comment it writes above the key.
  auto keyId = [](const std::string& keyFile) {
    size_t end = keyFile.find('\n'), start = keyFile.rfind(' ', end) + 1;
    return keyFile.substr(start, end - start);
  };
  // The public key file, the signature file, the path checked, and a
  // fragment of the error ("" when verified).
  const std::string cases[][4] = {
      {key, signature, archive, ""},
      {key, legacy, archive, ""},
      {std::regex_replace(key, std::regex("\n"), "\r\n"),
       std::regex_replace(signature, std::regex("\n"), "\r\n"), archive, ""},
      {otherKey, signature, archive,
       "The signature is by key " + keyId(key) + ", not by the trusted key " + keyId(otherKey)},
      {key, signature, changedFile, doesNotHold + changedFile},
      {key, legacy, changedFile, doesNotHold + changedFile},
      {key, signature, absent, "Cannot read " + absent + ": No such file or directory"},
      {key, changed(signature, 2, 42, 43, "2"), archive,
       "The global signature does not hold: the trusted comment \"file:archive.zip release 2\""},
      {key, changed(signature, 1, 40, 41, flipped), archive, doesNotHold + archive},
      {key, changed(signature, 1, 40, 41, "!"), archive,
       "The signature (line 2) is not valid base64"},
      {key, changed(signature, 1, 96, 100, ""), archive,
       "The signature (line 2) is 72 bytes, not 74"},
      {key, changed(signature, 1, 0, 1, "Q"), archive,
       "The signature's algorithm \"AD\" is unknown"},
      {key, signature.substr(0, signature.find('\n', signature.find('\n') + 1) + 1), archive,
       "The signature file has 2 lines, not 4"},
      {key, changed(signature, 2, 0, 17, ""), archive,
       "The signature file's third line does not start with \"trusted comment: \""},
      {key.substr(key.find('\n') + 1), signature, archive,
       "The public key file has 1 lines, not 2"},
      {changed(key, 1, 10, 11, "-"), signature, archive, "The public key is not valid base64"},
      {changed(key, 1, 52, 56, ""), signature, archive, "The public key is 39 bytes, not 42"},
      {changed(key, 1, 1, 2, "U"), signature, archive,
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
