#include "launch/shell_quote.h"

#include <cstring>

#include "platform/os/process.h"

namespace {

bool isPlain(unsigned char c) {
  if (c >= 0x80) return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("-_./:,+=@%^", c) != nullptr;
}

// The word between double quotes, with the characters that keep a meaning
// there escaped.
std::string doubleQuoted(const std::string& word) {
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string smart_quote(std::string word) {
  for (char c : word) {
    if (!isPlain(static_cast<unsigned char>(c))) return doubleQuoted(word);
  }
  return word;
}

std::string argv2cmdline(int argc, char const** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) line += doubleQuoted(argv[i]) + " ";
  return line;
}

int call_system(std::string /*program*/, std::string commandLine) {
  // What system() does, except that SIGINT and SIGQUIT are not ignored in the
  // whole process meanwhile (system() ignores them for every thread): an
  // interrupt while unzip runs still ends the run. While the install agent
  // runs, the signal thread itself leaves SIGINT to it (launch/agent_run.h).
  int pid;
  std::string error;
  return spawnChild("/bin/sh", {"-c", commandLine}, &pid, &error) ? waitForChild(pid) : -1;
}
