#include "verify/minisign.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/paths.h"
#include "platform/crypto/sodium_library.h"

namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr size_t kKeyIdBytes = sizeof(MinisignKeyId);
constexpr size_t kPublicKeyBytes = 2 + kKeyIdBytes + 32;
constexpr size_t kSignatureBytes = 2 + kKeyIdBytes + 64;
constexpr size_t kHashBytes = 64;  // BLAKE2b-512, the prehashed form's message
constexpr size_t kReadBytes = 64 * 1024;

// The lines of `text` without their LF or CRLF, nor the empty lines at the end.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// Padded standard base64 with one spelling per byte string: no bits past the last byte.
bool decodeBase64(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  unsigned accumulated = 0;
  size_t bits = 0;
  bytes->clear();
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const char* value = text[i] == '\0' ? nullptr : std::strchr(kAlphabet, text[i]);
    if (value == nullptr) return false;
    accumulated = (accumulated << 6) | static_cast<unsigned>(value - kAlphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes->push_back(static_cast<char>((accumulated >> bits) & 0xFF));
    }
  }
  return (accumulated & ((1u << bits) - 1)) == 0;
}

// `bytes` in quotes, readable whatever they hold.
std::string quoted(const std::string& bytes) {
  std::string text = "\"";
  for (unsigned char c : bytes) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
    text += escaped;
  }
  return text + "\"";
}

// Decodes the base64 `line` into exactly `size` bytes; `what` names it in the error.
bool decodeField(const std::string& line, size_t size, const std::string& what, std::string* bytes,
                 std::string* error) {
  if (!decodeBase64(line, bytes)) {
    *error = what + " is not valid base64";
    return false;
  }
  if (bytes->size() != size) {
    *error = what + " is " + std::to_string(bytes->size()) + " bytes, not " + std::to_string(size);
    return false;
  }
  return true;
}

template <size_t N>
void copyBytes(const std::string& bytes, size_t offset, std::array<unsigned char, N>* to) {
  std::memcpy(to->data(), bytes.data() + offset, N);
}

// Hands each piece of the file at `path` to `consume`, in order.
template <typename Consume>
bool readPieces(const std::string& path, Consume consume, std::string* error) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rbe"), &std::fclose);
  std::vector<unsigned char> buffer(kReadBytes);
  while (size_t count = file ? std::fread(buffer.data(), 1, buffer.size(), file.get()) : 0) {
    consume(buffer.data(), count);
  }
  if (file && !std::ferror(file.get())) return true;
  *error = "Cannot read " + path + ": " + std::strerror(errno);
  return false;
}

// The message a signature is over: the file's BLAKE2b-512 hash when it is
// prehashed, else the whole file.
bool readMessage(const SodiumLibrary& sodium, bool prehashed, const std::string& path,
                 std::string* message, std::string* error) {
  message->clear();
  if (!prehashed) {
    auto append = [&](const unsigned char* piece, size_t size) {
      message->append(reinterpret_cast<const char*>(piece), size);
    };
    return readPieces(path, append, error);
  }
  // libsodium's BLAKE2b state needs 64-byte alignment, and its size is
  // libsodium's to say.
  size_t stateSize = (sodium.generichash_statebytes() + 63) / 64 * 64;
  std::unique_ptr<void, decltype(&std::free)> memory(std::aligned_alloc(64, stateSize), &std::free);
  if (memory == nullptr) {
    *error = "Cannot hash " + path + ": out of memory";
    return false;
  }
  auto* state = static_cast<crypto_generichash_blake2b_state*>(memory.get());
  sodium.generichash_init(state, nullptr, 0, kHashBytes);
  auto update = [&](const unsigned char* piece, size_t size) {
    sodium.generichash_update(state, piece, size);
  };
  if (!readPieces(path, update, error)) return false;
  message->resize(kHashBytes);
  sodium.generichash_final(state, reinterpret_cast<unsigned char*>(&(*message)[0]), kHashBytes);
  return true;
}

bool holds(const SodiumLibrary& sodium, const std::array<unsigned char, 64>& signature,
           const std::string& message, const MinisignPublicKey& key) {
  return sodium.sign_verify_detached(signature.data(),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key.key.data()) == 0;
}

