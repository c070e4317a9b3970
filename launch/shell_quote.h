// Shell words and command lines. Every word reaches the program it names as
// exactly the bytes it had, whatever it holds.
#ifndef BOOTSTRAP_LAUNCH_SHELL_QUOTE_H_
#define BOOTSTRAP_LAUNCH_SHELL_QUOTE_H_

#include <string>

// A word of plain characters (letters, digits, non-ASCII bytes and
// "-_./:,+=@%^") comes back unchanged, and so does the empty word. Any other
// is wrapped in double quotes, with '"', '\', '$' and '`' escaped inside.
std::string smart_quote(std::string word);

// argv[1] to argv[argc-1], each in double quotes (escaped as smart_quote does)
// and followed by one blank; empty for argc <= 1. argv[0] is never included.
std::string argv2cmdline(int argc, char const** argv);

// Runs `commandLine` with the system shell ("/bin/sh -c") and waits for it:
// the wait status as system() gives it (0 for exit status 0), -1 when no
// shell could be started. Unlike system(), SIGINT is not ignored meanwhile.
// `program` names what the line starts and is not used.
int call_system(std::string program, std::string commandLine);

#endif  // BOOTSTRAP_LAUNCH_SHELL_QUOTE_H_
