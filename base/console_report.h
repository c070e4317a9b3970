// Console reporting: every message is one line, written and flushed at once.
#ifndef BOOTSTRAP_BASE_CONSOLE_REPORT_H_
#define BOOTSTRAP_BASE_CONSOLE_REPORT_H_

#include <string>

// Receives a message and whether it is an error. Every step that can fail
// reports through one of these and returns its failure value.
using MessageCallback = void (*)(const std::string& message, bool isError);

// The callback main hands to the driver: writes the message's bytes and one
// newline to standard error (isError) or standard output, then flushes.
// Stream errors are ignored.
void report_message_main(const std::string& message, bool isError);

#endif  // BOOTSTRAP_BASE_CONSOLE_REPORT_H_