// Splits `text` into exactly `count` lines; the error names `file` and its `layout`.
bool splitExactly(const std::string& text, size_t count, const std::string& file,
                  const std::string& layout, std::vector<std::string>* lines, std::string* error) {
  *lines = splitLines(text);
  if (lines->size() == count) return true;
  *error = "The " + file + " has " + std::to_string(lines->size()) + " lines, not " +
           std::to_string(count) + ": " + layout;
  return false;
}

bool hasPrefix(const std::string& line, const char* prefix, const std::string& where,
               std::string* error) {
  if (startsWith(line, prefix)) return true;
  *error = "The " + where + " does not start with " + quoted(prefix);
  return false;
}

}  // namespace

bool parseMinisignPublicKey(const std::string& text, MinisignPublicKey* key, std::string* error) {
  std::vector<std::string> lines;
  std::string bytes;
  if (!splitExactly(text, 2, "public key file", "an untrusted comment and the key", &lines,
                    error) ||
      !hasPrefix(lines[0], kUntrustedPrefix, "public key file's first line", error) ||
      !decodeField(lines[1], kPublicKeyBytes, "The public key", &bytes, error)) {
    return false;
  }
  if (!startsWith(bytes, "Ed")) {
    *error = "The public key's algorithm is " + quoted(bytes.substr(0, 2)) + ", not \"Ed\"";
    return false;
  }
  copyBytes(bytes, 2, &key->keyId);
  copyBytes(bytes, 2 + kKeyIdBytes, &key->key);
  return true;
}

bool parseMinisignSignature(const std::string& text, MinisignSignature* signature,
                            std::string* error) {
  std::vector<std::string> lines;
  std::string bytes;
  if (!splitExactly(text, 4, "signature file",
                    "untrusted comment, signature, trusted comment, global signature", &lines,
                    error) ||
      !hasPrefix(lines[0], kUntrustedPrefix, "signature file's first line", error) ||
      !hasPrefix(lines[2], kTrustedPrefix, "signature file's third line", error) ||
      !decodeField(lines[1], kSignatureBytes, "The signature (line 2)", &bytes, error)) {
    return false;
  }
  std::string algorithm = bytes.substr(0, 2);
  if (algorithm != "ED" && algorithm != "Ed") {
    *error = "The signature's algorithm " + quoted(algorithm) +
             " is unknown: neither \"ED\" (prehashed) nor \"Ed\" (legacy)";
    return false;
  }
  signature->prehashed = algorithm == "ED";
  copyBytes(bytes, 2, &signature->keyId);
  copyBytes(bytes, 2 + kKeyIdBytes, &signature->signature);
  if (!decodeField(lines[3], 64, "The global signature (line 4)", &bytes, error)) return false;
  signature->trustedComment = lines[2].substr(std::strlen(kTrustedPrefix));
  copyBytes(bytes, 0, &signature->globalSignature);
  return true;
}

bool verifyMinisignFile(const MinisignPublicKey& key, const MinisignSignature& signature,
                        const std::string& path, std::string* error) {
  if (signature.keyId != key.keyId) {
    *error = "The signature is by key " + minisignKeyIdText(signature.keyId) +
             ", not by the trusted key " + minisignKeyIdText(key.keyId);
    return false;
  }
  const SodiumLibrary* sodium = sodiumLibrary(error);
  std::string message;
  // minisign's order: the file first, so a changed file is reported as such
  // even when the comment was changed too.
  if (sodium == nullptr || !readMessage(*sodium, signature.prehashed, path, &message, error)) {
    return false;
  }
  if (!holds(*sodium, signature.signature, message, key)) {
    *error = "The signature does not hold over " + path + ": it is not the file the key signed";
    return false;
  }
  message.assign(signature.signature.begin(), signature.signature.end());
  if (!holds(*sodium, signature.globalSignature, message + signature.trustedComment, key)) {
    *error = "The global signature does not hold: the trusted comment " +
             quoted(signature.trustedComment) + " or the signature was changed after signing";
    return false;
  }
  return true;
}

std::string minisignKeyIdText(const MinisignKeyId& id) {
  std::string hex;
  for (size_t i = id.size(); i-- > 0;) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", id[i]);
    hex += digits;
  }
  // As minisign writes it: no leading zeros.
  return hex.substr(std::min(hex.find_first_not_of('0'), hex.size() - 1));
}
