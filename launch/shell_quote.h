// Shell words and command lines: every word reaches its program byte for byte.
#ifndef BOOTSTRAP_LAUNCH_SHELL_QUOTE_H_
#define BOOTSTRAP_LAUNCH_SHELL_QUOTE_H_

#include <string>

// A word of letters, digits, non-ASCII bytes and "-_./:,+=@%^" as it is;
// any other in double quotes, with '"', '\', '$' and '`' escaped.
std::string smart_quote(std::string word);

// argv[1] to argv[argc-1], each double-quoted as above and followed by a blank.
std::string argv2cmdline(int argc, char const** argv);

// system(commandLine), but SIGINT is not ignored meanwhile; `program` is not
// used.
int call_system(std::string program, std::string commandLine);

#endif  // BOOTSTRAP_LAUNCH_SHELL_QUOTE_H_
