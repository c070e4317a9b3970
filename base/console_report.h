// Console reporting: every message is one line, written and flushed at once.
#ifndef BOOTSTRAP_BASE_CONSOLE_REPORT_H_
#define BOOTSTRAP_BASE_CONSOLE_REPORT_H_

#include <string>

// Receives a message and whether it is an error.
using MessageCallback = void (*)(const std::string& message, bool isError);

// Writes the message and a newline to standard error (isError) or output,
// flushed; stream errors are ignored.
void report_message_main(const std::string& message, bool isError);

#endif  // BOOTSTRAP_BASE_CONSOLE_REPORT_H_
